// The folders the service writes under: opened component by component without following a
// link, held, and changed only relative to their handles. A link planted in place of any
// of them sends nothing into the folder it names: the writer is refused with a log line and
// its command fails.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "c_handles.hpp"
#include "commands/mqtt_cmd_deal.h"
#include "commands/mqtt_cmd_deal_poster.h"
#include "device/nimbo_utils_devlock.h"
#include "elog.h"
#include "hwlink.h"
#include "session/mqtt_logic.h"
#include "tasks/curl_utils.h"
#include "tasks/nimbo_utils_task.h"
#include "test_support.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

using testsupport::exists;
using testsupport::read_file;
using testsupport::snapshot;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

// A long task's handler that only counts its calls (the dispatcher's task file is the subject).
int g_task_calls = 0;
int counting_handler(MQTTAsync, const RequestCmd*, char*, int*) {
    ++g_task_calls;
    return 0;
}
const mqtt_cmd_deal::Command kTaskRows[] = {{"apkUpgrade", mqtt_cmd_deal::Gate::task, counting_handler}};
const mqtt_cmd_deal::Table kTaskTable{kTaskRows, 1};

// A long task through the dispatcher: -8 when it was answered "3" "Operation failed" without
// running, 0 when its handler ran.
int dispatch_task(const char* task_id) {
    int before = g_task_calls;
    std::string text = std::string(R"({"cmd":"apkUpgrade","taskId":")") + task_id + R"(","param":{}})";
    mqtt_logic::Outcome o = mqtt_logic::dispatch(nullptr, text.c_str(), kTaskTable);
    if (o.kind == mqtt_logic::Outcome::Kind::result && o.status == "3" && o.fail_des == "Operation failed" &&
        g_task_calls == before)
        return -8;
    return g_task_calls > before ? 0 : -1;
}

bool is_link(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}


// ---- every folder the service writes under -------------------------------------------------

class LinkedFolders : public testsupport::DeviceRootTest {
protected:
    TempDir outside_;
    std::string data_root_ = root_ / "usr/data";
    std::string log_ = root_ / "testlog/test.log";
    sigset_t old_mask_;

    void SetUp() override {
        testsupport::use_service_dirs(data_root_);
        write_file(log_, "");
        ASSERT_EQ(init_easylogger(log_.c_str()), 0);
        write_file(data_root_ + "/config/DEVSTATE", "bindState=1\nlockState=0\n");
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, &old_mask_);
        ASSERT_EQ(timer_create(CLOCK_REALTIME, nullptr, &g_devlock_timer_id), 0);
        g_devlock_target_state = -1;
    }
    void TearDown() override {
        timer_delete(g_devlock_timer_id);
        pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
        deinit_easylogger();
    }
};

enum class Kind { link_to_empty_folder, link_to_other_programs_folder };

TEST_F(LinkedFolders, NothingIsWrittenIntoTheFolderALinkNames) {
    struct Row {
        const char* what;
        std::string folder;                // where the link is planted
        std::function<int()> act;          // the command or step that needs the folder
        int outcome;                       // its result
        std::function<void()> prepare;     // files the step needs besides the folder
    };
    std::string download = g_nimbo_download_path, cache = g_nimbo_cache_path, data = g_nimbo_data_path;
    std::string app = g_device_app_path;
    std::string order = data_root_ + "/app/Alipay/data/pay_code";
    std::string poster_dir = mqtt_cmd_deal_poster::resource_dir();
    auto reply = [](const char* cmd, const std::string& param,
                    int (*handler)(MQTTAsync, const RequestCmd*, char*, int*)) {
        RequestCmd req = testsupport::request(cmd, param, "t-9");
        char out[MQTT_DEAL_REPLY_SIZE] = {0};
        int len = 0;
        return handler(reinterpret_cast<MQTTAsync>(0x1), &req, out, &len);
    };
    const Row rows[] = {
        {"start-up clean-up of the cache folder", cache,
         [&] {
             nimbo_utils_clear_directory(cache.c_str());
             return nimbo_utils_ensure_directory_exists(cache.c_str());
         },
         -1, nullptr},
        {"download file tmp_app.zip", download,
         [&] {
             DownloadTask task{};
             snprintf(task.url, sizeof task.url, "http://127.0.0.1:9/tmp_app.zip");
             snprintf(task.file_path, sizeof task.file_path, "%s/tmp_app.zip", download.c_str());
             task.expected_md5 = "";
             return curl_utils_download_file(&task, "key").code;  // 23: a local write error ends the task
         },
         23, nullptr},
        {"finished_tasks in the data folder", data,
         [&] { return nimbo::record_finished_task(nimbo::finished_tasks_path(), "t-1") ? 0 : -8; }, -8, nullptr},
        {"task file in the data folder", data, [&] { return dispatch_task("t-2"); }, -8, nullptr},
        {"devLock state in the data folder", data,
         [&] { return reply("devLock", R"({"lockType":"1"})", mqtt_cmd_deal_devlock); }, -8, nullptr},
        {"geofence in the data folder", data,
         [&] {
             return reply("geofence", R"({"geofenceCoordinates":"120.1,30.2","geofenceRadius":"100"})",
                          mqtt_cmd_deal_lbs_geofence);
         },
         -8, nullptr},
        {"log file in the log folder", data_root_ + "/log",
         [&] {
             std::string dir = data_root_ + "/log";
             int made = nimbo_utils_ensure_directory_exists(dir.c_str());
             int rc = init_easylogger((dir + "/nimbo_log.log").c_str());
             init_easylogger(log_.c_str());
             return made == -1 && rc == -1 ? -1 : 0;
         },
         -1, nullptr},
        {"pay code in the payment order folder", order,
         [&] { return hwlink_ant_pay_deal(1, R"({"orderId":"o-17","code":"9"})"); }, -8, nullptr},
        {"installed package in the installed-packages folder", app + "/download",
         [&] {
             char err[256] = {0};
             int len = 0;
             return hwlink_install_app((download + "/shop.zip").c_str(), app.c_str(), "shop", "1", 0, 0, err, &len);
         },
         -8, [&] { write_file(download + "/shop.zip", "zip"); }},
        {"config.json in the poster folder", poster_dir,
         [&] {
             return reply("customResourcePoster", R"({"type":"message","position":1,"sliderTitle":"hi"})",
                          mqtt_cmd_deal_custom_resource_poster);
         },
         -8, nullptr},
        {"parent of the data, download and cache folders", app + "/nimboservice",
         [&] { return nimbo_utils_ensure_directory_exists(data.c_str()); }, -1, nullptr},
    };
    int n = 0;
    for (Kind kind : {Kind::link_to_empty_folder, Kind::link_to_other_programs_folder}) {
        for (const Row& row : rows) {
            bool other = kind == Kind::link_to_other_programs_folder;
            SCOPED_TRACE(std::string(row.what) + (other ? " (another program's folder)" : " (an empty folder)"));
            std::string target = outside_ / ("target" + std::to_string(++n));
            write_file(target + "/.keep", "");
            ::unlink((target + "/.keep").c_str());
            if (other) {
                write_file(target + "/keep.txt", "precious\n");
                write_file(target + "/sub/deep.txt", "precious\n");
                write_file(target + "/tmp_app.zip", "their bytes");
            }
            std::string before = snapshot(target);
            write_file(row.folder + "/.keep", "");
            ASSERT_EQ(std::system(("rm -rf '" + row.folder + "'").c_str()), 0);
            ASSERT_EQ(::symlink(target.c_str(), row.folder.c_str()), 0);
            if (row.prepare) row.prepare();
            size_t log_before = read_file(log_).size();
            testing::internal::CaptureStderr();
            int outcome = row.act();
            std::string err = testing::internal::GetCapturedStderr();
            std::string log = read_file(log_).substr(log_before) + err;

            EXPECT_EQ(outcome, row.outcome);
            EXPECT_EQ(snapshot(target), before);
            EXPECT_TRUE(is_link(row.folder));
            EXPECT_NE(log.find(row.folder + " is a symbolic link: folder refused, nothing followed"), std::string::npos)
                << log;
            ::unlink(row.folder.c_str());
        }
    }
}

// ---- a hard link at a state file -----------------------------------------------------------

TEST_F(LinkedFolders, StateFilesWithASecondNameAreIgnored) {
    std::string other = outside_ / "their-file";
    write_file(other, "{\"cmd\":\"apkUpgrade\",\"taskId\":\"theirs\"}\n");
    write_file(std::string(g_nimbo_data_path) + "/.keep", "");
    ASSERT_EQ(::link(other.c_str(), g_nimbo_cmd_file_path), 0);
    std::string text;
    EXPECT_FALSE(nimbo::read_task_command(g_nimbo_cmd_file_path, &text));
    EXPECT_EQ(text, "");
    std::string devlock = std::string(g_nimbo_data_path) + "/devlock_state";
    std::string locked = outside_ / "locked";
    write_file(locked, "1\n");
    ASSERT_EQ(::link(locked.c_str(), devlock.c_str()), 0);
    EXPECT_EQ(nimbo_utils_get_devlock_state(), 0);
    EXPECT_NE(read_file(log_).find(std::string(g_nimbo_cmd_file_path) + " is not a plain regular file: ignored"),
              std::string::npos);
}

// ---- a full partition ---------------------------------------------------------------------

// A 64 KiB file system for the data folder (root only; skipped elsewhere).
class FullPartition : public LinkedFolders {
protected:
    bool mounted_ = false;
    void SetUp() override {
        LinkedFolders::SetUp();
        write_file(std::string(g_nimbo_data_path) + "/.keep", "");
        if (::mount("nimbo-full", g_nimbo_data_path, "tmpfs", 0, "size=64k") != 0)
            GTEST_SKIP() << "no tmpfs mount here: " << strerror(errno);
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) ::umount2(g_nimbo_data_path, MNT_DETACH);
        LinkedFolders::TearDown();
    }
    void fill() {
        std::string filler = std::string(g_nimbo_data_path) + "/filler";
        int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        std::string block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
    }
};

TEST_F(FullPartition, AStateThatWasNotStoredFailsItsCommand) {
    std::string data = g_nimbo_data_path;
    write_file(data + "/devlock_state", "0\n");
    write_file(data + "/lbs_geofence", "{\"old\":1}\n");
    fill();
    auto run = [](const char* cmd, const std::string& param, int (*handler)(MQTTAsync, const RequestCmd*, char*, int*)) {
        RequestCmd req = testsupport::request(cmd, param, "t-1");
        char out[MQTT_DEAL_REPLY_SIZE] = {0};
        int len = 0;
        return handler(reinterpret_cast<MQTTAsync>(0x1), &req, out, &len);
    };
    // -8: the dispatcher answers status "3" with "Operation failed".
    EXPECT_EQ(run("devLock", R"({"lockType":"1"})", mqtt_cmd_deal_devlock), -8);
    EXPECT_EQ(run("geofence", R"({"geofenceCoordinates":"120.1,30.2","geofenceRadius":"100"})",
                  mqtt_cmd_deal_lbs_geofence),
              -8);
    // Nothing torn: the old states are whole and no temporary is left.
    EXPECT_EQ(read_file(data + "/devlock_state"), "0\n");
    EXPECT_EQ(read_file(data + "/lbs_geofence"), "{\"old\":1}\n");
    EXPECT_EQ(g_devlock_target_state.load(), -1);
    // A long task that could not be recorded does not start.
    EXPECT_EQ(dispatch_task("t-full"), -8);
    EXPECT_FALSE(exists(g_nimbo_cmd_file_path));
    // An append that does not fit leaves no part of its line.
    nimbo_utils_write_line_to_file((data + "/appended").c_str(), std::string(8192, 'a').c_str(), 1);
    EXPECT_EQ(read_file(data + "/appended"), "");
    std::string names = "\n" + snapshot(data);
    EXPECT_EQ(names.find("\n."), std::string::npos) << names;
    EXPECT_NE(read_file(log_).find("Error writing to file"), std::string::npos);

    // The library's line-file helpers keep their signature and behaviour (nothing to report).
    nimbo_utils_write_line_to_file((data + "/devlock_state").c_str(), "1", 0);
    EXPECT_EQ(read_file(data + "/devlock_state"), "0\n");
}

}  // namespace
