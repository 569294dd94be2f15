// Envelope builders and request parsers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "c_handles.hpp"
#include "json/json_utils.h"
#include "test_support.h"

namespace {

std::string take(char* text) { return testsupport::text_of(text, "<null>"); }

TEST(Envelope, ReplyKeysOrderAndOmissions) {
    struct Case {
        const char *cmd, *sn, *task, *param, *expected;
    };
    const Case cases[] = {
        // No task id: three keys, "taskId" left out.
        {"querySysStatus", "NB1", "", R"({"status":"2","failDes":"Success"})",
         R"({"cmd":"querySysStatusResp","sn":"NB1","param":{"status":"2","failDes":"Success"}})"},
        {"apkUpgrade", "NB1", "t-1", R"({ "status" : "1", "failDes" : "" })",
         R"({"cmd":"apkUpgradeResp","sn":"NB1","taskId":"t-1","param":{"status":"1","failDes":""}})"},
        // Empty param: no "param" key.
        {"reboot", "NB1", "t-2", "", R"({"cmd":"rebootResp","sn":"NB1","taskId":"t-2"})"},
        {"reboot", "NB1", nullptr, nullptr, R"({"cmd":"rebootResp","sn":"NB1"})"},
        // Texts are escaped, not spliced.
        {"x\"y", "s\\n", "t\n", R"({"a":"\u00e9"})", "{\"cmd\":\"x\\\"yResp\",\"sn\":\"s\\\\n\",\"taskId\":\"t\\n\","
                                                     "\"param\":{\"a\":\"\xc3\xa9\"}}"},
        // Param that is not JSON (or JSON followed by garbage): no envelope.
        {"reboot", "NB1", "t", "{\"a\":", "<null>"},
        {"reboot", "NB1", "t", "{\"a\":1} trailing", "<null>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(take(json_utils_embed_param_in_replay_jsonstr(c.cmd, c.sn, c.task, c.param)), c.expected);
    }
}

TEST(Envelope, ReportAlwaysParsesParam) {
    EXPECT_EQ(take(json_utils_embed_param_in_report_jsonstr("deviceInfo", "NB1", "", R"({"a":[1,2]})")),
              R"({"cmd":"deviceInfo","sn":"NB1","param":{"a":[1,2]}})");
    EXPECT_EQ(take(json_utils_embed_param_in_report_jsonstr("alert", "NB1", "t9", "{}")),
              R"({"cmd":"alert","sn":"NB1","taskId":"t9","param":{}})");
    EXPECT_EQ(take(json_utils_embed_param_in_report_jsonstr("alert", "NB1", "", "not json")), "<null>");
    EXPECT_EQ(take(json_utils_embed_param_in_report_jsonstr("alert", "NB1", "", "")), "<null>");
    EXPECT_EQ(take(json_utils_create_empty_param_report_jsonstr("deviceInfo", "NB1", "")),
              R"({"cmd":"deviceInfo","sn":"NB1"})");
    EXPECT_EQ(take(json_utils_generated_common_replay_param_to_jsonstr("3", "Operation failed")),
              R"({"status":"3","failDes":"Operation failed"})");
}

TEST(Envelope, AppendToArray) {
    EXPECT_EQ(take(json_utils_embed_jsonstr_param_in_jsonstr("[]", R"({"a":1})")), R"([{"a":1}])");
    EXPECT_EQ(take(json_utils_embed_jsonstr_param_in_jsonstr("[1]", "2")), "[1,2]");
    EXPECT_EQ(take(json_utils_embed_jsonstr_param_in_jsonstr("[1", "2")), "<null>");
    EXPECT_EQ(take(json_utils_embed_jsonstr_param_in_jsonstr("[1]", "{")), "<null>");
    EXPECT_EQ(take(json_utils_embed_jsonstr_param_in_jsonstr("{}", "1")), "<null>");
}

TEST(RequestParser, Fields) {
    struct Case {
        const char* text;
        int rc;
        const char *cmd, *task, *sn, *param;
    };
    const std::string long_param = std::string(R"({"cmd":"x","param":")") + std::string(3071, 'p') + "\"}";
    const Case cases[] = {
        {R"({"cmd":"reboot","taskId":"t1","sn":"S2","param":{"rebootType":"1"}})", 0, "reboot", "t1", "S2",
         R"({"rebootType":"1"})"},
        // Absent or empty "sn": the device's serial number.
        {R"({"cmd":"reboot"})", 0, "reboot", "", "DEV", ""},
        {R"({"cmd":"reboot","sn":""})", 0, "reboot", "", "DEV", ""},
        // "param" as a string reaches the handler as that text.
        {R"({"cmd":"x","param":"{\"a\": 1}"})", 0, "x", "", "DEV", R"({"a": 1})"},
        // Members of other types are ignored.
        {R"({"cmd":5,"taskId":null,"sn":[1],"param":[1,2]})", 0, "", "", "DEV", ""},
        {long_param.c_str(), 0, "x", "", "DEV", nullptr},
        {"not json", -2, "", "", "", ""},
        {R"({"cmd":"x"} {"cmd":"y"})", -2, "", "", "", ""},
        // A NUL inside a text would cut it silently: refused, wherever it is.
        {R"({"cmd":"apkUpgrade","param":{"applicationName":"Sh\u0000op"}})", -2, "", "", "", ""},
        {R"({"cmd":"x\u0000y"})", -2, "", "", "", ""},
        // An escaped backslash followed by "u0000" is plain text.
        {R"({"cmd":"x","taskId":"a\\u0000"})", 0, "x", "a\\u0000", "DEV", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text).substr(0, 80));
        RequestCmd r;
        std::memset(&r, 'Z', sizeof r);
        ASSERT_EQ(json_utils_jsonstr_to_request_cmd(c.text, "DEV", &r), c.rc);
        EXPECT_STREQ(r.cmd, c.cmd);
        EXPECT_STREQ(r.taskId, c.task);
        EXPECT_STREQ(r.sn, c.sn);
        if (c.param) {
            EXPECT_STREQ(r.param, c.param);
        } else {
            EXPECT_EQ(std::strlen(r.param), 3071u);
        }
    }
    EXPECT_EQ(json_utils_jsonstr_to_request_cmd("{}", "DEV", nullptr), -2);
}

TEST(RequestParser, OverlongFieldsAreRefusedNotCut) {
    struct Case {
        std::string text;
        unsigned overflow;
    };
    const std::string s256(256, 'a');
    const Case cases[] = {
        {R"({"cmd":")" + s256 + R"("})", json_utils::kOverflowCmd},
        {R"({"cmd":"x","taskId":")" + s256 + R"("})", json_utils::kOverflowTaskId},
        {R"({"cmd":"x","sn":")" + s256 + R"("})", json_utils::kOverflowSn},
        {R"({"cmd":"x","param":")" + std::string(3072, 'p') + R"("})", json_utils::kOverflowParam},
        // An object whose compact text exceeds the field.
        {R"({"cmd":"x","param":{"k":")" + std::string(3070, 'p') + R"("}})", json_utils::kOverflowParam},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.overflow);
        RequestCmd r;
        unsigned overflow = 0;
        EXPECT_EQ(json_utils::parse_request(c.text.c_str(), "DEV", &r, &overflow), -6);
        EXPECT_EQ(overflow, c.overflow);
        EXPECT_EQ(json_utils_jsonstr_to_request_cmd(c.text.c_str(), "DEV", &r), -6);
        // Nothing cut: the overlong field is empty, not a prefix.
        if (c.overflow == json_utils::kOverflowParam) {
            EXPECT_STREQ(r.param, "");
        }
        if (c.overflow == json_utils::kOverflowCmd) {
            EXPECT_STREQ(r.cmd, "");
        }
    }
    // Exactly at the limits fits.
    std::string fits = R"({"cmd":")" + std::string(255, 'c') + R"(","taskId":")" + std::string(255, 't') +
                       R"(","sn":")" + std::string(255, 's') + R"("})";
    RequestCmd r;
    EXPECT_EQ(json_utils_jsonstr_to_request_cmd(fits.c_str(), "DEV", &r), 0);
    EXPECT_EQ(std::strlen(r.taskId), 255u);
}

TEST(BackupHeader, TaskIdAndCmd) {
    char task[256] = {0}, cmd[256] = {0};
    EXPECT_EQ(json_utils_jsonstr_get_taskid_and_cmd(R"({"cmd":"apkUpgradeResp","taskId":"77"})", task, cmd), 0);
    EXPECT_STREQ(task, "77");
    EXPECT_STREQ(cmd, "apkUpgradeResp");
    char only[256] = {0};
    EXPECT_EQ(json_utils_jsonstr_get_taskid_and_cmd(R"({"taskId":"9"})", only, nullptr), 0);
    EXPECT_STREQ(only, "9");
    EXPECT_EQ(json_utils_jsonstr_get_taskid_and_cmd(R"({"taskId":"9"})", nullptr, nullptr), -2);
    EXPECT_EQ(json_utils_jsonstr_get_taskid_and_cmd("{", task, cmd), -2);
    std::string too_long = R"({"taskId":")" + std::string(256, 't') + "\"}";
    char t2[256] = {0};
    EXPECT_EQ(json_utils_jsonstr_get_taskid_and_cmd(too_long.c_str(), t2, nullptr), -2);
    EXPECT_STREQ(t2, "");
}

TEST(OrgInfoParser, Fields) {
    DevOrgInfoParam p;
    EXPECT_EQ(json_utils_jsonstr_to_dev_org_info_param(R"({"organizationId":"7","departmentId":"","groupId":"3"})", &p), 0);
    EXPECT_STREQ(p.organizationId, "7");
    EXPECT_STREQ(p.departmentId, "");
    EXPECT_STREQ(p.groupId, "3");
    EXPECT_EQ(json_utils_jsonstr_to_dev_org_info_param(R"({"organizationId":7,"groupId":"3"})", &p), 0);
    EXPECT_STREQ(p.organizationId, "");
    EXPECT_EQ(json_utils_jsonstr_to_dev_org_info_param("nope", &p), -2);
    EXPECT_STREQ(p.groupId, "");
    std::string big = R"({"organizationId":"1","groupId":")" + std::string(300, 'g') + "\"}";
    EXPECT_EQ(json_utils_jsonstr_to_dev_org_info_param(big.c_str(), &p), -6);
    EXPECT_STREQ(p.organizationId, "");
    EXPECT_EQ(json_utils_jsonstr_to_dev_org_info_param("{}", nullptr), -2);
}

}  // namespace
