// Control commands: parameter records, the Wi-Fi list rules, the alert message, the
// update-signal throttle, the device-lock request and its acknowledgement, and the
// handlers' own refusals.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include <string>

#include "c_handles.hpp"
#include "commands/mqtt_cmd_deal.h"
#include "commands/mqtt_cmd_deal_control.h"
#include "device/nimbo_utils_alert.h"
#include "device/nimbo_utils_devlock.h"
#include "json/json_utils.h"
#include "json/json_utils_control.h"
#include "pay_signals.h"
#include "test_support.h"
#include "util/nimbo_globals.h"

using testsupport::DeviceRoot;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::text_of;
using testsupport::write_file;

namespace {

// ---- the handlers' reply writer --------------------------------------------------------------

TEST(ReplyWriter, TerminatesTheTextAndRefusesWhatDoesNotFit) {
    char out[MQTT_DEAL_REPLY_SIZE];
    memset(out, 'x', sizeof out);  // a buffer that was not cleared
    int len = -1;
    ASSERT_TRUE(mqtt_cmd_deal::put_reply(strdup(R"({"status":"2"})"), out, &len));
    EXPECT_STREQ(out, R"({"status":"2"})");
    EXPECT_EQ(len, 14);

    std::string full(MQTT_DEAL_REPLY_SIZE - 1, 'a');
    EXPECT_TRUE(mqtt_cmd_deal::put_reply(strdup(full.c_str()), out, &len));
    EXPECT_EQ(len, MQTT_DEAL_REPLY_SIZE - 1);
    EXPECT_FALSE(mqtt_cmd_deal::put_reply(strdup((full + "a").c_str()), out, &len));
    EXPECT_FALSE(mqtt_cmd_deal::put_reply(nullptr, out, &len));
}

// ---- Wi-Fi list -----------------------------------------------------------------------------

TEST(WifiList, EntriesAreKeptOrDroppedByProtocolRules) {
    struct Case {
        const char* what;
        const char* param;
        int wep_disabled;
        const char* list;  // "(null)" for no list
    } cases[] = {
        {"WPA2 needs 8 characters", R"({"wifiAP":[{"ssid":"a","pwd":"1234567","stype":2},{"ssid":"b","pwd":"12345678","stype":2}]})",
         1, R"([{"ssid":"b","psk":"12345678","type":"WPA2"}])"},
        {"WPA3 needs 6 characters", R"({"wifiAP":[{"ssid":"a","pwd":"12345","stype":4},{"ssid":"b","pwd":"123456","stype":4}]})",
         1, R"([{"ssid":"b","psk":"123456","type":"WPA3"}])"},
        {"WEP dropped when disabled", R"({"wifiAP":[{"ssid":"w","pwd":"k","stype":3}]})", 1, "(null)"},
        {"WEP kept when allowed", R"({"wifiAP":[{"ssid":"w","pwd":"k","stype":3}]})", 0,
         R"([{"ssid":"w","psk":"k","type":"WEP"}])"},
        {"other types are WPA2 without a length check", R"({"wifiAP":[{"ssid":"o","pwd":"","stype":7},{"ssid":"n","pwd":"x"}]})",
         1, R"([{"ssid":"o","psk":"","type":"WPA2"},{"ssid":"n","psk":"x","type":"WPA2"}])"},
        {"keys without regard to case, order kept", R"({"WIFIAP":[{"SSID":"z","PWD":"abcdefgh","STYPE":2},{"Ssid":"y","Pwd":"abcdef","sType":4}]})",
         1, R"([{"ssid":"z","psk":"abcdefgh","type":"WPA2"},{"ssid":"y","psk":"abcdef","type":"WPA3"}])"},
        {"empty array", R"({"wifiAP":[]})", 1, "(null)"},
        {"not an array", R"({"wifiAP":{"ssid":"a"}})", 1, "(null)"},
        {"all dropped", R"({"wifiAP":[{"ssid":"a","pwd":"1","stype":2}]})", 1, "(null)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DevParamBean bean;
        ASSERT_EQ(json_utils_jsonstr_to_dev_param_bean(c.param, &bean), 0);
        EXPECT_EQ(text_of(json_utils_wifiap_param_to_jsonstr(&bean, c.wep_disabled)), c.list);
        nimbo_entities_free_DevParamBean(&bean);
        EXPECT_EQ(bean.wifiAP, nullptr);
        EXPECT_EQ(bean.wifiAPCount, 0);
    }
    EXPECT_EQ(json_utils_wifiap_param_to_jsonstr(nullptr, 1), nullptr);
}

TEST(DevParamBean, NumbersAndRefusals) {
    DevParamBean bean;
    ASSERT_EQ(json_utils_jsonstr_to_dev_param_bean(R"({"brightness":80})", &bean), 0);
    EXPECT_EQ(bean.brightness, 80);
    EXPECT_EQ(bean.systemVolume, -1);
    EXPECT_EQ(bean.wifiAP, nullptr);

    // Exact keys for the numbers; a text is not a number.
    ASSERT_EQ(json_utils_jsonstr_to_dev_param_bean(R"({"Brightness":80,"systemVolume":"5"})", &bean), 0);
    EXPECT_EQ(bean.brightness, -1);
    EXPECT_EQ(bean.systemVolume, -1);

    // A password too long for its field is refused, never cut.
    std::string pwd(64, 'p');
    std::string text = R"({"brightness":1,"wifiAP":[{"ssid":"a","pwd":")" + pwd + R"(","stype":2}]})";
    EXPECT_EQ(json_utils_jsonstr_to_dev_param_bean(text.c_str(), &bean), -6);
    EXPECT_EQ(bean.wifiAP, nullptr);
    pwd.pop_back();
    text = R"({"wifiAP":[{"ssid":"a","pwd":")" + pwd + R"(","stype":2}]})";
    ASSERT_EQ(json_utils_jsonstr_to_dev_param_bean(text.c_str(), &bean), 0);
    EXPECT_EQ(std::string(bean.wifiAP[0].pwd), pwd);
    nimbo_entities_free_DevParamBean(&bean);

    EXPECT_EQ(json_utils_jsonstr_to_dev_param_bean("not json", &bean), -2);
    EXPECT_EQ(json_utils_jsonstr_to_dev_param_bean("{}", nullptr), -2);
}

// ---- other records -----------------------------------------------------------------------------

TEST(ControlRecords, ParsersCopyOnlyMembersOfTheRightType) {
    DevLockParam lock;
    ASSERT_EQ(json_utils_jsonstr_to_devlock_param(R"({"lockType":"1","pwd":"9"})", &lock), 0);
    EXPECT_STREQ(lock.lockType, "1");
    EXPECT_STREQ(lock.pwd, "9");
    ASSERT_EQ(json_utils_jsonstr_to_devlock_param(R"({"lockType":1})", &lock), 0);
    EXPECT_STREQ(lock.lockType, "");
    EXPECT_EQ(json_utils_jsonstr_to_devlock_param("{", &lock), -2);
    EXPECT_EQ(json_utils_jsonstr_to_devlock_param("{}", nullptr), -2);

    GeofenceParam fence;
    ASSERT_EQ(json_utils_jsonstr_to_geofence_param(
                  R"({"pushAlert":1,"cycle":"c","geofenceRadius":"500","geofenceCoordinates":"113.9,22.5","x":1})", &fence),
              0);
    EXPECT_EQ(text_of(json_utils_geofence_param_to_jsonstr(&fence)),
              R"({"geofenceCoordinates":"113.9,22.5","geofenceRadius":"500","cycle":"c","pushAlert":1})");
    ASSERT_EQ(json_utils_jsonstr_to_geofence_param(R"({"pushAlert":"1","geofenceRadius":500})", &fence), 0);
    EXPECT_EQ(fence.pushAlert, 0);
    EXPECT_STREQ(fence.geofenceRadius, "");
    std::string long_text = R"({"geofenceCoordinates":")" + std::string(256, '1') + "\"}";
    EXPECT_EQ(json_utils_jsonstr_to_geofence_param(long_text.c_str(), &fence), -6);

    SwitchServerUrlParam sw;
    ASSERT_EQ(json_utils_jsonstr_to_switch_server_url_param(R"({"url":"http://h","resetFactoryType":"2"})", &sw), 0);
    EXPECT_STREQ(sw.url, "http://h");
    EXPECT_STREQ(sw.resetFactoryType, "2");
}

TEST(AlertMessage, MembersInOrder) {
    EXPECT_EQ(text_of(json_utils_alert_info_to_jsonstr(1, "LockDevice", "2026-01-02 03:04:05", "113.9,22.5", "SZ", "")),
              R"({"type":"app","time":"2026-01-02 03:04:05","level":"critical","alertStatus":"active",)"
              R"("msgName":"LockDevice","msg":{"coordinates":"113.9,22.5","location":"SZ","password":""}})");
    for (int state : {0, 2, -1}) {
        std::string text = text_of(json_utils_alert_info_to_jsonstr(state, "GeoFence", "t", "", "", ""));
        EXPECT_NE(text.find(R"("alertStatus":"cleared")"), std::string::npos) << state;
    }
}

// ---- update-signal throttle ---------------------------------------------------------------------

TEST(UpdateThrottle, OncePerMinuteAndClockCorrections) {
    struct Step {
        int64_t now;
        bool accepted;
        int64_t remaining;
    } steps[] = {
        {1000, true, 0},   // the first signal after a start is always accepted
        {1010, false, 50},  // 10 s later: 0h 0m 50s left
        {1059, false, 1},
        {1060, true, 0},    // exactly 60 s after the last accepted one
        {1061, false, 59},
        {500, true, 0},     // the clock went back: elapsed, not 9 minutes to wait
        {510, false, 50},
        {4000, true, 0},
    };
    nimbo_alert::UpdateThrottle throttle;
    EXPECT_EQ(throttle.last(), -1);
    for (const Step& s : steps) {
        SCOPED_TRACE(s.now);
        int64_t remaining = -7;
        EXPECT_EQ(throttle.accept(s.now, &remaining), s.accepted);
        EXPECT_EQ(remaining, s.remaining);
    }
    EXPECT_EQ(throttle.last(), 4000);
}

int64_t g_fake_now = 0;
int64_t fake_clock() { return g_fake_now; }

TEST(UpdateSignal, DroppedWhileDisconnectedWithoutMovingTheThrottle) {
    TempDir dir;
    DeviceRoot root(dir.path());
    snprintf(g_nimbo_data_path, sizeof g_nimbo_data_path, "%s", dir.path().c_str());
    nimbo_alert::set_update_clock(fake_clock);
    int sig = nimbo_pay_signal(92);
    int64_t before = nimbo_alert::update_throttle().last();

    g_flag_mqtt_connect = 0;
    g_fake_now = 100000;
    sig_deal_update_info(sig);
    EXPECT_EQ(nimbo_alert::update_throttle().last(), before);

    // Connected: accepted (the report itself fails without a client), then throttled.
    g_flag_mqtt_connect = 1;
    sig_deal_update_info(sig);
    EXPECT_EQ(nimbo_alert::update_throttle().last(), 100000);
    g_fake_now = 100030;
    sig_deal_update_info(sig);
    EXPECT_EQ(nimbo_alert::update_throttle().last(), 100000);
    g_fake_now = 100060;
    sig_deal_update_info(sig);
    EXPECT_EQ(nimbo_alert::update_throttle().last(), 100060);

    g_flag_mqtt_connect = 0;
    nimbo_alert::set_update_clock(nullptr);
}

// ---- device lock -----------------------------------------------------------------------------------

// A terminal with DEVSTATE, a data directory and the lock timer; SIGALRM stays blocked so
// that an armed timer never ends the test.
class DeviceLock : public ::testing::Test {
protected:
    TempDir dir;
    DeviceRoot root{dir.path()};
    sigset_t old_mask;

    void SetUp() override {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, &old_mask);
        ASSERT_EQ(timer_create(CLOCK_REALTIME, nullptr, &g_devlock_timer_id), 0);
        testsupport::set_path(g_nimbo_data_path, dir / "data");
        write_file(dir / "data/.keep", "");
        devstate(false);
        g_devlock_target_state = -1;
    }
    void TearDown() override {
        timer_delete(g_devlock_timer_id);
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGALRM)) {
            int sig;
            sigset_t alarm;
            sigemptyset(&alarm);
            sigaddset(&alarm, SIGALRM);
            sigwait(&alarm, &sig);
        }
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    }
    void devstate(bool locked) {
        write_file(dir / "usr/data/config/DEVSTATE",
                   std::string("bindState=1\n") + (locked ? "lockState=1\n" : "lockState=0\n"));
    }
    std::string requested() { return read_file(dir / "data/devlock_state"); }
    struct itimerspec timer() {
        struct itimerspec when;
        memset(&when, 0, sizeof when);
        timer_gettime(g_devlock_timer_id, &when);
        return when;
    }
    bool armed() { return timer().it_value.tv_sec != 0 || timer().it_value.tv_nsec != 0; }
    int command(const char* param) {
        RequestCmd req = testsupport::request("devLock", param);
        char out[MQTT_DEAL_REPLY_SIZE] = {0};
        int len = 0;
        int rc = mqtt_cmd_deal_devlock(nullptr, &req, out, &len);
        EXPECT_STREQ(out, "");  // the dispatcher's standard reply
        return rc;
    }
};

TEST_F(DeviceLock, LockWhileAlreadyLockedRecordsAndArmsNothing) {
    devstate(true);
    EXPECT_EQ(command(R"({"lockType":"1","pwd":"x"})"), 0);
    EXPECT_EQ(requested(), "1\n");
    EXPECT_FALSE(armed());
    EXPECT_EQ(g_devlock_target_state.load(), -1);
    EXPECT_EQ(nimbo_utils_get_devlock_state(), -8);
}

TEST_F(DeviceLock, LockRequestArmsFiveThenEvery180Seconds) {
    EXPECT_EQ(command(R"({"lockType":"1"})"), 0);
    EXPECT_EQ(requested(), "1\n");
    struct itimerspec t = timer();
    EXPECT_EQ(t.it_interval.tv_sec, 180);
    EXPECT_GT(t.it_value.tv_sec + t.it_value.tv_nsec, 0);
    EXPECT_LE(t.it_value.tv_sec, 5);
    EXPECT_EQ(g_devlock_target_state.load(), 1);
    // Counts as locked before the payment application has answered.
    EXPECT_EQ(nimbo_utils_get_devlock_state(), -8);

    devlock_timer_handler(nimbo_pay_signal(93));  // unlock answer while locking: error state
    EXPECT_TRUE(armed());
    devlock_timer_handler(nimbo_pay_signal(94));  // the answer: timer disarmed
    EXPECT_FALSE(armed());
    EXPECT_EQ(g_devlock_target_state.load(), 1);
}

TEST_F(DeviceLock, AnythingButOneIsAnUnlock) {
    devstate(true);
    for (const char* param : {R"({"lockType":"2"})", R"({})", R"({"lockType":1})"}) {
        SCOPED_TRACE(param);
        EXPECT_EQ(command(param), 0);
        EXPECT_EQ(requested(), "0\n");
        EXPECT_EQ(nimbo_utils_get_devlock_state(), 0);
        EXPECT_EQ(g_devlock_target_state.load(), 0);
        EXPECT_TRUE(armed());
    }
    devlock_timer_handler(nimbo_pay_signal(94));
    EXPECT_TRUE(armed());
    devlock_timer_handler(nimbo_pay_signal(93));
    EXPECT_FALSE(armed());
    EXPECT_EQ(command("not json"), -8);
}

TEST_F(DeviceLock, RecoveryPursuesTheRecordedRequest) {
    EXPECT_EQ(nimbo_utils_devlock_deal(999), -4);  // nothing recorded
    EXPECT_FALSE(armed());

    write_file(dir / "data/devlock_state", "1\n");
    EXPECT_EQ(nimbo_utils_devlock_deal(999), 0);
    EXPECT_TRUE(armed());
    EXPECT_EQ(g_devlock_target_state.load(), 1);
    EXPECT_EQ(requested(), "1\n");

    devstate(true);  // already reached: nothing to pursue
    EXPECT_EQ(nimbo_utils_devlock_deal(999), 0);
    EXPECT_FALSE(armed());
}

TEST_F(DeviceLock, TimerWithoutATargetDisarmsItself) {
    ASSERT_EQ(nimbo_utils_devlock_deal(1), 0);
    ASSERT_TRUE(armed());
    g_devlock_target_state = 7;
    devlock_timer_handler(SIGALRM);
    EXPECT_FALSE(armed());
    EXPECT_EQ(timer_stop(g_devlock_timer_id), 0);
}

TEST(DeviceLockState, MissingOrOddFilesAreUnlocked) {
    TempDir dir;
    snprintf(g_nimbo_data_path, sizeof g_nimbo_data_path, "%s", dir.path().c_str());
    EXPECT_EQ(nimbo_utils_get_devlock_state(), 0);
    for (auto [content, state] : {std::pair<const char*, int>{"1", -8}, {"1\n", -8}, {"0\n", 0}, {"", 0},
                                  {"2\n", 0}, {"x\n", 0}}) {
        write_file(dir / "devlock_state", content);
        EXPECT_EQ(nimbo_utils_get_devlock_state(), state) << content;
    }
}

// ---- handler refusals ---------------------------------------------------------------------------------

int call(int (*handler)(MQTTAsync, const RequestCmd*, char*, int*), const char* cmd, const char* param,
         std::string* reply) {
    RequestCmd req = testsupport::request(cmd, param, "", "SN1");
    char out[MQTT_DEAL_REPLY_SIZE] = {0};
    int len = 0;
    int rc = handler(nullptr, &req, out, &len);
    *reply = out;
    EXPECT_EQ(len, static_cast<int>(strlen(out)));
    return rc;
}

const std::string kLongSsid = R"({"wifiAP":[{"ssid":")" + std::string(300, 's') + R"(","pwd":"p"}]})";
const std::string kLongLock = R"({"lockType":"1","pwd":")" + std::string(300, 'p') + R"("})";
const std::string kLongReboot = R"({"rebootType":")" + std::string(300, '1') + R"("})";

TEST(ControlHandlers, RefuseBadRequestsBeforeActing) {
    struct Case {
        int (*handler)(MQTTAsync, const RequestCmd*, char*, int*);
        const char* cmd;
        const char* param;
        int rc;
    } cases[] = {
        {mqtt_cmd_deal_reboot, "reboot", R"({"rebootType":"3"})", -2},
        {mqtt_cmd_deal_reboot, "reboot", R"({"rebootType":1})", -2},
        {mqtt_cmd_deal_reboot, "reboot", "x", -8},
        {mqtt_cmd_deal_on_off_param, "onOff", "[", -8},
        {mqtt_cmd_deal_set_dev_param, "setDevParam", "{", -8},
        {mqtt_cmd_deal_switch_server_url, "switchServerUrl", R"({"url":"http://h","resetFactoryType":""})", -2},
        {mqtt_cmd_deal_switch_server_url, "switchServerUrl", R"({"resetFactoryType":"1"})", -2},
        {mqtt_cmd_deal_switch_server_url, "switchServerUrl", "nope", -8},
        {mqtt_cmd_deal_lbs_geofence, "geofence", "{", -8},
        // One rule for every command: a value that does not fit is an invalid parameter.
        {mqtt_cmd_deal_set_dev_param, "setDevParam", kLongSsid.c_str(), -2},
        {mqtt_cmd_deal_devlock, "devLock", kLongLock.c_str(), -2},
        {mqtt_cmd_deal_reboot, "reboot", kLongReboot.c_str(), -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cmd) + " " + c.param);
        std::string reply;
        EXPECT_EQ(call(c.handler, c.cmd, c.param, &reply), c.rc);
        EXPECT_EQ(reply, "");
    }
    RequestCmd req;
    memset(&req, 0, sizeof req);
    int len = 0;
    char out[16];
    EXPECT_EQ(mqtt_cmd_deal_reboot(nullptr, &req, nullptr, &len), -8);
    EXPECT_EQ(mqtt_cmd_deal_devlock(nullptr, &req, out, nullptr), -8);
}

TEST(ControlHandlers, PaymentHandOverFailuresSayOffline) {
    TempDir dir;
    DeviceRoot root(dir.path());
    std::string reply;
    // No "orderId": the library refuses before any signal.
    EXPECT_EQ(call(mqtt_cmd_ant_pay_deal, "antPayCode", R"({"amount":"1"})", &reply), 0);
    EXPECT_EQ(reply, R"({"status":"3","failDes":"App Alipay is offline"})");
    EXPECT_EQ(call(mqtt_cmd_ant_pay_deal, "antPayStatus", R"({"orderId":"../x"})", &reply), 0);
    EXPECT_EQ(reply, R"({"status":"3","failDes":"App Alipay is offline"})");
    // Nothing to write: "Illegal parameter" (the library returns -2 before signalling).
    EXPECT_EQ(call(mqtt_cmd_deal_set_dev_param, "setDevParam", R"({"wifiAP":[{"ssid":"a","pwd":"1","stype":2}]})",
                   &reply),
              0);
    EXPECT_EQ(reply, R"({"status":"3","failDes":"Illegal parameter"})");
}

TEST(ServerSwitch, RestartCommandQuotesTheDirectory) {
    EXPECT_EQ(mqtt_cmd_deal_control::restart_command("/opt/nimbo/bin"), "'/opt/nimbo/bin'/nimboservice.sh restart");
    EXPECT_EQ(mqtt_cmd_deal_control::restart_command("/a b/it's"), "'/a b/it'\\''s'/nimboservice.sh restart");
}

}  // namespace
