// No writer of the service or its libraries follows a link planted where its file belongs:
// files created or appended to are refused, files replaced atomically replace the link
// itself. Either way the link's target (outside the device root) keeps its content and
// one log line says why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "elog.h"
#include "hwlink.h"
#include "tasks/curl_utils.h"
#include "test_support.h"
#include "util/nimbo_utils.h"
#include "wpa_ctrl.h"

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

const char kPrecious[] = "precious\n";

bool is_link(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// os_daemonize in a child (it detaches): the detached process reports its result on a pipe.
int daemonize_in_child(const std::string& pid_file) {
    int fds[2];
    if (::pipe(fds) != 0) return -100;
    pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        int rc = os_daemonize(pid_file.c_str());
        ssize_t n = ::write(fds[1], &rc, sizeof rc);
        ::_exit(n == sizeof rc ? 0 : 1);
    }
    ::close(fds[1]);
    int rc = -100;
    if (::read(fds[0], &rc, sizeof rc) != sizeof rc) rc = -100;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return rc;
}

class Links : public testsupport::DeviceRootTest {
protected:
    TempDir outside_;
    std::string log_ = root_ / "log/test.log";
    std::string target_ = outside_ / "target";

    void SetUp() override {
        write_file(log_, "");
        ASSERT_EQ(init_easylogger(log_.c_str()), 0);
        write_file(target_, kPrecious);
    }
    void TearDown() override { deinit_easylogger(); }

    // Plants a link at `path` (parents created) to the target outside the root.
    void plant(const std::string& path, bool hard = false) {
        write_file(path, "");
        ::unlink(path.c_str());
        ASSERT_EQ(hard ? ::link(target_.c_str(), path.c_str()) : ::symlink(target_.c_str(), path.c_str()), 0);
    }
};

TEST_F(Links, PlantedLinksAreNeverWrittenThrough) {
    enum class Outcome { refused, replaced };
    struct Case {
        const char* writer;
        std::string path;  // where the link is planted
        bool hard;         // a second name of the target instead of a symbolic link
        std::function<bool(const std::string&)> write;  // the writer's own success
        Outcome outcome;
        const char* log;
    };
    const std::string order = root_ / "usr/data/app/Alipay/data/pay_code/o-17";
    const Case cases[] = {
        {"line file appended (device configuration)", root_ / "data/DEVCONFIG", false,
         [](const std::string& p) {
             nimbo_utils_write_line_to_file(p.c_str(), "volume=3", 1);
             return read_file(p).find("volume=3") != std::string::npos;
         },
         Outcome::refused, "is a symbolic link: not followed, nothing written"},
        {"line file appended over a second name", root_ / "data/DEVCONFIG2", true,
         [](const std::string& p) {
             nimbo_utils_write_line_to_file(p.c_str(), "volume=3", 1);
             return read_file(p).find("volume=3") != std::string::npos;
         },
         Outcome::refused, "is not a plain regular file: not followed, nothing written"},
        {"line file replaced (task file, device lock, geofence)", root_ / "data/task_cmd", false,
         [](const std::string& p) {
             nimbo_utils_write_line_to_file(p.c_str(), "{\"cmd\":\"apkUpgrade\"}", 0);
             return read_file(p) == "{\"cmd\":\"apkUpgrade\"}\n";
         },
         Outcome::replaced, "is a symbolic link: replaced by a file, not followed"},
        {"state file replaced atomically (backups, poster list)", root_ / "data/message_t-1", false,
         [](const std::string& p) { return nimbo::replace_file(p, "reply\n") && read_file(p) == "reply\n"; },
         Outcome::replaced, "is a symbolic link: replaced by a file, not followed"},
        {"payment order file", order, false,
         [](const std::string& p) {
             hwlink_ant_pay_deal(1, "{\"orderId\":\"o-17\",\"code\":\"9\"}");
             return read_file(p) == "{\"orderId\":\"o-17\",\"code\":\"9\"}\n";
         },
         Outcome::replaced, "is a symbolic link: replaced by a file, not followed"},
        {"download file", root_ / "download/tmp_app.zip", false,
         [](const std::string& p) {
             DownloadTask task{};
             snprintf(task.url, sizeof task.url, "http://127.0.0.1:9/tmp_app.zip");
             snprintf(task.file_path, sizeof task.file_path, "%s", p.c_str());
             task.expected_md5 = "";
             // Refused as a local write error (23), which ends the task at once.
             return curl_utils_download_file(&task, "key").code != 23;
         },
         Outcome::refused, "is a symbolic link: not followed, nothing written"},
        {"pid file of os_daemonize", root_ / "run/wpa.pid", false,
         [](const std::string& p) { return daemonize_in_child(p) == 0; }, Outcome::refused,
         "is a symbolic link: not followed, nothing written"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.writer);
        plant(c.path, c.hard);
        size_t log_before = read_file(log_).size();
        bool written = c.write(c.path);
        EXPECT_EQ(read_file(target_), kPrecious);
        if (c.outcome == Outcome::refused) {
            EXPECT_FALSE(written);
            EXPECT_EQ(is_link(c.path), !c.hard);
        } else {
            EXPECT_TRUE(written);
            EXPECT_FALSE(is_link(c.path));
        }
        std::string log = read_file(log_).substr(log_before);
        EXPECT_NE(log.find(c.path + " " + c.log), std::string::npos) << log;
    }
}

// The log file itself: refused, and the reason is written where records then go (stderr).
TEST_F(Links, LogFileLinkIsRefused) {
    std::string path = root_ / "log/nimbo_log.log";
    plant(path);
    testing::internal::CaptureStderr();
    int rc = init_easylogger(path.c_str());
    elog_output(ELOG_LVL_INFO, "test", nullptr, nullptr, 0, "after the refusal");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(read_file(target_), kPrecious);
    EXPECT_TRUE(is_link(path));
    EXPECT_NE(err.find("log file " + path + " is a symbolic link: not followed"), std::string::npos) << err;
    EXPECT_NE(err.find("after the refusal"), std::string::npos) << err;
}

}  // namespace
