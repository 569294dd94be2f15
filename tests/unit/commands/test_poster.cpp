// The display-resource list: the parameter parser, the reply parameter, the array
// operations on "config.json", and the command handler's paths that need no download.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "c_handles.hpp"
#include "commands/mqtt_cmd_deal.h"
#include "commands/mqtt_cmd_deal_poster.h"
#include "json/json_utils_poster.h"
#include "tasks/ledger.h"
#include "tasks/nimbo_workers.h"
#include "test_support.h"
#include "util/nimbo_globals.h"

using testsupport::exists;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::text_of;
using testsupport::write_file;

namespace {

const char* const kTwoPosters =
    R"([{"enable":1,"level":1,"position":2,"type":"poster","fileName":"2_a.png","md5sum":"m1"},)"
    R"({"enable":0,"level":5,"position":12,"beginTime":"b","type":"poster","fileName":"12_c.png","md5sum":"m3"}])";

// ---- parameter and reply ----------------------------------------------------------------

TEST(PosterParam, FieldsAreReadByTheirTypes) {
    CustomResourcePosterParam p;
    ASSERT_EQ(json_utils_jsonstr_to_custom_resource_poster_param(
                  R"({"action":"add","enable":true,"beginTime":"2025-01-01","endTime":"2025-12-31","type":"poster",)"
                  R"("level":3,"progress":20,"position":4,"source":"s","fileName":"a.png","fileSize":"18446744073709551615",)"
                  R"("md5sum":"abc","sliderTitle":"t","toDir":"d","url":"http://x/a.png","height":10,"width":20})",
                  &p),
              0);
    EXPECT_EQ(p.enable, 1u);
    EXPECT_STREQ(p.beginTime, "2025-01-01");
    EXPECT_STREQ(p.endTime, "2025-12-31");
    EXPECT_STREQ(p.type, "poster");
    EXPECT_EQ(p.level, 3);
    EXPECT_EQ(p.progress, 20);
    EXPECT_EQ(p.position, 4);
    EXPECT_STREQ(p.source, "s");
    EXPECT_STREQ(p.fileName, "a.png");
    EXPECT_EQ(p.fileSize, 18446744073709551615ull);
    EXPECT_STREQ(p.md5sum, "abc");
    EXPECT_STREQ(p.sliderTitle, "t");
    EXPECT_STREQ(p.toDir, "d");
    EXPECT_STREQ(p.url, "http://x/a.png");
    EXPECT_STREQ(p.action, "add");
    EXPECT_EQ(p.height, 10);
    EXPECT_EQ(p.width, 20);
}

TEST(PosterParam, WrongTypesAreLeftEmptyAndOversizedValuesRefused) {
    std::string long_name(256, 'n');
    struct Case {
        std::string text;
        int rc;
    } cases[] = {
        {R"({"enable":1,"position":"2","fileSize":100,"fileName":7})", 0},  // wrong types: zero/empty
        {R"({"fileSize":""})", 0},
        {R"({"fileSize":"12x"})", -6},
        {R"({"fileSize":"-1"})", -6},
        {R"({"fileSize":"18446744073709551616"})", -6},
        {R"({"fileName":")" + long_name + R"("})", -6},
        {R"({"fileName":")" + long_name.substr(1) + R"("})", 0},
        {"not json", -2},
        {"[1,2]", -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CustomResourcePosterParam p;
        memset(&p, 0x5a, sizeof p);
        EXPECT_EQ(json_utils_jsonstr_to_custom_resource_poster_param(c.text.c_str(), &p), c.rc);
        if (c.rc != 0 || c.text.find("\"enable\":1") != std::string::npos) {
            EXPECT_EQ(p.enable, 0u);
            EXPECT_EQ(p.position, 0);
            EXPECT_EQ(p.fileSize, 0u);
        }
        if (c.rc != 0) { EXPECT_STREQ(p.fileName, ""); }
    }
    EXPECT_EQ(json_utils_jsonstr_to_custom_resource_poster_param("{}", nullptr), -2);
}

TEST(PosterReply, ParameterObjects) {
    EXPECT_EQ(text_of(json_utils_poster_resources_param_to_jsonstr("1", "", "add")),
              R"({"status":"1","failDes":"","action":"add"})");
    struct Case {
        const char* param;
        const char* expected;
    } cases[] = {
        {R"({"ACTION":"delete"})", R"({"status":"3","failDes":"busy","action":"delete"})"},
        {R"({"action":5})", R"({"status":"3","failDes":"busy"})"},
        {R"({"type":"poster"})", R"({"status":"3","failDes":"busy"})"},
        {"not json", R"({"status":"3","failDes":"busy","action":"add"})"},
        {"", R"({"status":"3","failDes":"busy","action":"add"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.param);
        EXPECT_EQ(text_of(json_utils_poster_resources_param_to_jsonstr2("3", "busy", c.param)), c.expected);
    }
}

// ---- array operations --------------------------------------------------------------------

TEST(PosterArray, LookupResultsAndStoredName) {
    struct Case {
        const char* what;
        const char* array;
        int position;
        const char* md5sum;
        const char* file_name;
        int result;
        const char* name;
    } cases[] = {
        {"same poster", kTwoPosters, 2, "m1", "a.png", 0, "2_a.png"},
        {"same poster, two-digit position", kTwoPosters, 12, "m3", "c.png", 0, "12_c.png"},
        {"another name", kTwoPosters, 2, "m1", "b.png", -10021, "2_a.png"},
        {"another md5sum", kTwoPosters, 2, "m9", "a.png", -8, "2_a.png"},
        {"free position", kTwoPosters, 3, "m1", "a.png", -4, ""},
        {"empty array", "[]", 2, "m1", "a.png", -4, ""},
        {"not JSON", "[{", 2, "m1", "a.png", -8, ""},
        {"not an array", R"({"position":2})", 2, "m1", "a.png", -8, ""},
        {"entry without md5sum", R"([{"position":2,"fileName":"2_a.png"}])", 2, "", "a.png", -8, "2_a.png"},
        {"position as text", R"([{"position":"2","fileName":"2_a.png","md5sum":"m1"}])", 2, "m1", "a.png", -4,
         ""},
        {"first entry wins", R"([{"position":2,"fileName":"2_x.png","md5sum":"m1"},{"position":2,"fileName":"2_a.png","md5sum":"m1"}])",
         2, "m1", "a.png", -10021, "2_x.png"},
        {"renamed entry", R"([{"position":2,"fileName":"a.png","md5sum":"m1"}])", 2, "m1", "a.png", 0, "a.png"},
        {"one-character stored name", R"([{"position":2,"fileName":"x","md5sum":"m1"}])", 2, "m1", "a.png", -10021,
         "x"},
        {"message entry", R"([{"position":2,"type":"message","md5sum":"m1"}])", 2, "m1", "", -10021, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        char name[POSTER_NAME_SIZE] = {0};
        int len = -1;
        EXPECT_EQ(json_utils_check_md5_in_custom_resource_poster_param_array(c.array, c.position, c.md5sum,
                                                                             c.file_name, name, &len),
                  c.result);
        EXPECT_STREQ(name, c.name);
        if (c.name[0] != '\0') { EXPECT_EQ(len, static_cast<int>(strlen(c.name))); }
        // The outs are optional.
        EXPECT_EQ(json_utils_check_md5_in_custom_resource_poster_param_array(c.array, c.position, c.md5sum,
                                                                             c.file_name, nullptr, nullptr),
                  c.result);
    }
}

TEST(PosterArray, AppendWritesTheKeysInListOrder) {
    CustomResourcePosterParam p;
    ASSERT_EQ(json_utils_jsonstr_to_custom_resource_poster_param(
                  R"({"url":"u","md5sum":"m","fileName":"2_a.png","sliderTitle":"t","type":"poster","source":"s",)"
                  R"("endTime":"e","beginTime":"b","position":2,"level":3,"enable":true,"progress":5})",
                  &p),
              0);
    const std::string full =
        R"({"enable":1,"level":3,"position":2,"beginTime":"b","endTime":"e","source":"s","type":"poster",)"
        R"("sliderTitle":"t","fileName":"2_a.png","md5sum":"m"})";
    CustomResourcePosterParam bare;
    ASSERT_EQ(json_utils_jsonstr_to_custom_resource_poster_param(R"({"type":"message","position":-3})", &bare), 0);
    struct Case {
        const char* what;
        const char* array;
        const CustomResourcePosterParam* param;
        std::string expected;
    } cases[] = {
        {"new list", nullptr, &p, "[" + full + "]"},
        {"empty text", "", &p, "[" + full + "]"},
        {"appended at the end", R"([{"position":1}])", &p, R"([{"position":1},)" + full + "]"},
        {"empty texts left out", "[]", &bare, R"([{"enable":0,"level":0,"position":-3,"type":"message"}])"},
        {"not JSON", "[{", &p, "(null)"},
        {"not an array", "{}", &p, "(null)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(text_of(json_utils_embed_param_in_custom_resource_poster_array(c.array, *c.param)), c.expected);
    }
    EXPECT_EQ(text_of(json_utils_embed_param_in_custom_resource_poster_array2(nullptr, 1, 3, 2, "b", "e", "s",
                                                                             "poster", "t", "2_a.png", "m")),
              "[" + full + "]");
}

TEST(PosterArray, UpdateByPositionReplacesOnlyHeldKeys) {
    const char* held =
        R"([{"enable":1,"level":1,"position":2,"beginTime":"b0","endTime":"e0","sliderTitle":"t0","fileName":"2_a.png","md5sum":"m1"},)"
        R"({"enable":1,"level":1,"position":2,"fileName":"2_z.png","md5sum":"m1"}])";
    struct Case {
        const char* what;
        const char* array;
        int position;
        const char* file_name;
        const char* expected;
    } cases[] = {
        {"first entry at the position, name kept", held, 2, "",
         R"([{"enable":0,"level":7,"position":2,"beginTime":"b","endTime":"e","sliderTitle":"t","fileName":"2_a.png","md5sum":"m2"},)"
         R"({"enable":1,"level":1,"position":2,"fileName":"2_z.png","md5sum":"m1"}])"},
        {"name replaced", held, 2, "b.png",
         R"([{"enable":0,"level":7,"position":2,"beginTime":"b","endTime":"e","sliderTitle":"t","fileName":"b.png","md5sum":"m2"},)"
         R"({"enable":1,"level":1,"position":2,"fileName":"2_z.png","md5sum":"m1"}])"},
        {"missing keys not added", R"([{"position":2,"md5sum":"m1"}])", 2, "b.png",
         R"([{"position":2,"md5sum":"m2"}])"},
        {"no match", R"([{"position":3,"md5sum":"m1"}])", 2, "b.png", R"([{"position":3,"md5sum":"m1"}])"},
        {"not JSON", "[{", 2, "", "(null)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(text_of(json_utils_update_in_custom_resource_poster_array_by_position(c.array, c.position, "m2", 0, 7,
                                                                                       "t", "b", "e", c.file_name)),
                  c.expected);
    }
}

TEST(PosterArray, DeleteRemovesTheFirstEntryAtThePosition) {
    struct Case {
        const char* what;
        const char* array;
        int position;
        const char* expected;
    } cases[] = {
        {"first of two", R"([{"position":1},{"position":2,"a":1},{"position":2,"a":2}])", 2,
         R"([{"position":1},{"position":2,"a":2}])"},
        {"only entry", R"([{"position":2}])", 2, "[]"},
        {"no match", R"([{"position":1}])", 2, R"([{"position":1}])"},
        {"not JSON", "nope", 2, "(null)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(text_of(json_utils_delete_in_custom_resource_poster_array(c.array, c.position)), c.expected);
    }
}

TEST(PosterArray, ParseListAndFindMd5sum) {
    CustomResourcePosterParam* records = nullptr;
    int count = 0;
    ASSERT_EQ(json_utils_jsonstr_to_custom_resource_poster_param_array(kTwoPosters, &records, &count), 0);
    CText owned{reinterpret_cast<char*>(records)};
    ASSERT_EQ(count, 2);
    EXPECT_EQ(records[1].position, 12);
    EXPECT_EQ(records[1].level, 5);
    EXPECT_EQ(records[1].enable, 0u);
    EXPECT_STREQ(records[1].beginTime, "b");
    EXPECT_STREQ(records[1].md5sum, "m3");
    EXPECT_EQ(json_utils_jsonstr_to_custom_resource_poster_param_array("{", &records, &count), -2);
    EXPECT_EQ(json_utils_contains_md5sum_in_custom_resource_poster_param_array(kTwoPosters, "m3"), 0);
    EXPECT_EQ(json_utils_contains_md5sum_in_custom_resource_poster_param_array(kTwoPosters, "m2"), -8);
}

// ---- the handler without downloads ---------------------------------------------------------

class PosterHandler : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::use_service_dirs(dir_.path());
        g_flag_download_running = 0;
        res_ = dir_.path() + "/app/res/advertisement";
        // A "pgrep" that finds nothing: signal 99 must not reach payment-application stand-ins
        // of tests running beside this one.
        write_file(no_tools_ / "pgrep", "#!/bin/sh\nexit 1\n");
        chmod((no_tools_ / "pgrep").c_str(), 0755);
        const char* path = getenv("PATH");
        path_ = std::make_unique<testsupport::EnvVar>("PATH", no_tools_.path() + ":" + (path ? path : ""));
    }
    void TearDown() override {
        g_flag_download_running = 0;
        path_.reset();
    }

    // Runs the handler on `param` with the task file present; returns the result.
    int run(const std::string& param, MQTTAsync client = reinterpret_cast<MQTTAsync>(0x1)) {
        write_file(g_nimbo_cmd_file_path, "{\"cmd\":\"customResourcePoster\",\"taskId\":\"t1\"}\n");
        RequestCmd request = testsupport::request("customResourcePoster", param, "t1");
        memset(reply_, 0, sizeof reply_);
        reply_len_ = 0;
        return mqtt_cmd_deal_custom_resource_poster(client, &request, reply_, &reply_len_);
    }
    std::string reply() const { return std::string(reply_, static_cast<size_t>(reply_len_)); }
    std::string config() const { return read_file(res_ + "/config.json"); }
    void set_config(const std::string& text) { write_file(res_ + "/config.json", text + "\n"); }
    bool task_file() const { return exists(g_nimbo_cmd_file_path); }

    TempDir dir_;
    TempDir no_tools_;
    std::unique_ptr<testsupport::EnvVar> path_;
    std::string res_;
    char reply_[MQTT_DEAL_REPLY_SIZE];
    int reply_len_ = 0;
};

TEST_F(PosterHandler, DeleteWithoutListAnswersResourcesDoNotExist) {
    EXPECT_EQ(run(R"({"action":"delete","position":2,"md5sum":"m1","fileName":"a.png"})"), -10002);
    EXPECT_EQ(reply(), R"({"status":"2","failDes":"Resources do not exist","action":"delete"})");
    EXPECT_FALSE(task_file());
    EXPECT_FALSE(exists(res_ + "/config.json"));
    EXPECT_TRUE(exists(res_));  // the resource directory is created
}

TEST_F(PosterHandler, DeleteRemovesEntryAndFileOnlyWhenNamed) {
    struct Case {
        const char* what;
        const char* list;
        const char* param;
        const char* fail_des;
        const char* after;  // null: unchanged
        bool file_kept;
    } cases[] = {
        {"poster named", kTwoPosters, R"({"action":"delete","position":2,"md5sum":"m1","fileName":"a.png"})",
         "Delete ok",
         R"([{"enable":0,"level":5,"position":12,"beginTime":"b","type":"poster","fileName":"12_c.png","md5sum":"m3"}])",
         false},
        {"poster with another md5sum", kTwoPosters,
         R"({"action":"delete","position":2,"md5sum":"m9","fileName":"a.png"})", "Resources do not exist", nullptr,
         true},
        {"message by its position", R"([{"enable":1,"level":0,"position":2,"type":"message","sliderTitle":"hi"}])",
         R"({"action":"delete","position":2})", "Delete ok", "[]", true},
        {"stored name leaving the directory", R"([{"position":2,"fileName":"../2_a.png","md5sum":"m1"}])",
         R"({"action":"delete","position":2,"md5sum":"m1","fileName":"../2_a.png"})", "Delete ok", "[]", true},
        {"stored name with a slash", R"([{"position":2,"fileName":"sub/a.png","md5sum":"m1"}])",
         R"({"action":"delete","position":2,"md5sum":"m1","fileName":"sub/a.png"})", "Delete ok", "[]", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        set_config(c.list);
        write_file(res_ + "/2_a.png", "A");
        write_file(res_ + "/sub/a.png", "S");
        write_file(res_ + "/../2_a.png", "O");
        EXPECT_EQ(run(c.param), -10002);
        EXPECT_EQ(reply(), std::string(R"({"status":"2","failDes":")") + c.fail_des + R"(","action":"delete"})");
        EXPECT_EQ(config(), std::string(c.after ? c.after : c.list) + "\n");
        EXPECT_EQ(exists(res_ + "/2_a.png"), c.file_kept);
        EXPECT_TRUE(exists(res_ + "/sub/a.png"));
        EXPECT_EQ(read_file(res_ + "/../2_a.png"), "O");
        EXPECT_FALSE(task_file());
    }
}

TEST_F(PosterHandler, RepeatedPosterUpdatesTheEntryWithoutDownload) {
    set_config(kTwoPosters);
    write_file(res_ + "/12_c.png", "C");
    EXPECT_EQ(run(R"({"action":"add","type":"poster","position":12,"md5sum":"m3","fileName":"c.png","enable":true,)"
                  R"("level":9,"beginTime":"b2","endTime":"e2","sliderTitle":"s2","url":"http://x/c.png"})"),
              -10002);
    EXPECT_EQ(reply(), R"({"status":"2","failDes":"Update ok","action":"add"})");
    // "endTime" and "sliderTitle" were not held by the entry: not added.
    EXPECT_EQ(config(), std::string(R"([{"enable":1,"level":1,"position":2,"type":"poster","fileName":"2_a.png","md5sum":"m1"},)") +
                            R"({"enable":1,"level":9,"position":12,"beginTime":"b2","type":"poster","fileName":"12_c.png","md5sum":"m3"}])" +
                            "\n");
    EXPECT_EQ(read_file(res_ + "/12_c.png"), "C");
    EXPECT_FALSE(task_file());
    EXPECT_FALSE(exists(g_nimbo_download_path));
}

TEST_F(PosterHandler, RenameMovesTheFileUnlessTheNameIsTaken) {
    struct Case {
        const char* what;
        const char* file_name;
        const char* blocker;  // a file already in the directory, or null
        const char* stored_after;
    } cases[] = {
        {"free name", "b.png", nullptr, "b.png"},
        {"another entry's file", "12_c.png", nullptr, "2_a.png"},
        {"a foreign file", "b.png", "b.png", "2_a.png"},
        {"the list itself", "config.json", nullptr, "2_a.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir fresh;
        snprintf(g_device_app_path, sizeof g_device_app_path, "%s/app", fresh.path().c_str());
        res_ = fresh.path() + "/app/res/advertisement";
        set_config(kTwoPosters);
        write_file(res_ + "/2_a.png", "A");
        write_file(res_ + "/12_c.png", "C");
        if (c.blocker) write_file(res_ + "/" + c.blocker, "B");
        EXPECT_EQ(run(std::string(R"({"type":"poster","position":2,"md5sum":"m1","level":1,"enable":true,"fileName":")") +
                      c.file_name + R"("})"),
                  -10002);
        EXPECT_EQ(reply(), R"({"status":"2","failDes":"Update ok","action":""})");
        EXPECT_NE(config().find(std::string(R"("position":2,"type":"poster","fileName":")") + c.stored_after + "\""),
                  std::string::npos)
            << config();
        EXPECT_EQ(read_file(res_ + "/" + c.stored_after), "A");
        EXPECT_EQ(read_file(res_ + "/12_c.png"), "C");
        if (c.blocker) { EXPECT_EQ(read_file(res_ + "/" + c.blocker), "B"); }
        EXPECT_NE(read_file(res_ + "/config.json"), "A");
    }
}

TEST_F(PosterHandler, MessagesAreAppendedAndAnsweredAsFinished) {
    set_config(R"([{"enable":1,"level":0,"position":2,"type":"message","sliderTitle":"old"}])");
    EXPECT_EQ(run(R"({"type":"message","position":2,"enable":true,"sliderTitle":"new"})"), -10002);
    EXPECT_EQ(reply(), R"({"status":"2","failDes":"","action":""})");
    EXPECT_EQ(config(), std::string(R"([{"enable":1,"level":0,"position":2,"type":"message","sliderTitle":"old"},)") +
                            R"({"enable":1,"level":0,"position":2,"type":"message","sliderTitle":"new"}])" + "\n");
    EXPECT_FALSE(task_file());

    // A list that is not an array is replaced by a new one rather than blocking every change.
    set_config("garbage");
    EXPECT_EQ(run(R"({"type":"message","position":1,"sliderTitle":"hi"})"), -10002);
    EXPECT_EQ(config(), R"([{"enable":0,"level":0,"position":1,"type":"message","sliderTitle":"hi"}])"
                        "\n");
}

TEST_F(PosterHandler, ListLongerThanALineBufferIsReadWhole) {
    std::string list = "[";
    for (int i = 0; i < 60; ++i) {
        if (i) list += ",";
        list += R"({"enable":1,"level":0,"position":)" + std::to_string(i) +
                R"(,"type":"poster","sliderTitle":"a fairly long title","fileName":")" + std::to_string(i) +
                R"(_p.png","md5sum":"m)" + std::to_string(i) + "\"}";
    }
    list += "]";
    ASSERT_GT(list.size(), 3072u);
    set_config(list);
    write_file(res_ + "/59_p.png", "P");
    EXPECT_EQ(run(R"({"action":"delete","position":59,"md5sum":"m59","fileName":"p.png"})"), -10002);
    EXPECT_EQ(reply(), R"({"status":"2","failDes":"Delete ok","action":"delete"})");
    std::string expected = list.substr(0, list.rfind(",{")) + "]\n";
    EXPECT_EQ(config(), expected);
    EXPECT_FALSE(exists(res_ + "/59_p.png"));
}

TEST_F(PosterHandler, RefusalsLeaveTheListAlone) {
    std::string long_name(250, 'n');
    struct Case {
        const char* what;
        std::string param;
        int rc;
        const char* reply;
        bool task_file_kept;
    } cases[] = {
        {"empty file name", R"({"type":"poster","position":3,"fileName":"","url":"http://x/a"})", -2, "", false},
        {"dot", R"({"type":"poster","position":3,"fileName":".","url":"http://x/a"})", -2, "", false},
        {"dot dot", R"({"type":"poster","position":3,"fileName":"..","url":"http://x/a"})", -2, "", false},
        {"slash", R"({"type":"poster","position":3,"fileName":"../../etc/passwd","url":"http://x/a"})", -2, "",
         false},
        {"stored name too long", R"({"type":"poster","position":-1000,"fileName":")" + long_name +
                                     R"(","url":"http://x/a"})",
         -2, "", false},
        {"empty url", R"({"type":"poster","position":3,"fileName":"a.png","action":"add"})", -10002,
         R"({"status":"3","failDes":"Url is empty","action":"add"})", false},
        {"unknown type", R"({"type":"video","position":3})", -7, "", false},
        {"not JSON", "nope", -8, "", false},  // every refusal releases the task file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        set_config(kTwoPosters);
        EXPECT_EQ(run(c.param), c.rc);
        EXPECT_EQ(reply(), c.reply);
        EXPECT_EQ(config(), std::string(kTwoPosters) + "\n");
        EXPECT_EQ(task_file(), c.task_file_kept);
        EXPECT_FALSE(tasks::ledger().slot_held());
    }
}

TEST_F(PosterHandler, NoSecondDownloadWhileOneRunsOrIsStarting) {
    const char* param = R"({"type":"poster","position":3,"fileName":"a.png","url":"http://x/a"})";
    g_flag_download_running = 1;
    EXPECT_EQ(run(param), -10000);
    EXPECT_EQ(reply(), "");
    EXPECT_TRUE(task_file());
    EXPECT_FALSE(tasks::ledger().slot_held());

    // Another task's worker holds the slot, its download not yet started.
    g_flag_download_running = 0;
    RequestCmd other = testsupport::request("otaUpgrade", "{}", "t0");
    tasks::EntryPtr starting = tasks::ledger().claim(other, reinterpret_cast<MQTTAsync>(0x1));
    ASSERT_TRUE(starting);
    tasks::ledger().hand_to_worker(starting);
    EXPECT_EQ(run(param), -10000);
    EXPECT_EQ(reply(), "");
    EXPECT_TRUE(task_file());
    EXPECT_EQ(tasks::ledger().holder(), "t0");
    tasks::ledger().wait_for_restart(starting);  // leaves the slot
}

TEST_F(PosterHandler, MissingArgumentsRemoveTheTaskFile) {
    EXPECT_EQ(run(R"({"action":"delete"})", nullptr), -8);
    EXPECT_FALSE(task_file());
    EXPECT_EQ(run(""), -2);
    EXPECT_FALSE(task_file());
}

}  // namespace
