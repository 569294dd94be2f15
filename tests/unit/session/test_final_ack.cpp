// The end-to-end acknowledgement of final replies (final_ack=1): the waiting book as a state
// machine, the backup kept on the broker's completion, and the finalAck command.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/nimbo_config.h"
#include "session/final_ack.h"
#include "commands/mqtt_cmd_deal.h"
#include "session/mqtt_logic.h"
#include "session/mqtt_utils_async.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"
#include "test_support.h"

using testsupport::exists;
using testsupport::write_file;

namespace {

// Seeded random steps against a model: after each step every waiting task is due exactly
// when the model says, intervals double up to the maximum, and an acknowledged task is
// never due again.
TEST(FinalAckBook, RandomStepsKeepTheSchedule) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        const int base = 5 + static_cast<int>(rng() % 60);
        final_ack::Book book(base);
        struct Model {
            long next;
            int interval;
        };
        std::map<std::string, Model> model;
        long now = 1000;
        for (int step = 0; step < 400; ++step) {
            const std::string task = "t" + std::to_string(rng() % 12);
            switch (rng() % 4) {
                case 0:  // the broker completes a send
                    ASSERT_TRUE(book.delivered(task, now));
                    model.emplace(task, Model{now + base, base});
                    break;
                case 1:  // the server acknowledges
                    EXPECT_EQ(book.acknowledged(task), model.erase(task) == 1);
                    break;
                case 2: {  // the timer runs
                    now += static_cast<long>(rng() % 200);
                    std::vector<std::string> want;
                    for (auto& [id, m] : model) {
                        if (m.next > now) continue;
                        want.push_back(id);
                        m.interval = std::min(m.interval * 2, final_ack::kMaxResendSeconds);
                        m.next = now + m.interval;
                    }
                    EXPECT_EQ(book.due(now), want);
                    break;
                }
                default:
                    now += static_cast<long>(rng() % 30);
            }
            ASSERT_EQ(book.waiting(), model.size());
            for (const auto& [id, m] : model) {
                ASSERT_EQ(book.next(id), m.next) << id;
                ASSERT_LE(m.interval, final_ack::kMaxResendSeconds);
            }
        }
    }
}

TEST(FinalAckBook, BoundedWaiting) {
    final_ack::Book book(10);
    for (size_t i = 0; i < final_ack::kMaxWaiting; ++i) ASSERT_TRUE(book.delivered("t" + std::to_string(i), 0));
    EXPECT_FALSE(book.delivered("one-more", 0));
    EXPECT_TRUE(book.delivered("t0", 5));  // already waiting: kept, schedule unchanged
    EXPECT_EQ(book.next("t0"), 10);
    EXPECT_EQ(book.waiting(), final_ack::kMaxWaiting);
}

class FinalAck : public ::testing::Test {
protected:
    void SetUp() override { testsupport::set_path(g_nimbo_data_path, dir_.path()); }
    void TearDown() override { final_ack::reset(); }

    // The library reports a QoS 2 publication complete.
    static void complete(int qos, const char* topic, const std::string& payload) {
        MQTTAsync_successData data;
        std::memset(&data, 0, sizeof data);
        data.alt.pub.message.qos = qos;
        data.alt.pub.message.payload = const_cast<char*>(payload.data());
        data.alt.pub.message.payloadlen = static_cast<int>(payload.size());
        data.alt.pub.destinationName = const_cast<char*>(topic);
        publish_onSuccess(nullptr, &data);
    }
    std::string backup(const std::string& task) const { return dir_ / mqtt_utils::backup_name(task); }

    testsupport::TempDir dir_;
};

// What the broker's completion does to a stored final reply, with the option off and on.
TEST_F(FinalAck, CompletionRemovesTheBackupOnlyWithoutTheOption) {
    const std::string reply = R"({"cmd":"apkUpgradeResp","sn":"NB1","taskId":"T1","param":{"status":"2","failDes":"Success"}})";
    for (bool on : {false, true}) {
        SCOPED_TRACE(on);
        final_ack::configure(on);
        backup_message_deal(1, 2, MQTT_REPLY_TOPIC, reply.c_str());
        ASSERT_TRUE(exists(backup("T1")));
        complete(2, MQTT_REPLY_TOPIC, reply);
        EXPECT_EQ(exists(backup("T1")), on);
        // The server's acknowledgement removes it (the option on); off, the command is unknown.
        mqtt_logic::Outcome o = mqtt_logic::dispatch(nullptr, R"({"cmd":"finalAck","taskId":"T1","sn":"NB1"})",
                                                     mqtt_cmd_deal::command_table());
        EXPECT_EQ(o.kind, mqtt_logic::Outcome::Kind::result);
        EXPECT_EQ(o.cmd, "finalAck");
        EXPECT_EQ(o.status, on ? "2" : "3");
        EXPECT_EQ(o.fail_des, on ? "Success" : "Operation does not support");
        EXPECT_FALSE(exists(backup("T1")));
    }
}

TEST_F(FinalAck, OnlyFinalRepliesAreHeld) {
    final_ack::configure(true);
    struct Case {
        int qos;
        const char* topic;
        const char* payload;
        bool held;
    };
    const Case cases[] = {
        {2, MQTT_REPLY_TOPIC, R"({"cmd":"apkUpgradeResp","taskId":"A"})", true},
        {2, MQTT_REPORT_TOPIC, R"({"cmd":"alert","taskId":"A"})", false},
        {1, MQTT_REPLY_TOPIC, R"({"cmd":"apkUpgradeResp","taskId":"A"})", false},
        {2, MQTT_REPLY_TOPIC, R"({"cmd":"apkUpgradeResp"})", false},
        {2, MQTT_REPLY_TOPIC, "not json", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        write_file(backup("A"), std::string(c.payload) + "\n");
        EXPECT_EQ(final_ack::hold_backup(c.qos, c.topic, c.payload), c.held);
    }
}

TEST_F(FinalAck, AcknowledgementWithoutTaskIdOrUnknownTask) {
    final_ack::configure(true);
    auto run = [](const char* text) { return mqtt_logic::dispatch(nullptr, text, mqtt_cmd_deal::command_table()); };
    mqtt_logic::Outcome o = run(R"({"cmd":"finalAck","sn":"NB1"})");
    EXPECT_EQ(o.status, "3");
    EXPECT_EQ(o.fail_des, "Invalid parameter");
    // A repeated acknowledgement (the reply came twice) finds nothing and still succeeds.
    o = run(R"({"cmd":"finalAck","taskId":"gone","sn":"NB1"})");
    EXPECT_EQ(o.status, "2");
    // A taskId that would leave the data directory names a hashed file inside it.
    write_file(dir_ / "victim", "x");
    o = run(R"({"cmd":"finalAck","taskId":"../victim","sn":"NB1"})");
    EXPECT_EQ(o.status, "2");
    EXPECT_TRUE(exists(dir_ / "victim"));
}

TEST_F(FinalAck, ResendSetting) {
    struct Case {
        const char* text;
        bool ok;
    };
    const Case cases[] = {{"30", true}, {"5", true}, {"600", true}, {"4", false}, {"601", false}, {"x", false},
                          {"", false}, {"30s", false}};
    for (const Case& c : cases) EXPECT_EQ(final_ack::parse_resend(c.text), c.ok) << c.text;
}

// Both keys in any section and in either order; off unless exactly "1".
TEST(FinalAckIni, Settings) {
    struct Case {
        const char* ini;
        bool on;
        int resend;
    };
    const Case cases[] = {
        {"", false, final_ack::kDefaultResendSeconds},
        {"[server]\nfinal_ack=1\n", true, final_ack::kDefaultResendSeconds},
        {"[a]\nfinal_ack_resend=5\n[server]\nfinal_ack=1\n", true, 5},
        {"[server]\nfinal_ack=1\nfinal_ack_resend=30\n", true, 30},
        {"[server]\nfinal_ack=yes\n", false, final_ack::kDefaultResendSeconds},
        {"[server]\nfinal_ack=1\nfinal_ack_resend=2\n", true, final_ack::kDefaultResendSeconds},
    };
    testsupport::TempDir root, bin;
    testsupport::DeviceRoot device{root.path()};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        write_file(bin / "nimboservice.ini", c.ini);
        nimbo::configure_from(bin.path());
        final_ack::apply(nimbo::final_ack_configured());
        EXPECT_EQ(final_ack::enabled(), c.on);
        EXPECT_EQ(final_ack::resend_seconds(), c.resend);
    }
    final_ack::reset();
}

}  // namespace

// A final reply queued in the library when the connection went stays queued and goes out
// after the reconnection by itself; the backup recovery at that connection must not send it a
// second time. Once the library gives it up, or the session's client is gone, the recovery
// sends the backup again. The library's own count of pending messages tells what was sent.
class InFlight : public FinalAck {
protected:
    void SetUp() override {
        FinalAck::SetUp();
        MQTTAsync_createOptions options = MQTTAsync_createOptions_initializer;
        options.sendWhileDisconnected = 1;  // queued, as after a lost connection
        options.allowDisconnectedSendAtAnyTime = 1;
        ASSERT_EQ(MQTTAsync_createWithOptions(&client_, "tcp://127.0.0.1:1", "in-flight", MQTTCLIENT_PERSISTENCE_NONE,
                                              nullptr, &options),
                  MQTTASYNC_SUCCESS);
    }
    void TearDown() override {
        MQTTAsync_destroy(&client_);
        mqtt_utils::forget_in_flight();
        FinalAck::TearDown();
    }
    // The library's pending tokens, its list released by its own free.
    std::vector<int> tokens() {
        MQTTAsync_token* raw = nullptr;
        EXPECT_EQ(MQTTAsync_getPendingTokens(client_, &raw), MQTTASYNC_SUCCESS);
        std::unique_ptr<MQTTAsync_token, void (*)(void*)> list(raw, MQTTAsync_free);
        std::vector<int> out;
        for (int i = 0; raw != nullptr && raw[i] != -1; ++i) out.push_back(raw[i]);
        return out;
    }
    int pending() { return static_cast<int>(tokens().size()); }
    int last_token() { return tokens().empty() ? 0 : tokens().back(); }
    MQTTAsync client_ = nullptr;
};

TEST_F(InFlight, RecoverySendsAgainOnlyWhatTheLibraryNoLongerHolds) {
    const std::string reply = R"({"cmd":"apkUpgradeResp","sn":"NB1","taskId":"T9","param":{"status":"2","failDes":""}})";
    ASSERT_EQ(mqtt_utils_async_publish_replay_message_with_qos(client_, reply.c_str(), 2), 0);
    ASSERT_TRUE(exists(backup("T9")));
    ASSERT_EQ(pending(), 1);
    const int token = last_token();

    mqtt_utils_backup_message_recovery(client_);
    EXPECT_EQ(pending(), 1) << "still queued in the library: not sent again";

    // The library gives it up (a failure callback): the backup goes out again.
    MQTTAsync_failureData failure;
    std::memset(&failure, 0, sizeof failure);
    failure.token = token;
    publish_onFailure(nullptr, &failure);
    mqtt_utils_backup_message_recovery(client_);
    EXPECT_EQ(pending(), 2);

    // A stopped session forgets what its client held: the next recovery sends the backup.
    mqtt_utils::forget_in_flight();
    mqtt_utils_backup_message_recovery(client_);
    EXPECT_EQ(pending(), 3);
    EXPECT_TRUE(exists(backup("T9")));
}

// A completion may run on the library's thread before the sender has registered its token:
// the late registration must not leave the task marked in flight for good.
TEST_F(InFlight, CompletionBeforeRegistrationLeavesNothingInFlight) {
    const std::string reply = R"({"cmd":"apkUpgradeResp","sn":"NB1","taskId":"T8","param":{"status":"2","failDes":""}})";
    MQTTAsync_failureData failure;
    std::memset(&failure, 0, sizeof failure);
    failure.token = 1;  // the first token of a fresh client
    publish_onFailure(nullptr, &failure);
    ASSERT_EQ(mqtt_utils_async_publish_replay_message_with_qos(client_, reply.c_str(), 2), 0);
    ASSERT_EQ(last_token(), 1);
    mqtt_utils_backup_message_recovery(client_);
    EXPECT_EQ(pending(), 2) << "the reply completed before it was registered counts as not in flight";
}
