// The download driver's decisions, driven with a scripted transfer, sleeper and session flag.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "sim_server.h"
#include "tasks/crypto_utils.h"
#include "tasks/mqtt_cmd_deal_thread_download.h"
#include "test_support.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

std::vector<std::pair<std::string, std::string>> g_reports;
void record(void*, const char* status, const char* message) { g_reports.emplace_back(status, message); }

// One scripted attempt: the transfer's result, and what it leaves in the file.
struct Step {
    int code;
    long status;
    std::string append;  // bytes the attempt writes
};

HttpResult result_of(int code, long status) {
    HttpResult r{};
    r.code = code;
    r.http_status = code == 0 ? status : 0;
    if (code != 0) std::snprintf(r.message, sizeof r.message, "CURL Error[%d: %s]", code, curlcode_to_strerror(code));
    return r;
}

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        g_reports.clear();
        testsupport::set_path(g_nimbo_download_path, dir_.path());
        testsupport::set_path(g_device_userdata_path, dir_.path());
        g_flag_download_running = 0;
        env_.transfer = [this](DownloadTask* task, const char* key) {
            EXPECT_STREQ(key, CURL_UTILS_DOWNLOAD_KEY);
            EXPECT_FALSE(steps_.empty()) << "more attempts than scripted";
            if (steps_.empty()) return result_of(0, 404);
            Step s = steps_.front();
            steps_.pop_front();
            ++transfers_;
            offsets_.push_back(read_file(task->file_path).size());
            if (!s.append.empty()) {
                std::string have = read_file(task->file_path);
                write_file(task->file_path, have + s.append);
            }
            flag_during_transfer_ = g_flag_download_running.load();
            return result_of(s.code, s.status);
        };
        env_.sleep = [this](unsigned seconds) { sleeps_.push_back(seconds); };
        env_.mqtt_connected = [this] { return connected_; };
        env_.directory_size = [this](const char*) { return used_; };
        env_.check_free_space = [this](const char*, uint64_t threshold) {
            thresholds_.push_back(threshold);
            return space_ok_ ? 0 : -8;
        };
    }

    int run(const std::string& md5 = "") {
        md5_ = md5;
        DownloadTask task;
        EXPECT_EQ(curl_utils_download_task_init(&task, "http://127.0.0.1:1/files/pkg.zip", path_.c_str(), record, nullptr,
                                                content_.size(), md5_.c_str()),
                  0);
        int rc = download::run(task, env_);
        EXPECT_EQ(g_flag_download_running.load(), rc == -10011 ? 1 : 0);
        return rc;
    }

    std::string md5_of(const std::string& text) {
        char hex[33];
        crypto_utils_generate_md5_hex_for_string(text.c_str(), hex);
        return hex;
    }

    TempDir dir_;
    std::string path_ = dir_ / "tmp_app.zip";
    std::string content_ = std::string(3000, 'p') + "end";
    std::string md5_;
    download::Environment env_;
    std::deque<Step> steps_;
    std::vector<unsigned> sleeps_;
    std::vector<uint64_t> thresholds_;
    std::vector<size_t> offsets_;
    int transfers_ = 0;
    unsigned char flag_during_transfer_ = 0;
    bool connected_ = true;
    bool space_ok_ = true;
    uint64_t used_ = 0;
};

}  // namespace

TEST_F(Driver, TransportFailuresAreRetriedWithTheirDelays) {
    struct Row {
        int code;
        unsigned delay;
    };
    const Row rows[] = {{1, 10}, {35, 10}, {53, 10}, {54, 10}, {60, 10}, {6, 60},
                        {7, 60}, {28, 15}, {18, 60}, {56, 60}, {33, 60}, {63, 60}, {97, 60}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        sleeps_.clear();
        g_reports.clear();
        steps_ = {{row.code, 0, ""}, {0, 200, ""}};
        EXPECT_EQ(run(), 0);
        EXPECT_EQ(sleeps_, std::vector<unsigned>{row.delay});
        EXPECT_TRUE(g_reports.empty());
    }
    EXPECT_EQ(flag_during_transfer_, 1);
}

TEST_F(Driver, HardFailuresEndAtOnce) {
    struct Row {
        int code;
        long status;
        std::string reason;
    };
    const Row rows[] = {
        {23, 0, "CURL Error[23: Failed writing received data to disk/application]"},
        {3, 0, "CURL Error[3: URL using bad/illegal format or missing URL]"},
        {0, 401, "Download failed[HTTP401], task end."},
        {0, 403, "Download failed[HTTP403], task end."},
        {0, 404, "Download failed[HTTP404], task end."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        g_reports.clear();
        sleeps_.clear();
        steps_ = {{row.code, row.status, ""}};
        EXPECT_EQ(run(), -8);
        EXPECT_TRUE(sleeps_.empty());
        ASSERT_EQ(g_reports.size(), 1u);
        EXPECT_EQ(g_reports[0].first, "3");
        EXPECT_EQ(g_reports[0].second, row.reason);
    }
}

TEST_F(Driver, HttpStatusesOtherThanTheFileAnswersAreRetried) {
    for (long status : {500L, 302L, 503L, 204L}) {
        SCOPED_TRACE(status);
        sleeps_.clear();
        steps_ = {{0, status, ""}, {0, 206, ""}};
        EXPECT_EQ(run(), 0);
        EXPECT_EQ(sleeps_, std::vector<unsigned>{60});
    }
}

TEST_F(Driver, ThrottlingNeverUsesUpAttempts) {
    for (int i = 0; i < 45; ++i) steps_.push_back({0, 429, ""});
    steps_.push_back({0, 200, content_});
    EXPECT_EQ(run(md5_of(content_)), 0);
    EXPECT_EQ(sleeps_, std::vector<unsigned>(45, 180));
    EXPECT_EQ(transfers_, 46);
}

TEST_F(Driver, ThirtyFailedAttemptsEndTheTask) {
    for (int i = 0; i < 30; ++i) steps_.push_back({7, 0, ""});
    EXPECT_EQ(run(), -8);
    EXPECT_EQ(transfers_, 30);
    EXPECT_EQ(sleeps_.size(), 30u);
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0], std::make_pair(std::string("3"), std::string("30 retries have been made and the download task end.")));
}

TEST_F(Driver, FileAnswersGoToTheMd5Check) {
    for (long status : {200L, 206L, 416L}) {
        SCOPED_TRACE(status);
        std::remove(path_.c_str());
        // Without an expected MD5 the first file answer ends the download.
        steps_ = {{0, status, "anything"}};
        EXPECT_EQ(run(""), 0);
        EXPECT_EQ(read_file(path_), "anything");
        // With one, the file is checked (upper-case text from the server accepted).
        std::remove(path_.c_str());
        std::string upper = md5_of(content_);
        for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        steps_ = {{0, status, content_}};
        EXPECT_EQ(run(upper), 0);
        EXPECT_TRUE(g_reports.empty());
    }
}

TEST_F(Driver, ResumedAttemptsContinueAfterTheBytesOnDisk) {
    steps_ = {{18, 0, content_.substr(0, 1000)}, {28, 0, content_.substr(1000, 1000)}, {0, 206, content_.substr(2000)}};
    EXPECT_EQ(run(md5_of(content_)), 0);
    EXPECT_EQ(offsets_, (std::vector<size_t>{0, 1000, 2000}));
    EXPECT_EQ(sleeps_, (std::vector<unsigned>{60, 15}));
}

TEST_F(Driver, FourMd5FailuresEndTheTask) {
    for (int i = 0; i < 4; ++i) steps_.push_back({0, 200, "corrupt"});
    EXPECT_EQ(run(md5_of(content_)), -8);
    EXPECT_EQ(transfers_, 4);
    EXPECT_EQ(offsets_, (std::vector<size_t>{0, 0, 0, 0}));  // each mismatch deletes the file
    EXPECT_EQ(sleeps_, std::vector<unsigned>(4, 60));
    EXPECT_FALSE(testsupport::exists(path_));
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0].second, "md5 failed more than 3 times and the download task end.");

    // A mismatch followed by a good download passes.
    g_reports.clear();
    steps_ = {{0, 200, "corrupt"}, {0, 200, content_}};
    EXPECT_EQ(run(md5_of(content_)), 0);
}

TEST_F(Driver, UncheckableFilesNeverPass) {
    // A file answer that left no file, and an expected text that is not 32 digits.
    steps_ = {{0, 416, ""}, {0, 200, content_}, {0, 200, ""}, {0, 200, ""}};
    EXPECT_EQ(run(md5_of(content_).substr(0, 31)), -8);
    EXPECT_EQ(transfers_, 4);
    steps_ = {{0, 200, content_}, {0, 200, content_}, {0, 200, content_}, {0, 200, content_}};
    EXPECT_EQ(run("zz" + md5_of(content_).substr(2)), -8);
}

TEST_F(Driver, OfflineSessionPausesTheTask) {
    connected_ = false;
    for (int code : {0, 7, 23}) {
        SCOPED_TRACE(code);
        std::remove(path_.c_str());
        steps_ = {{code, 200, content_}};
        EXPECT_EQ(run(md5_of(content_)), -10001);
        EXPECT_EQ(read_file(path_), content_);  // kept for the resumption
        EXPECT_TRUE(g_reports.empty());
        EXPECT_TRUE(sleeps_.empty());
    }
}

TEST_F(Driver, StopPausesTheTaskAfterATransferOrASleep) {
    // The service stops during a transfer (aborted or complete) or during a retry's sleep:
    // no further attempt, no report, the bytes stay for the next start.
    struct Row {
        int code;
        bool stop_in_sleep;
        size_t sleeps;
    };
    for (const Row& row : {Row{42, false, 0}, Row{0, false, 0}, Row{7, true, 1}}) {
        SCOPED_TRACE(row.code);
        std::remove(path_.c_str());
        g_reports.clear();
        sleeps_.clear();
        transfers_ = 0;
        steps_ = {{row.code, 200, "part"}, {0, 200, content_}};
        auto transfer = env_.transfer;
        env_.transfer = [&](DownloadTask* task, const char* key) {
            HttpResult r = transfer(task, key);
            if (!row.stop_in_sleep) g_run_flag = 0;
            return r;
        };
        env_.sleep = [&](unsigned seconds) {
            sleeps_.push_back(seconds);
            g_run_flag = 0;
        };
        int rc = run(md5_of(content_));
        g_run_flag = 1;
        env_.transfer = transfer;
        EXPECT_EQ(rc, -10001);
        EXPECT_EQ(transfers_, 1);
        EXPECT_EQ(sleeps_.size(), row.sleeps);
        EXPECT_EQ(read_file(path_), "part");
        EXPECT_TRUE(g_reports.empty());
    }
}

TEST_F(Driver, OneDownloadAtATime) {
    g_flag_download_running = 1;
    EXPECT_EQ(run(), -10011);
    EXPECT_EQ(transfers_, 0);
    EXPECT_TRUE(g_reports.empty());
    g_flag_download_running = 0;
}

TEST_F(Driver, NotEnoughSpace) {
    space_ok_ = false;
    EXPECT_EQ(run(), -8);
    EXPECT_EQ(transfers_, 0);
    EXPECT_EQ(g_flag_download_running.load(), 0);
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0], std::make_pair(std::string("3"), std::string("Device does not have enough space for downloads and tasks")));
}

TEST_F(Driver, SpaceAskedForIsTwiceWhatIsMissing) {
    struct Row {
        uint64_t used, threshold;
    };
    const uint64_t size = content_.size();
    for (const Row& row : {Row{0, 2 * size}, Row{1000, 2 * (size - 1000)}, Row{size, 0}, Row{size + 500, 0}}) {
        SCOPED_TRACE(row.used);
        used_ = row.used;
        thresholds_.clear();
        steps_ = {{0, 200, ""}};
        EXPECT_EQ(run(), 0);
        EXPECT_EQ(thresholds_, std::vector<uint64_t>{row.threshold});
    }
    EXPECT_EQ(download::required_space(std::numeric_limits<uint64_t>::max(), 0), std::numeric_limits<uint64_t>::max());
}

TEST(Storage, DirectorySizeAndFreeSpace) {
    TempDir dir;
    write_file(dir / "a", std::string(100, 'a'));
    write_file(dir / "sub/b", std::string(250, 'b'));
    write_file(dir / "sub/deeper/c", std::string(7, 'c'));
    ASSERT_EQ(symlink((dir / "a").c_str(), (dir / "sub/link").c_str()), 0);
    EXPECT_EQ(nimbo_utils_get_directory_size(dir.path().c_str()), 357u);
    EXPECT_EQ(nimbo_utils_get_directory_size((dir / "missing").c_str()), 0u);

    std::snprintf(g_device_app_path, sizeof g_device_app_path, "%s", dir.path().c_str());  // nothing to clean
    uint64_t free = nimbo_utils_get_free_space(dir.path().c_str());
    ASSERT_GT(free, 0u);
    EXPECT_EQ(nimbo_utils_check_and_report_free_space(dir.path().c_str(), 0), 0);
    EXPECT_EQ(nimbo_utils_check_and_report_free_space(dir.path().c_str(), std::numeric_limits<uint64_t>::max()), -8);
    EXPECT_EQ(nimbo_utils_check_and_report_free_space((dir / "missing").c_str(), 0), -8);
    EXPECT_EQ(nimbo_utils_get_free_space((dir / "missing").c_str()), 0u);
}

TEST(DriverWithServer, ResumesAndVerifiesAgainstTheSimulator) {
    TempDir files, work;
    const std::string content(200000, 'q');
    write_file(files / "pkg.zip", content);
    testsupport::SimServer sim(files.path());
    std::snprintf(g_nimbo_download_path, sizeof g_nimbo_download_path, "%s", work.path().c_str());
    std::snprintf(g_device_userdata_path, sizeof g_device_userdata_path, "%s", work.path().c_str());
    std::snprintf(g_device_app_path, sizeof g_device_app_path, "%s", work.path().c_str());
    g_flag_mqtt_connect = 1;
    g_flag_download_running = 0;
    g_reports.clear();
    const std::string dest = work / "tmp_app.zip";
    write_file(dest, content.substr(0, 150000));
    char md5[33];
    crypto_utils_generate_md5_hex_for_string(content.c_str(), md5);
    DownloadTask task;
    ASSERT_EQ(curl_utils_download_task_init(&task, sim.url("/files/pkg.zip").c_str(), dest.c_str(), record, nullptr,
                                            content.size(), md5),
              0);
    EXPECT_EQ(download_logic(task), 0);
    EXPECT_EQ(read_file(dest), content);
    EXPECT_EQ(sim.last("range"), "bytes=150000-");
    ASSERT_FALSE(g_reports.empty());
    EXPECT_EQ(g_reports.back(), std::make_pair(std::string("1"), std::string("100.00%")));

    // Already complete: 416 and the check passes without a byte moved.
    EXPECT_EQ(download_logic(task), 0);
    EXPECT_EQ(sim.last("status"), "416");

    // Gone from the server: the task ends with the reason.
    ASSERT_EQ(curl_utils_download_task_init(&task, sim.url("/files/gone.zip").c_str(), (work / "other.zip").c_str(),
                                            record, nullptr, 10, md5),
              0);
    EXPECT_EQ(download_logic(task), -8);
    EXPECT_EQ(g_reports.back(), std::make_pair(std::string("3"), std::string("Download failed[HTTP404], task end.")));
    EXPECT_EQ(g_flag_download_running.load(), 0);
    g_flag_mqtt_connect = 0;
}
