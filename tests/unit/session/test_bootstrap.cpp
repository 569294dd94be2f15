// The bootstrap request "api/v1/mqtt" against the management-server simulator.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "json/json_utils.h"
#include "session/nimbo_utils_bootstrap.h"
#include "sim_server.h"
#include "util/nimbo_utils.h"

using testsupport::SimServer;

TEST(BootstrapReply, Parsing) {
    struct Case {
        const char* text;
        int result;
        int code;
        const char* data;
    };
    const std::string long_data = R"({"code":100000,"message":"success","data":")" + std::string(256, 'h') + "\"}";
    const std::string fits = R"({"code":100000,"message":"success","data":")" + std::string(255, 'h') + "\"}";
    const Case cases[] = {
        {R"({"code":100000,"message":"success","data":"127.0.0.1:1883"})", 0, 100000, "127.0.0.1:1883"},
        {R"({"code":100001,"message":"fail","data":""})", 0, 100001, ""},
        {R"({"code":"100000","message":"success","data":"h"})", -8, 0, ""},
        {R"({"code":100000,"message":1,"data":"h"})", -8, 100000, ""},
        {R"({"code":100000,"message":"success"})", -8, 100000, ""},
        {R"({"code":100000,"message":"success","data":null})", -8, 100000, ""},
        {"<html>busy</html>", -8, 0, ""},
        {"", -8, 0, ""},
        {long_data.c_str(), -8, 100000, ""},  // refused, not cut
        {fits.c_str(), 0, 100000, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ApiMqttBean bean;
        std::memset(&bean, 'x', sizeof bean);
        EXPECT_EQ(json_utils_jsonstr_to_api_mqtt(c.text, &bean), c.result);
        EXPECT_EQ(bean.code, c.code);
        if (c.data) {
            EXPECT_STREQ(bean.data, c.data);
        }
        EXPECT_LT(strnlen(bean.data, sizeof bean.data), sizeof bean.data);
    }
    EXPECT_EQ(json_utils_jsonstr_to_api_mqtt("{}", nullptr), -2);
}

class Bootstrap : public ::testing::Test {
protected:
    // Runs the request; the buffer starts filled with an old value, as after a failed try.
    int request(const std::string& base) {
        std::memset(out_, 0, sizeof out_);
        std::strcpy(out_, "tcp://old:1");
        len_ = 11;
        return nimbo_utils_request_api_v1_mqtt(base.c_str(), out_, &len_);
    }
    void expect_cleared() {
        EXPECT_STREQ(out_, "");
        EXPECT_EQ(len_, 0);
    }
    SimServer sim_;
    char out_[256];
    int len_ = 0;
};

TEST_F(Bootstrap, BrokerAddresses) {
    struct Case {
        std::string broker;
        std::string expected;
    };
    const Case cases[] = {
        {"127.0.0.1:1883", "tcp://127.0.0.1:1883"},
        {"tcp://broker.example:1883", "tcp://broker.example:1883"},
        {"ssl://broker.example:8883", "ssl://broker.example:8883"},
        {std::string(249, 'b'), "tcp://" + std::string(249, 'b')},  // 255 characters fit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.broker);
        ASSERT_TRUE(sim_.configure(R"({"broker":")" + c.broker + "\"}"));
        ASSERT_EQ(request(sim_.url()), 0);
        EXPECT_EQ(std::string(out_), c.expected);
        EXPECT_EQ(len_, static_cast<int>(c.expected.size()));
    }
    // One more character would not fit the caller's 256 bytes: refused, not cut.
    ASSERT_TRUE(sim_.configure(R"({"broker":")" + std::string(250, 'b') + "\"}"));
    EXPECT_EQ(request(sim_.url()), -8);
    expect_cleared();
}

TEST_F(Bootstrap, RequestUrlHasOneSlash) {
    for (const std::string& base : {sim_.url(), sim_.url("/"), sim_.url("/mdm"), sim_.url("/mdm/")}) {
        SCOPED_TRACE(base);
        ASSERT_EQ(request(base), 0);
        std::string expected = base.find("/mdm") != std::string::npos ? "/mdm/api/v1/mqtt" : "/api/v1/mqtt";
        EXPECT_EQ(sim_.last("path"), expected);
    }
}

TEST_F(Bootstrap, Refusals) {
    struct Case {
        std::string setting;
        int result;
    };
    const Case cases[] = {
        {R"({"refuse":"fail"})", -1},
        {R"({"refuse":null,"inject":{"/api/v1/mqtt":{"status":200,"body":"{\"code\":100000,\"message\":\"ok\",\"data\":\"h:1\"}"}}})",
         -1},
        {R"({"inject":{"/api/v1/mqtt":{"status":200,"body":"{\"code\":100002,\"message\":\"success\",\"data\":\"h:1\"}"}}})",
         -1},
        {R"({"inject":{"/api/v1/mqtt":{"status":200,"body":"{\"code\":100000,\"message\":\"success\",\"data\":\"\"}"}}})",
         -8},
        {R"({"inject":{"/api/v1/mqtt":null},"refuse":"nonjson"})", -8},
        {R"({"refuse":"empty"})", -8},
        {R"({"refuse":"http500"})", -8},
        {R"({"refuse":null,"inject":{"/api/v1/mqtt":{"status":200,"body":"{\"code\":100000,\"message\":\"success\",\"data\":\"h:1\",\"pad\":\")" +
             std::string(5000, 'p') + R"(\"}"}}})",
         -8},  // larger than any reply: refused, not cut
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting.substr(0, 120));
        ASSERT_TRUE(sim_.configure(c.setting));
        EXPECT_EQ(request(sim_.url()), c.result);
        expect_cleared();
    }
}

// The body decides, whatever the HTTP status.
TEST_F(Bootstrap, SuccessBodyWithAnotherStatus) {
    for (int status : {201, 203, 500}) {
        SCOPED_TRACE(status);
        ASSERT_TRUE(sim_.configure(R"({"inject":{"/api/v1/mqtt":{"status":)" + std::to_string(status) +
                                   R"(,"body":"{\"code\":100000,\"message\":\"success\",\"data\":\"h:1\"}"}}})"));
        EXPECT_EQ(request(sim_.url()), 0);
        EXPECT_STREQ(out_, "tcp://h:1");
    }
}

TEST_F(Bootstrap, NoServer) {
    EXPECT_EQ(request("http://127.0.0.1:" + std::to_string(testsupport::free_tcp_port())), -8);
    expect_cleared();
    EXPECT_EQ(request(""), -2);
    expect_cleared();
}

// The serial number is the identity on every topic: a host without one must not go online.
TEST(SerialNumber, UsableIdentity) {
    const struct {
        const char* serial;
        int result;
    } cases[] = {
        {"NB20260001", 0}, {"NB 2026", 0}, {"", -2}, {" ", -2}, {"\t \r", -2}, {"NB+1", -2}, {"NB#", -2}, {nullptr, -2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.serial ? c.serial : "(null)");
        EXPECT_EQ(nimbo_utils_check_serialno(c.serial), c.result);
    }
}
