// The long tasks: parameter parsers and builders, progress throttling, log upload names, and
// the handlers with their workers driven through a scripted environment.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "c_handles.hpp"
#include "commands/mqtt_cmd_deal.h"
#include "commands/mqtt_cmd_deal_tasks.h"
#include "json/json_utils_tasks.h"
#include "session/mqtt_logic.h"
#include "tasks/mqtt_cmd_deal_thread.h"
#include "tasks/mqtt_cmd_deal_thread_download.h"
#include "tasks/nimbo_workers.h"
#include "test_support.h"
#include "util/nimbo_globals.h"

using testsupport::DeviceRoot;
using testsupport::exists;
using testsupport::TempDir;
using testsupport::text_of;
using testsupport::write_file;

namespace {

// ---- parsers and builders ----------------------------------------------------------------

TEST(TaskJson, ApkParameterKeysAreTakenOnlyWithTheirTypes) {
    ApkUpgradeParam p;
    ASSERT_EQ(json_utils_jsonstr_to_apk_upgrade_param(
                  R"({"apkDownloadUrl":"http://h/a.zip","apkFileName":"a.zip","apkSize":"123456789012",
                      "apkVersion":"1.0","applicationName":"Shop","md5sum":"ab","autoStart":true,
                      "setKioskMode":false,"setLauncher":true,"progress":25})",
                  &p),
              0);
    EXPECT_STREQ(p.apkDownloadUrl, "http://h/a.zip");
    EXPECT_STREQ(p.apkFileName, "a.zip");
    EXPECT_EQ(p.apkSize, 123456789012ull);
    EXPECT_STREQ(p.apkVersion, "1.0");
    EXPECT_STREQ(p.applicationName, "Shop");
    EXPECT_STREQ(p.md5sum, "ab");
    EXPECT_EQ(p.autoStart, 1);
    EXPECT_EQ(p.setKioskMode, 0);
    EXPECT_EQ(p.setLauncher, 1);
    EXPECT_EQ(p.progress, 25);

    // Other JSON types leave the fields empty; keys are case-sensitive.
    ASSERT_EQ(json_utils_jsonstr_to_apk_upgrade_param(
                  R"({"apkDownloadUrl":5,"apkSize":77,"autoStart":"true","progress":"10","applicationname":"x"})", &p),
              0);
    EXPECT_STREQ(p.apkDownloadUrl, "");
    EXPECT_EQ(p.apkSize, 0u);
    EXPECT_EQ(p.autoStart, 0);
    EXPECT_EQ(p.progress, 0);
    EXPECT_STREQ(p.applicationName, "");

    // A size that is not a string of decimal digits of 64 bits is no size, never a part of
    // one or a huge one; the request itself stands.
    for (const char* size : {"-1", "12x", " 42", "18446744073709551616"}) {
        std::string text = std::string(R"({"apkSize":")") + size + "\"}";
        ASSERT_EQ(json_utils_jsonstr_to_apk_upgrade_param(text.c_str(), &p), 0) << size;
        EXPECT_EQ(p.apkSize, 0u) << size;
    }

    OtaUpgradeParam o;
    ASSERT_EQ(json_utils_jsonstr_to_ota_upgrade_param(
                  R"({"otaDownloadUrl":"u","otaVersion":"V2","packageName":"fw","md5sum":"m","otaSize":"42",
                      "semiSilent":"7","silentIns":true,"progress":5})",
                  &o),
              0);
    EXPECT_STREQ(o.otaDownloadUrl, "u");
    EXPECT_STREQ(o.packageName, "fw");
    EXPECT_EQ(o.otaSize, 42u);
    EXPECT_EQ(o.semiSilent, 7);
    EXPECT_EQ(o.silentIns, 1);
    EXPECT_EQ(o.progress, 5);
}

TEST(TaskJson, ValuesThatDoNotFitAreRefusedNeverCut) {
    const std::string long_url = "\"http://h/" + std::string(250, 'x') + "\"";
    struct Case {
        std::string text;
        int apk, ota, query, get;
    };
    const Case cases[] = {
        {"{\"apkDownloadUrl\":" + long_url + ",\"otaDownloadUrl\":" + long_url + ",\"fileType\":" + long_url +
             ",\"downloadFileUrl\":" + long_url + "}",
         -6, -6, -6, -6},
        // An escaped NUL would end the value early.
        {R"({"applicationName":"Sh\u0000op","packageName":"a\u0000","fileType":"lo\u0000g","filePath":"\u0000"})",
         -6, -6, -6, -6},
        // An escaped backslash followed by "u0000" is plain text.
        {R"({"applicationName":"Sh\\u0000op"})", 0, 0, 0, 0},
        {"not json", -2, -2, -2, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ApkUpgradeParam a;
        OtaUpgradeParam o;
        QueryLogParam q;
        GetLogParam g;
        EXPECT_EQ(json_utils_jsonstr_to_apk_upgrade_param(c.text.c_str(), &a), c.apk);
        EXPECT_EQ(json_utils_jsonstr_to_ota_upgrade_param(c.text.c_str(), &o), c.ota);
        EXPECT_EQ(json_utils_jsonstr_to_query_log_param(c.text.c_str(), &q), c.query);
        EXPECT_EQ(json_utils_jsonstr_to_get_log_param(c.text.c_str(), &g), c.get);
        if (c.apk != 0) {
            EXPECT_STREQ(a.apkDownloadUrl, "");
        }
    }
    EXPECT_EQ(json_utils_jsonstr_to_apk_upgrade_param("{}", nullptr), -2);
    EXPECT_EQ(json_utils_jsonstr_to_post_file_result("{}", nullptr), -2);
}

TEST(TaskJson, UploadAnswerKeepsItsVerdictWhateverItsLength) {
    struct Case {
        std::string text;
        int rc, success;
        const char* desc;
    };
    const Case cases[] = {
        {R"({"success":true,"desc":"ok","destination":")" + std::string(4000, 'd') + R"(","systime":"1"})", 0, 1,
         "ok"},
        {R"({"success":false,"desc":"disk full"})", 0, 0, "disk full"},
        {R"({"success":"true","desc":"not a boolean"})", 0, 0, "not a boolean"},
        {"<html>busy</html>", -8, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        PostFileResult r;
        EXPECT_EQ(json_utils_jsonstr_to_post_file_result(c.text.c_str(), &r), c.rc);
        EXPECT_EQ(r.success, c.success);
        EXPECT_STREQ(r.desc, c.desc);
    }
}

TEST(TaskJson, BuildersPrintTheirKeysInOrder) {
    EXPECT_EQ(text_of(json_utils_apkupgrade_param_to_jsonstr2("1", "10.52%", "2.0", "Shop")),
              R"({"status":"1","failDes":"10.52%","apkVersion":"2.0","applicationName":"Shop"})");
    EXPECT_EQ(text_of(json_utils_otaupgrade_param_to_jsonstr2("3", "x", "V2", "fw")),
              R"({"status":"3","failDes":"x","otaVersion":"V2","otaName":"fw"})");
    QueryLogParam q{};
    std::strcpy(q.status, "2");
    std::strcpy(q.fileType, "log");
    std::strcpy(q.queryType, "all");
    const char* names[] = {"dmesg.log", "app_log.tar.gz"};
    EXPECT_EQ(text_of(json_utils_query_log_param_to_jsonstr(&q, names, 2)),
              R"({"status":"2","failDes":"","fileType":"log","queryType":"all","res":["dmesg.log","app_log.tar.gz"]})");
    EXPECT_EQ(json_utils_query_log_param_to_jsonstr(&q, nullptr, 2), nullptr);
    GetLogParam g{};
    std::strcpy(g.status, "3");
    std::strcpy(g.filePath, "x/dmesg_1.log");
    EXPECT_EQ(text_of(json_utils_get_log_param_to_jsonstr(&g)),
              R"({"status":"3","failDes":"","fileType":"","filePath":"x/dmesg_1.log"})");
}

// ---- progress and log names ------------------------------------------------------------------

TEST(TaskProgress, StepThrottlesPercentagesOnly) {
    struct Case {
        uint32_t step;
        int last;
        const char* status;
        const char* text;
        bool due;
        int last_after;
    };
    const Case cases[] = {
        {10, 0, "1", "10.52%", true, 10},
        {10, 10, "1", "19.99%", false, 10},
        {10, 10, "1", "20.00%", true, 20},
        {0, 50, "1", "50.10%", true, 50},       // step 0: every report
        {100, 0, "1", "100.00%", false, 0},     // step 100: no percentages
        {100, 0, "1", "Installing", true, 0},   // stages always go
        {100, 0, "3", "50%", true, 0},          // failures always go
        {30, 90, "1", "3.00%", true, 3},        // started again from 0: unsigned difference
        {10, 0, "1", "about %", true, 0},       // no number: sent
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        g_download_last_progress = c.last;
        g_download_logic_retry_count = 4;
        EXPECT_EQ(tasks::progress_report_due(c.status, c.text, c.step), c.due);
        EXPECT_EQ(g_download_last_progress.load(), c.last_after);
        // A percentage means the resumed download advances: the attempts start over.
        bool percent = std::strcmp(c.status, "1") == 0 && std::strchr(c.text, '%') != nullptr;
        EXPECT_EQ(g_download_logic_retry_count.load(), percent ? 0 : 4);
    }
}

TEST(TaskLogPlan, TimeStampedNamesAndUploadUrl) {
    struct Case {
        const char* url;
        const char* path;
        bool ok;
        const char* file_path;
        const char* name;
        const char* upload_url;
        bool dmesg;
    };
    const Case cases[] = {
        {"http://s/up/", "x/dmesg.log", true, "x/dmesg_17.log", "dmesg_17.log", "http://s/up/x", true},
        {"http://s/up/", "app_log.tar.gz", true, "app_log_17.tar.gz", "app_log_17.tar.gz", "http://s/up", false},
        {"http://s/up", "/a/b/app_log.tar.gz", true, "/a/b/app_log_17.tar.gz", "app_log_17.tar.gz", "http://s/up/a/b",
         false},
        {"http://s/", "x/other.log", false, "", "", "", false},
        {"http://s/", "dmesg.log.bak", false, "", "", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        tasks::LogUpload plan;
        ASSERT_EQ(tasks::plan_log_upload(c.url, c.path, "17", &plan), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(plan.file_path, c.file_path);
        EXPECT_EQ(plan.name, c.name);
        EXPECT_EQ(plan.upload_url, c.upload_url);
        EXPECT_EQ(plan.dmesg, c.dmesg);
    }
}

TEST(TaskNames, ApplicationNamesThatAreNotFileNamesAreRefused) {
    for (const char* bad : {"", ".", "..", "a/b", "/x", "x/"}) EXPECT_FALSE(mqtt_cmd_deal_tasks::valid_application_name(bad)) << bad;
    for (const char* good : {"Shop", "Alipay", "my.app", "..x"}) EXPECT_TRUE(mqtt_cmd_deal_tasks::valid_application_name(good)) << good;
    EXPECT_FALSE(mqtt_cmd_deal_tasks::valid_application_name(nullptr));
    // Expected MD5 texts: empty means "no check"; otherwise 32 hex digits in either case.
    for (const char* good : {"", "0cc175b9c0f1b6a831c399e269772661", "0CC175B9C0F1B6A831C399E269772661"})
        EXPECT_TRUE(mqtt_cmd_deal_tasks::valid_md5_text(good)) << good;
    for (const char* bad : {"*", "0cc175b9c0f1b6a831c399e26977266", "0cc175b9c0f1b6a831c399e2697726610",
                            "0cc175b9c0f1b6a831c399e26977266g", "; rm -rf /", "0x0cc175b9c0f1b6a831c399e2697726"})
        EXPECT_FALSE(mqtt_cmd_deal_tasks::valid_md5_text(bad)) << bad;
}

// ---- handlers and workers --------------------------------------------------------------------

struct Reply {
    std::string param;
    int qos;
};

class Workers : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::use_service_dirs(dir_.path());
        write_file(dir_ / "app/nimboservice/data/.keep", "");
        write_file(dir_ / "app/nimboservice/download/.keep", "");
        write_file(dir_ / "root/tmp/.keep", "");
        root_ = std::make_unique<DeviceRoot>(dir_ / "root");
        g_flag_download_running = 0;

        env_.download = [this](DownloadTask task) {
            std::unique_lock<std::mutex> lock(mutex_);
            ++downloads_;
            download_urls_.push_back(task.url);
            cv_.notify_all();
            cv_.wait(lock, [this] { return !hold_download_; });
            if (download_rc_ == 0) write_file(task.file_path, "package");
            int rc = download_rc_;
            lock.unlock();
            // As the driver does: a failure is reported through the callback.
            if (rc == -8 && task.callback != nullptr) task.callback(task.callback_context, "3", "Download failed");
            return rc;
        };
        env_.install_app = [this](const char* package, const char* app_dir, const char* name, const char*, int, int,
                                  char* err, int* err_len) {
            installs_.push_back(std::string(package) + " " + app_dir + " " + name);
            if (install_rc_ == 0) return 0;
            std::memcpy(err, install_err_.data(), install_err_.size());
            *err_len = static_cast<int>(install_err_.size());
            return install_rc_;
        };
        env_.install_firmware = [this](const char* package, const char*, const char*, char* err, int* err_len) {
            installs_.push_back(package);
            if (install_rc_ == 0) return 0;
            std::memcpy(err, install_err_.data(), install_err_.size());
            *err_len = static_cast<int>(install_err_.size());
            return install_rc_;
        };
        env_.firmware_version = [this](char* out, int* len) {
            std::strcpy(out, firmware_.c_str());
            *len = static_cast<int>(firmware_.size());
            return 0;
        };
        env_.system_version = [this](char* out, int* len) {
            std::strcpy(out, system_.c_str());
            *len = static_cast<int>(system_.size());
            return 0;
        };
        env_.run = [this](const std::string& command) {
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(command);
            return 0;
        };
        env_.upload = [this](const char* url, const char* path, const char* name, std::string* answer) {
            std::lock_guard<std::mutex> lock(mutex_);
            uploads_.push_back(std::string(url) + " " + name + " " + (exists(path) ? "present" : "missing"));
            *answer = upload_answer_;
            return upload_result_;
        };
        env_.reply = [this](MQTTAsync, const char* cmd, const char*, const char* task_id, const char* param,
                            int qos) {
            std::lock_guard<std::mutex> lock(mutex_);
            EXPECT_STREQ(task_id, request_.taskId);
            EXPECT_STREQ(cmd, request_.cmd);
            replies_.push_back({param, qos});
            cv_.notify_all();
            return 0;
        };
        env_.connected = [this] { return connected_; };
        env_.republish = [this](MQTTAsync, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            republished_.push_back(text);
        };
        tasks::use_environment(&env_);
        mqtt_logic::install_publishers();  // the session's backup store of final replies
    }

    void TearDown() override {
        release_download();
        wait_idle();
        tasks::use_environment(nullptr);
    }

    int call(int (*handler)(MQTTAsync, const RequestCmd*, char*, int*), const char* cmd, const std::string& param,
             const char* task_id = "T1") {
        request_ = testsupport::request(cmd, param, task_id, "NB1");
        std::memset(out_, 0, sizeof out_);
        out_len_ = 0;
        return handler(client_, &request_, out_, &out_len_);
    }

    void release_download() {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_download_ = false;
        cv_.notify_all();
    }

    void wait_download_started() {
        std::unique_lock<std::mutex> lock(mutex_);
        ASSERT_TRUE(cv_.wait_for(lock, std::chrono::seconds(5), [this] { return downloads_ > 0; }));
    }

    // Until every worker has ended (and left its slot).
    void wait_idle() {
        ASSERT_TRUE(workers::wait_idle(std::chrono::seconds(5)));
        ASSERT_FALSE(tasks::ledger().slot_held());
    }

    void wait_replies(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        ASSERT_TRUE(cv_.wait_for(lock, std::chrono::seconds(5), [&] { return replies_.size() >= n; }))
            << "replies: " << replies_.size();
    }

    std::string task_file() const { return g_nimbo_cmd_file_path; }
    std::string package(const char* name) const { return std::string(g_nimbo_download_path) + "/" + name; }

    TempDir dir_;
    std::unique_ptr<DeviceRoot> root_;
    tasks::Environment env_ = tasks::production_environment();
    MQTTAsync client_ = reinterpret_cast<MQTTAsync>(0x1);
    RequestCmd request_{};
    char out_[MQTT_DEAL_REPLY_SIZE];
    int out_len_ = 0;

    std::mutex mutex_;
    std::condition_variable cv_;
    bool hold_download_ = false;
    int download_rc_ = 0;
    int downloads_ = 0;
    std::vector<std::string> download_urls_;
    int install_rc_ = 0;
    std::string install_err_;
    std::vector<std::string> installs_;
    std::string firmware_ = "V1", system_ = "S1";
    std::vector<std::string> commands_, uploads_, republished_;
    HttpResult upload_result_{};
    std::string upload_answer_ = R"({"success":true,"desc":"ok"})";
    std::vector<Reply> replies_;
    bool connected_ = true;
};

const std::string kApk =
    R"({"apkDownloadUrl":"http://h/files/shop.zip","apkVersion":"2.0","applicationName":"Shop","progress":100})";

TEST_F(Workers, ApkUpgradeRepliesInstallsAndCleansUp) {
    write_file(task_file(), "{\"cmd\":\"apkUpgrade\",\"taskId\":\"T1\"}\n");
    ASSERT_EQ(call(mqtt_cmd_deal_apkupgrade, "apkUpgrade", kApk), 0);
    EXPECT_STREQ(out_, R"({"status":"1","failDes":"","apkVersion":"2.0","applicationName":"Shop"})");
    EXPECT_EQ(out_len_, static_cast<int>(std::strlen(out_)));
    wait_replies(2);
    wait_idle();
    ASSERT_EQ(replies_.size(), 2u);
    EXPECT_EQ(replies_[0].param, R"({"status":"1","failDes":"Installing","apkVersion":"2.0","applicationName":"Shop"})");
    EXPECT_EQ(replies_[0].qos, 0);
    EXPECT_EQ(replies_[1].param, R"({"status":"2","failDes":"","apkVersion":"2.0","applicationName":"Shop"})");
    EXPECT_EQ(replies_[1].qos, 2);
    ASSERT_EQ(installs_.size(), 1u);
    EXPECT_EQ(installs_[0], package("tmp_app.zip") + " " + g_device_app_path + " Shop");
    EXPECT_FALSE(exists(package("tmp_app.zip")));
    EXPECT_FALSE(exists(task_file()));
}

// A task that resumes after a power loss during or after its installation is not downloaded or
// installed again; its final reply is produced once.
TEST_F(Workers, ApkInstalledBeforeARestartIsNotInstalledAgain) {
    const std::string journal = std::string(g_nimbo_data_path) + "/apk_install_journal";
    const std::string backup = std::string(g_nimbo_data_path) + "/message_T1";
    struct Case {
        const char* journal;
        bool package_left;   // the installer had not moved it yet
        bool reply_pending;  // the final reply's backup file is there
        size_t installs, replies;
    } cases[] = {
        {"installing T1\n", false, false, 0, 1},  // moved, no reply stored: "2" now
        {"installing T1\n", false, true, 0, 0},   // moved, reply stored: re-sent from its backup
        {"replied T1\n", false, false, 0, 0},     // everything done but the clean-up
        {"installing T1\n", true, false, 1, 2},   // not moved: the normal way ("Installing", "2")
        {"installing T9\n", false, false, 1, 2},  // another task's entry counts for nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.journal + std::string(c.package_left ? " package" : "") + (c.reply_pending ? " backup" : ""));
        replies_.clear();
        installs_.clear();
        write_file(journal, c.journal);
        if (c.package_left) write_file(package("tmp_app.zip"), "package");
        if (c.reply_pending) write_file(backup, "{}");
        write_file(task_file(), "{\"cmd\":\"apkUpgrade\",\"taskId\":\"T1\"}\n");
        ASSERT_EQ(call(mqtt_cmd_deal_apkupgrade, "apkUpgrade", kApk), 0);
        if (c.replies) wait_replies(c.replies);
        wait_idle();
        EXPECT_EQ(installs_.size(), c.installs);
        ASSERT_EQ(replies_.size(), c.replies);
        if (c.replies) {
            EXPECT_EQ(replies_.back().param,
                      R"({"status":"2","failDes":"","apkVersion":"2.0","applicationName":"Shop"})");
        }
        EXPECT_FALSE(exists(journal));
        EXPECT_FALSE(exists(task_file()));
        EXPECT_FALSE(exists(package("tmp_app.zip")));
        std::remove(backup.c_str());
    }
}

TEST_F(Workers, ApkOutcomesOfDownloadAndInstaller) {
    struct Case {
        int download_rc;
        int install_rc;
        std::string install_err;
        std::vector<std::string> texts;  // failDes of the worker's replies
        bool files_kept;
    };
    const Case cases[] = {
        {-10001, 0, "", {"The task is paused and restarted the next time connect to the server"}, true},
        {-10011, 0, "", {"The task is paused and restarted the next time connect to the server"}, true},
        {-8, 0, "", {"Download failed"}, false},  // the driver's reason
        {0, -8, "App install failed", {"Installing", "App install failed"}, false},
        {0, -8, "", {"Installing", "An unknown error occurred in application installation"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.download_rc * 100 + c.install_rc);
        replies_.clear();
        download_rc_ = c.download_rc;
        install_rc_ = c.install_rc;
        install_err_ = c.install_err;
        write_file(task_file(), "{\"cmd\":\"apkUpgrade\",\"taskId\":\"T1\"}\n");
        write_file(package("tmp_app.zip"), "part");
        ASSERT_EQ(call(mqtt_cmd_deal_apkupgrade, "apkUpgrade", kApk), 0);
        wait_idle();
        std::vector<std::string> texts;
        for (const Reply& r : replies_) {
            texts.push_back(r.param.substr(r.param.find("\"failDes\":\"") + 11,
                                           r.param.find("\",\"apkVersion") - r.param.find("\"failDes\":\"") - 11));
        }
        EXPECT_EQ(texts, c.texts);
        EXPECT_EQ(exists(task_file()), c.files_kept);
        EXPECT_EQ(exists(package("tmp_app.zip")), c.files_kept);
    }
}

TEST_F(Workers, RefusalsBeforeAnyWorkerStarts) {
    struct Case {
        std::string param;
        int rc;
        const char* reply;
    };
    const Case cases[] = {
        {"", -8, ""},
        {"not json", -8, ""},
        {R"({"apkDownloadUrl":""})", -10002, R"({"status":"3","failDes":"ApkDownloadUrl is empty"})"},
        {R"({"apkDownloadUrl":"http://h/a.zip","applicationName":".."})", -2, ""},
        {R"({"apkDownloadUrl":"http://h/a.zip","applicationName":"a/b"})", -2, ""},
        {R"({"apkDownloadUrl":"http://h/a.zip"})", -2, ""},  // no name to install under
        {R"({"apkDownloadUrl":"http://h/)" + std::string(95, 'n') + R"(.zip","applicationName":"A"})", -2, ""},
        {R"({"apkDownloadUrl":"http://h/)" + std::string(250, 'n') + R"(.zip","applicationName":"A"})", -2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.param);
        EXPECT_EQ(call(mqtt_cmd_deal_apkupgrade, "apkUpgrade", c.param), c.rc);
        EXPECT_STREQ(out_, c.reply);
    }
    EXPECT_EQ(downloads_, 0);
    EXPECT_EQ(call(mqtt_cmd_deal_apkupgrade, "apkUpgrade", kApk), 0);
    g_flag_download_running = 1;  // someone else's download
    wait_idle();
    EXPECT_EQ(call(mqtt_cmd_deal_apkupgrade, "apkUpgrade", kApk, "T2"), -10000);
    EXPECT_EQ(call(mqtt_cmd_deal_otaupgrade, "otaUpgrade", R"({"otaDownloadUrl":"http://h/f.zip"})", "T2"), -10000);
    g_flag_download_running = 0;
}

TEST_F(Workers, RedeliveryWhileTheWorkerStartsRunsNoSecondWorker) {
    hold_download_ = true;
    ASSERT_EQ(call(mqtt_cmd_deal_apkupgrade, "apkUpgrade", kApk), 0);
    const std::string first = tasks::ledger().holder();
    ASSERT_EQ(first, "T1");
    // Immediately, before the worker reached the driver, and again while it downloads.
    EXPECT_EQ(call(mqtt_cmd_deal_apkupgrade, "apkUpgrade", kApk), -10000);
    wait_download_started();
    EXPECT_EQ(call(mqtt_cmd_deal_apkupgrade, "apkUpgrade", kApk), -10000);
    EXPECT_EQ(tasks::ledger().holder(), first);
    release_download();
    wait_idle();
    EXPECT_EQ(downloads_, 1);
    ASSERT_EQ(replies_.size(), 2u);
    EXPECT_NE(replies_[1].param.find("\"status\":\"2\""), std::string::npos);
    EXPECT_TRUE(republished_.empty());  // finished: nothing to take up again
}

TEST_F(Workers, PausedWorkerTakesUpATaskWhoseDeliveryItRefused) {
    const std::string stored = R"({"cmd":"apkUpgrade","taskId":"T1","param":{}})";
    write_file(task_file(), stored + "\n");
    hold_download_ = true;
    download_rc_ = -10001;
    ASSERT_EQ(call(mqtt_cmd_deal_apkupgrade, "apkUpgrade", kApk), 0);
    wait_download_started();
    // The session came back while the attempt still ran: its re-delivery is refused.
    EXPECT_EQ(call(mqtt_cmd_deal_apkupgrade, "apkUpgrade", kApk), -10000);
    release_download();
    wait_idle();
    EXPECT_EQ(republished_, std::vector<std::string>{stored});

    // Without a refused delivery the next connection brings the task back by itself.
    republished_.clear();
    downloads_ = 0;
    ASSERT_EQ(call(mqtt_cmd_deal_apkupgrade, "apkUpgrade", kApk), 0);
    wait_idle();
    EXPECT_TRUE(republished_.empty());
}

// A server that sends the next task from inside the callback receiving the previous task's
// final reply: the final reply means the terminal is free, so every next task is admitted
// and accepted at once (none dropped, none left blocking in the task file).
TEST_F(Workers, NextTaskSentOnTheFinalReplyIsAdmitted) {
    constexpr int kRounds = 6;
    int sent = 0;
    std::vector<std::string> accepted, finals;
    env_.reply = [&](MQTTAsync client, const char*, const char*, const char* task_id, const char* param, int qos) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.push_back({param, qos});
        if (qos == 2) {
            finals.push_back(task_id);
            if (sent < kRounds) {
                const std::string id = "C" + std::to_string(++sent);
                const std::string next = R"({"cmd":"apkUpgrade","sn":"NB1","taskId":")" + id + R"(","param":)" + kApk + "}";
                mqtt_logic::Outcome o = mqtt_logic::dispatch(client, next.c_str(), mqtt_cmd_deal::command_table());
                if (o.kind == mqtt_logic::Outcome::Kind::param && o.param.find(R"("status":"1")") != std::string::npos)
                    accepted.push_back(id);
            }
        }
        cv_.notify_all();
        return 0;
    };
    const std::string first = R"({"cmd":"apkUpgrade","sn":"NB1","taskId":"C0","param":)" + kApk + "}";
    mqtt_logic::Outcome o = mqtt_logic::dispatch(client_, first.c_str(), mqtt_cmd_deal::command_table());
    ASSERT_EQ(o.kind, mqtt_logic::Outcome::Kind::param);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(10), [&] { return finals.size() > kRounds || sent > static_cast<int>(accepted.size()); });
    }
    wait_idle();
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(accepted, (std::vector<std::string>{"C1", "C2", "C3", "C4", "C5", "C6"}));
    EXPECT_EQ(finals, (std::vector<std::string>{"C0", "C1", "C2", "C3", "C4", "C5", "C6"}));
    EXPECT_FALSE(exists(task_file()));
}

const std::string kOta = R"({"otaDownloadUrl":"http://h/files/fw.zip","otaVersion":"V2","packageName":"fw"})";

TEST_F(Workers, OtaInstallWaitsForTheRestartWithTheTaskFile) {
    struct Case {
        int install_rc;
        std::string err;
        const char* last;
        bool task_kept;
    };
    const Case cases[] = {
        {0, "", R"({"status":"1","failDes":"Installation successful, waiting for restart","otaVersion":"V2","otaName":"fw"})",
         true},
        {-8, "Upgrade failed[30]", R"({"status":"3","failDes":"Upgrade failed[30]","otaVersion":"V2","otaName":"fw"})",
         false},
        {-8, "", R"({"status":"3","failDes":"An unknown error occurred in OTA installation","otaVersion":"V2","otaName":"fw"})",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.last);
        replies_.clear();
        install_rc_ = c.install_rc;
        install_err_ = c.err;
        write_file(task_file(), "{\"cmd\":\"otaUpgrade\",\"taskId\":\"T1\"}\n");
        ASSERT_EQ(call(mqtt_cmd_deal_otaupgrade, "otaUpgrade", kOta), 0);
        EXPECT_STREQ(out_, R"({"status":"1","failDes":"","otaVersion":"V2","otaName":"fw"})");
        wait_idle();
        ASSERT_EQ(replies_.size(), 2u);
        EXPECT_EQ(replies_[1].param, c.last);
        EXPECT_EQ(replies_[1].qos, c.install_rc == 0 ? 0 : 2);
        EXPECT_EQ(exists(task_file()), c.task_kept);
        EXPECT_FALSE(exists(package("tmp_update.zip")));
    }
}

TEST_F(Workers, OtaResultIsJudgedFromTheRecordedVersion) {
    struct Case {
        const char* record;
        const char* reply;
    };
    const Case cases[] = {
        {"V1\n", R"({"status":"3","failDes":"Version not changed"})"},
        {"V0.9\n", R"({"status":"2","failDes":"100%"})"},
        {"V1.0\n", R"({"status":"2","failDes":"100%"})"},
        {"S1\ntype=oem\n", R"({"status":"3","failDes":"Version not changed"})"},
        {"V1\ntype=oem\n", R"({"status":"2","failDes":"100%"})"},
        {"V1\nxtype=oem\n", R"({"status":"3","failDes":"Version not changed"})"},
    };
    const std::string record = std::string(g_nimbo_data_path) + "/ota_old_version";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        write_file(record, c.record);
        write_file(task_file(), "{\"cmd\":\"otaUpgrade\",\"taskId\":\"T1\"}\n");
        EXPECT_EQ(call(mqtt_cmd_deal_otaupgrade, "otaUpgrade", kOta), -10002);
        EXPECT_STREQ(out_, c.reply);
        EXPECT_FALSE(exists(record));
        EXPECT_FALSE(exists(task_file()));
    }
    EXPECT_EQ(downloads_, 0);

    // Installed, not restarted yet: nothing is judged and nothing answered.
    write_file(record, "V1\n");
    write_file(dir_ / "root/tmp/ota_old_version", "V1\n");
    EXPECT_EQ(call(mqtt_cmd_deal_otaupgrade, "otaUpgrade", kOta), -10000);
    EXPECT_STREQ(out_, "");
    EXPECT_TRUE(exists(record));
    EXPECT_EQ(call(mqtt_cmd_deal_otaupgrade, "otaUpgrade", R"({"otaDownloadUrl":""})"), -10000);
}

// The first bytes of an upload answer, as the upload keeps them.
std::string head(std::string answer) {
    answer.resize(tasks::kUploadAnswerMax);
    return answer;
}

TEST_F(Workers, LogUploadCollectsUploadsAndReportsTheAnswer) {
    struct Case {
        const char* path;
        int code;
        std::string answer;
        const char* status;
        const char* fail_des;
    };
    const Case cases[] = {
        {"x/dmesg.log", 0, R"({"success":true,"destination":")" + std::string(5000, 'd') + "\"}", "2", ""},
        {"app_log.tar.gz", 0, R"({"success":false,"desc":"disk full"})", "3", "disk full"},
        {"x/dmesg.log", 0, "not json", "3", ""},
        {"x/dmesg.log", 7, "", "3", "CURL Error[7: Couldn't connect to server]"},
        // Answers longer than the kept size arrive as their first bytes; the members that
        // arrived whole decide.
        {"x/dmesg.log", 0, head(R"({"success":true,"desc":"ok","destination":")" + std::string(100000, 'd')), "2", ""},
        {"app_log.tar.gz", 0, head(R"( { "desc" : "quota", "success" : false , "destination":")" + std::string(100000, 'd')),
         "3", "quota"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        replies_.clear();
        commands_.clear();
        uploads_.clear();
        upload_result_ = HttpResult{};
        upload_result_.code = c.code;
        if (c.code != 0) std::snprintf(upload_result_.message, sizeof upload_result_.message, "%s", c.fail_des);
        upload_answer_ = c.answer;
        std::string param = std::string(R"({"downloadFileUrl":"http://s/up/","filePath":")") + c.path +
                            R"(","fileType":"log"})";
        ASSERT_EQ(call(mqtt_cmd_deal_capture_log_get, "getLog", param), 0);
        EXPECT_EQ(std::string(out_),
                  std::string(R"({"status":"1","failDes":"","fileType":"log","filePath":")") + c.path + "\"}");
        wait_replies(1);
        wait_idle();
        std::lock_guard<std::mutex> lock(mutex_);
        ASSERT_EQ(uploads_.size(), 1u);
        bool dmesg = std::strstr(c.path, "dmesg") != nullptr;
        EXPECT_EQ(uploads_[0].rfind(dmesg ? "http://s/up/x dmesg_" : "http://s/up app_log_", 0), 0u) << uploads_[0];
        // The log folder is archived in-process; only the kernel log needs a command.
        ASSERT_EQ(commands_.size(), dmesg ? 1u : 0u);
        if (dmesg) {
            EXPECT_EQ(commands_[0].rfind("dmesg > ", 0), 0u) << commands_[0];
        }
        const std::string& reply = replies_[0].param;
        EXPECT_NE(reply.find(std::string("\"status\":\"") + c.status + "\",\"failDes\":\"" + c.fail_des +
                             "\",\"fileType\":\"\""),
                  std::string::npos)
            << reply;
    }
}

TEST_F(Workers, LogCommandsRefusedBeforeAnyWorker) {
    struct Case {
        std::string param;
        int rc;
        const char* reply;
    };
    const Case cases[] = {
        {R"({"downloadFileUrl":"","filePath":"dmesg.log","fileType":"log"})", 0,
         R"({"status":"3","failDes":"DownloadFileUrl or filePath is empty"})"},
        {R"({"downloadFileUrl":"u","filePath":"dmesg.log"})", -2, ""},
        {R"({"downloadFileUrl":"u","filePath":"dmesg.log","fileType":"txt"})", -7, ""},
        {R"({"downloadFileUrl":"u","filePath":"x/y.log","fileType":"log"})", -2, ""},
        {R"({"downloadFileUrl":"u","filePath":")" + std::string(240, 'p') + R"(dmesg.log","fileType":"log"})", -2, ""},
        {"[1", -8, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.param);
        EXPECT_EQ(call(mqtt_cmd_deal_capture_log_get, "getLog", c.param), c.rc);
        EXPECT_STREQ(out_, c.reply);
    }
    EXPECT_EQ(mqtt_cmd_deal_capture_log_query(R"({"fileType":"log","queryType":"q"})", out_, &out_len_), 0);
    EXPECT_STREQ(out_, R"({"status":"2","failDes":"","fileType":"log","queryType":"q","res":["dmesg.log","app_log.tar.gz"]})");
    EXPECT_EQ(mqtt_cmd_deal_capture_log_query(R"({"fileType":"apk"})", out_, &out_len_), -7);
    EXPECT_EQ(mqtt_cmd_deal_capture_log_query("x", out_, &out_len_), -8);
    EXPECT_EQ(mqtt_cmd_deal_capture_log_query("{}", nullptr, &out_len_), -8);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(uploads_.empty());
}

}  // namespace

// ---- the counted launcher ------------------------------------------------------------

namespace {
std::mutex g_gate_mutex;
std::condition_variable g_gate_cv;
bool g_gate_open = false;

void held_worker() {
    std::unique_lock<std::mutex> lock(g_gate_mutex);
    g_gate_cv.wait(lock, [] { return g_gate_open; });
}

void open_gate(bool open) {
    std::lock_guard<std::mutex> lock(g_gate_mutex);
    g_gate_open = open;
    g_gate_cv.notify_all();
}
}  // namespace

TEST(Launcher, CeilingPerKindThenFreedWhenWorkersEnd) {
    ASSERT_EQ(workers::running(), 0);
    open_gate(false);
    for (int i = 0; i < workers::kPerKind; ++i)
        EXPECT_TRUE(workers::start(workers::Kind::server_switch, held_worker));
    EXPECT_FALSE(workers::start(workers::Kind::server_switch, held_worker));
    EXPECT_TRUE(workers::start(workers::Kind::log_upload, held_worker));  // each kind has its own
    EXPECT_EQ(workers::running(workers::Kind::server_switch), workers::kPerKind);
    EXPECT_EQ(workers::running(), workers::kPerKind + 1);
    EXPECT_FALSE(workers::wait_idle(std::chrono::milliseconds(20)));
    open_gate(true);
    ASSERT_TRUE(workers::wait_idle(std::chrono::seconds(10)));
    EXPECT_TRUE(workers::start(workers::Kind::server_switch, held_worker));
    EXPECT_TRUE(workers::wait_idle(std::chrono::seconds(10)));
}

TEST(Launcher, SleepWakesWhenTheServiceStops) {
    EXPECT_TRUE(workers::sleep_for(std::chrono::milliseconds(1)));
    bool result = true;
    std::thread sleeper([&] { result = workers::sleep_for(std::chrono::seconds(60)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    g_run_flag = 0;
    workers::request_stop();
    sleeper.join();  // hangs for a minute when the stop does not wake it
    g_run_flag = 1;
    EXPECT_FALSE(result);
}
