// Device parameters and payment data handed to the payment application, its state, the
// storage clean-up and the update-signal registration.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "hwlink.h"
#include "hwlink_sim.h"
#include "pay_signals.h"
#include "test_support.h"

using testsupport::exists;
using testsupport::read_file;
using testsupport::write_file;

namespace {

using Lines = std::vector<std::string>;

using Pay = hwsim::TerminalTest;

TEST_F(Pay, DeviceConfiguration) {
    hwsim::PayApp app(scratch_.path());
    ASSERT_TRUE(app.ready());
    const std::string wifi = R"([{"ssid":"Shop","pwd":"p w"}])";
    struct Case {
        int brightness, volume;
        const char* wifi;
        int rc;
        std::string config;  // "" = no file
    } cases[] = {
        {80, -1, nullptr, 0, "brightness=80\n\n"},
        {80, 30, wifi.c_str(), 0, "brightness=80\nvolume=30\nwifi=" + wifi + "\n\n"},
        {-1, 30, "", 0, "volume=30\n\n"},
        {-1, -1, wifi.c_str(), 0, "wifi=" + wifi + "\n\n"},
        {0, -1, "", 0, "brightness=0\n\n"},
        {-1, -1, nullptr, -2, ""},
        {-1, -1, "", -2, ""},
    };
    const std::string config = root_ / "usr/data/config/DEVCONFIG";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        write_file(config, "brightness=1\nstale\n");
        EXPECT_EQ(hwlink_update_dev_param(c.brightness, c.volume, c.wifi), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(read_file(config), c.config);
            EXPECT_EQ(received(app), Lines{"92"});
        } else {
            EXPECT_FALSE(exists(config));  // deleted even when there is nothing to write
            EXPECT_EQ(received(app), Lines{});
        }
    }
    // The stand-in saw the file as written when it was signalled.
    Lines files = app.files();
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(files[0], "92 /usr/data/config/DEVCONFIG\tbrightness=80\\n\\n");
    app.stop();
    if (hwsim::foreign_alibank_running()) GTEST_SKIP() << "another alibankApp is running";
    EXPECT_EQ(hwlink_update_dev_param(50, -1, nullptr), -3);
    EXPECT_EQ(read_file(config), "brightness=50\n\n");
}

TEST_F(Pay, PaymentHandOver) {
    hwsim::PayApp app(scratch_.path());
    ASSERT_TRUE(app.ready());
    const std::string code = root_ / "usr/data/app/Alipay/data/pay_code";
    const std::string status = root_ / "usr/data/app/Alipay/data/pay_status";
    const std::string pay1 = R"({"orderId":"o-1","payCode":"2888"})";
    const std::string pay2 = R"({"orderId":"o-2","status":"paid"})";
    EXPECT_EQ(hwlink_ant_pay_deal(1, pay1.c_str()), 0);
    EXPECT_EQ(read_file(code + "/o-1"), pay1 + "\n");
    EXPECT_EQ(received(app), Lines{"89"});
    EXPECT_EQ(hwlink_ant_pay_deal(0, pay2.c_str()), 0);
    EXPECT_EQ(read_file(status + "/o-2"), pay2 + "\n");
    EXPECT_EQ(received(app), Lines{"90"});
    // The same order again replaces its file.
    const std::string pay1b = R"({"orderId":"o-1","payCode":"2999"})";
    EXPECT_EQ(hwlink_ant_pay_deal(1, pay1b.c_str()), 0);
    EXPECT_EQ(read_file(code + "/o-1"), pay1b + "\n");
    EXPECT_EQ(received(app), Lines{"89"});
    Lines files = app.files();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0], "89 /usr/data/app/Alipay/data/pay_code/o-1\t" + pay1 + "\\n");
    EXPECT_EQ(files[1], "90 /usr/data/app/Alipay/data/pay_status/o-2\t" + pay2 + "\\n");

    const char* bad[] = {
        nullptr, "", "not json", R"({"x":1})", R"({"orderId":""})", R"({"orderId":5})",
        R"({"orderId":"../escape"})", R"({"orderId":"a/b"})", R"({"orderId":"."})", R"({"orderId":".."})",
        R"(["orderId"])",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text ? text : "(null)");
        EXPECT_EQ(hwlink_ant_pay_deal(1, text), -2);
    }
    EXPECT_EQ(received(app), Lines{});  // nothing was sent for any of them
    EXPECT_FALSE(exists(root_ / "usr/data/app/Alipay/data/escape"));
    EXPECT_FALSE(exists(code + "/a"));
    app.stop();
    if (hwsim::foreign_alibank_running()) GTEST_SKIP() << "another alibankApp is running";
    EXPECT_EQ(hwlink_ant_pay_deal(1, R"({"orderId":"o-3"})"), -3);
}

TEST_F(Pay, PaymentApplicationState) {
    struct Case {
        const char* devstate;  // nullptr: no file
        int bind, lock;
    } cases[] = {
        {"bindState=1\nlockState=1\n", 2, 1}, {"bindState=2\n", 3, 0},        {"bindState=0\nlockState=0\n", 1, 0},
        {"lockState=10\n", 1, 0},             {"x=1\nlockState=1\n", 1, 1},   {nullptr, 1, 0},
        {" bindState=2\n", 1, 0},
    };
    const std::string devstate = root_ / "usr/data/config/DEVSTATE";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.devstate ? c.devstate : "(none)");
        unlink(devstate.c_str());
        if (c.devstate) write_file(devstate, c.devstate);
        int bind = -1, lock = -1;
        EXPECT_EQ(hwlink_get_alibankApp_state(&bind, &lock), 0);
        EXPECT_EQ(bind, c.bind);
        EXPECT_EQ(lock, c.lock);
        bind = -1;
        EXPECT_EQ(hwlink_get_alibankApp_state(&bind, nullptr), 0);
        EXPECT_EQ(bind, c.bind);
    }
    EXPECT_EQ(hwlink_get_alibankApp_state(nullptr, nullptr), -2);
}

// The stand-in answers the lock protocol: on 94/93 it sets lockState and signals back.
TEST_F(Pay, LockAnswersFromTheStandIn) {
    sigset_t answers;
    sigemptyset(&answers);
    sigaddset(&answers, nimbo_pay_signal(93));
    sigaddset(&answers, nimbo_pay_signal(94));
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &answers, nullptr), 0);
    {
        hwsim::PayApp app(scratch_.path(), {"--lock-answer-delay-ms", "0"});
        ASSERT_TRUE(app.ready());
        struct timespec wait = {30, 0};
        ASSERT_EQ(hwlink_send_signal_to_alibankApp(94), 0);
        EXPECT_EQ(nimbo_pay_signal_number(sigtimedwait(&answers, nullptr, &wait)), 94);
        int lock = -1;
        EXPECT_EQ(hwlink_get_alibankApp_state(nullptr, &lock), 0);
        EXPECT_EQ(lock, 1);
        ASSERT_EQ(hwlink_send_signal_to_alibankApp(93), 0);
        EXPECT_EQ(nimbo_pay_signal_number(sigtimedwait(&answers, nullptr, &wait)), 93);
        EXPECT_EQ(hwlink_get_alibankApp_state(nullptr, &lock), 0);
        EXPECT_EQ(lock, 0);
        EXPECT_EQ(received(app), (Lines{"94", "93"}));
    }
    {
        // An application that never answers.
        hwsim::PayApp app(scratch_.path(), {"--lock-answer-delay-ms", "-1"});
        ASSERT_TRUE(app.ready());
        ASSERT_EQ(hwlink_send_signal_to_alibankApp(94), 0);
        EXPECT_EQ(received(app), Lines{"94"});
        sigset_t pending;
        sigpending(&pending);
        EXPECT_FALSE(sigismember(&pending, nimbo_pay_signal(94)));
        int lock = -1;
        EXPECT_EQ(hwlink_get_alibankApp_state(nullptr, &lock), 0);
        EXPECT_EQ(lock, 0);
    }
    pthread_sigmask(SIG_UNBLOCK, &answers, nullptr);
}

TEST_F(Pay, CleanupOfSpace) {
    snprintf(g_device_app_path, sizeof g_device_app_path, "%s/usr/data/app", root_.path().c_str());
    EXPECT_EQ(hwlink_cleanup_of_space(), -8);  // no factory-test directory
    const std::string dir = root_ / "usr/data/app/product_test";
    write_file(dir + "/bin/tool", "x");
    write_file(dir + "/log.txt", "y");
    EXPECT_EQ(hwlink_cleanup_of_space(), 0);
    EXPECT_TRUE(exists(dir));
    EXPECT_FALSE(exists(dir + "/bin"));
    EXPECT_FALSE(exists(dir + "/log.txt"));
    g_device_app_path[0] = '\0';
}

volatile sig_atomic_t g_first = 0, g_second = 0;
void first_handler(int) { g_first = g_first + 1; }
void second_handler(int) { g_second = g_second + 1; }

void (*installed_handler())(int) {
    struct sigaction sa;
    sigaction(nimbo_pay_signal(92), nullptr, &sa);
    return sa.sa_handler;
}

TEST(PayRegistration, UpdateSignalHandler) {
    EXPECT_EQ(hwlink_register_signal_update_info(1, first_handler), 0);
    EXPECT_EQ(installed_handler(), first_handler);
    EXPECT_EQ(hwlink_register_signal_update_info(1, second_handler), 0);  // already registered
    EXPECT_EQ(installed_handler(), first_handler);
    raise(nimbo_pay_signal(92));
    EXPECT_EQ(g_first, 1);
    EXPECT_EQ(hwlink_register_signal_update_info(0, nullptr), 0);
    EXPECT_EQ(installed_handler(), SIG_DFL);
    EXPECT_EQ(hwlink_register_signal_update_info(1, second_handler), 0);
    EXPECT_EQ(installed_handler(), second_handler);
    raise(nimbo_pay_signal(92));
    EXPECT_EQ(g_second, 1);
    EXPECT_EQ(hwlink_register_signal_update_info(0, nullptr), 0);
}

}  // namespace
