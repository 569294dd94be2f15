// The utility module: strings, directories, key files, line files, time, configuration
// and the persisted server URL.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "c_handles.hpp"
#include "core/nimbo_config.h"
#include "core/retry_spread.h"
#include "test_support.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

namespace {

using testsupport::DeviceRoot;
using testsupport::exists;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

std::string take(char* heap) { return testsupport::text_of(heap, "<null>"); }

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// ---- strings -----------------------------------------------------------------------

TEST(Strings, EndWith) {
    struct Case {
        const char *text, *suffix;
        int result;
    };
    const Case cases[] = {
        {"file.tar.gz", ".gz", 0}, {"file.tar.gz", "", 0},  {"gz", "tar.gz", -8},
        {"file.zip", ".gz", -8},   {nullptr, "x", -2},      {"x", nullptr, -2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text ? c.text : "null") + "|" + (c.suffix ? c.suffix : "null"));
        EXPECT_EQ(nimbo_utils_string_end_with(c.text, c.suffix), c.result);
    }
    EXPECT_EQ(starts_with("abc", ""), 1);
    EXPECT_EQ(starts_with("abc", "ab"), 1);
    EXPECT_EQ(starts_with("ab", "abc"), 0);
}

TEST(Strings, Replace) {
    struct Case {
        const char *text, *old_text, *new_text, *result;
    };
    const Case cases[] = {
        {"aaa", "aa", "b", "ba"},          // non-overlapping, left to right
        {"abc", "", "x", "abc"},           // empty old text: a copy
        {"a.b.c", ".", "::", "a::b::c"},   // growing
        {"xxhixx", "xx", "", "hi"},        // shrinking to nothing
        {"none", "z", "y", "none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(take(nimbo_utils_string_replace(c.text, c.old_text, c.new_text)), c.result);
    }
    EXPECT_EQ(nimbo_utils_string_replace(nullptr, "a", "b"), nullptr);
    EXPECT_EQ(nimbo_utils_string_replace("a", nullptr, "b"), nullptr);
    EXPECT_EQ(nimbo_utils_string_replace("a", "a", nullptr), nullptr);
}

TEST(Strings, ArrayAndUrlName) {
    const char* names[] = {"apk", "ota", "log"};
    EXPECT_EQ(nimbo_utils_check_string_in_array("ota", names, 3), 1);
    EXPECT_EQ(nimbo_utils_check_string_in_array("log", names, 2), 0);  // only the first count
    EXPECT_EQ(nimbo_utils_check_string_in_array("apk", names, 0), 0);

    char a[] = "http://h/p/file.apk?x=1", b[] = "http://h/dir/", c[] = "plain", d[] = "";
    EXPECT_STREQ(nimbo_utils_get_filename_from_URL(a), "file.apk?x=1");
    EXPECT_STREQ(nimbo_utils_get_filename_from_URL(b), "");
    EXPECT_EQ(nimbo_utils_get_filename_from_URL(c), c);
    EXPECT_EQ(nimbo_utils_get_filename_from_URL(d), nullptr);
    EXPECT_EQ(nimbo_utils_get_filename_from_URL(nullptr), nullptr);
}

// ---- directories -------------------------------------------------------------------

TEST(Directories, EnsureExists) {
    TempDir t;
    EXPECT_EQ(nimbo_utils_ensure_directory_exists((t / "a/b/c").c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat((t / "a/b/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(nimbo_utils_ensure_directory_exists((t / "a/b/c").c_str()), 0);  // exists already
    EXPECT_EQ(nimbo_utils_ensure_directory_exists((t / "a/b/c/").c_str()), 0);

    write_file(t / "x/file", "f");
    EXPECT_EQ(nimbo_utils_ensure_directory_exists((t / "x/file/y/z").c_str()), -1);
    EXPECT_FALSE(exists(t / "x/file/y"));
    EXPECT_EQ(nimbo_utils_ensure_directory_exists((t / "x/file").c_str()), -1);

    std::string long_path = t.path() + "/" + std::string(1100, 'd');
    EXPECT_EQ(nimbo_utils_ensure_directory_exists(long_path.c_str()), -1);  // refused, not cut
    EXPECT_EQ(list_dir(t.path()), (std::vector<std::string>{"a", "x"}));
    EXPECT_EQ(nimbo_utils_ensure_directory_exists(nullptr), -1);
}

TEST(Directories, ClearKeepsDirectoryAndDoesNotFollowLinks) {
    TempDir t;
    write_file(t / "outside/keep.txt", "keep");
    write_file(t / "cache/f1", "1");
    write_file(t / "cache/sub/deeper/f2", "2");
    ASSERT_EQ(symlink((t / "outside").c_str(), (t / "cache/link_dir").c_str()), 0);
    ASSERT_EQ(symlink((t / "outside/keep.txt").c_str(), (t / "cache/sub/link_file").c_str()), 0);

    nimbo_utils_clear_directory((t / "cache").c_str());

    EXPECT_TRUE(list_dir(t / "cache").empty());
    EXPECT_EQ(read_file(t / "outside/keep.txt"), "keep");
    nimbo_utils_clear_directory((t / "absent").c_str());  // logs, no crash
}

TEST(Directories, RenameAndFindByPrefix) {
    TempDir t;
    write_file(t / "d/old", "x");
    EXPECT_EQ(nimbo_utils_rename_file((t / "d").c_str(), "old", "new"), 0);
    EXPECT_EQ(read_file(t / "d/new"), "x");
    EXPECT_EQ(nimbo_utils_rename_file((t / "d").c_str(), "old", "new2"), -8);

    write_file(t / "logs/app_1.log", "");
    write_file(t / "logs/app_2.log", "");
    write_file(t / "logs/other.log", "");
    write_file(t / "logs/app_dir/app_3.log", "");  // directory names are not tested
    write_file(t / "logs/sub/app_4.log", "");
    ASSERT_EQ(symlink((t / "d").c_str(), (t / "logs/app_link").c_str()), 0);  // not a regular file

    struct Case {
        int recurse;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {0, {"logs/app_1.log", "logs/app_2.log"}},
        {1, {"logs/app_1.log", "logs/app_2.log", "logs/app_dir/app_3.log", "logs/sub/app_4.log"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.recurse);
        int count = -1;
        char** found = nimbo_utils_find_files_with_prefix((t / "logs").c_str(), "app_", c.recurse, &count);
        std::vector<std::string> got;
        for (int i = 0; i < count; ++i) {
            got.push_back(std::string(found[i]).substr(t.path().size() + 1));
            free(found[i]);
        }
        free(found);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, c.expected);
    }
    int count = -1;
    EXPECT_EQ(nimbo_utils_find_files_with_prefix((t / "logs").c_str(), "zzz", 1, &count), nullptr);
    EXPECT_EQ(count, 0);
    count = -1;
    EXPECT_EQ(nimbo_utils_find_files_with_prefix((t / "absent").c_str(), "a", 1, &count), nullptr);
    EXPECT_EQ(count, 0);
}

// ---- key=value files ---------------------------------------------------------------

TEST(KeyFile, GetValueByKey) {
    TempDir t;
    std::string long_value(300, 'v');
    // A line longer than 255 characters whose tail looks like an entry must not yield one.
    std::string tricky = "pad=" + std::string(251, 'p') + "imei1=WRONG";
    write_file(t / "state", " k=blank\nk=v=w\nk=second\nnoeq\ncr=x\r\n" + tricky + "\nlong=" + long_value +
                                "\nimei1=860000\n");
    struct Case {
        const char *key, *value;
    };
    const Case cases[] = {
        {"k", "v=w"},  // first match wins, split at the first '='
        {"cr", "x\r"}, // no trimming of carriage returns
        {"imei1", "860000"},
        {"absent", "<null>"},
        {" k", "blank"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(take(nimbo_utils_get_value_by_key((t / "state").c_str(), c.key)), c.value);
    }
    EXPECT_EQ(take(nimbo_utils_get_value_by_key((t / "state").c_str(), "long")), long_value);
    EXPECT_EQ(nimbo_utils_get_value_by_key((t / "absent").c_str(), "k"), nullptr);
    EXPECT_EQ(nimbo_utils_get_value_by_key((t / "state").c_str(), ""), nullptr);
    EXPECT_EQ(nimbo_utils_get_value_by_key("", "k"), nullptr);
}

// ---- line files ----------------------------------------------------------------------

TEST(LineFiles, WriteReadMatchDelete) {
    TempDir t;
    std::string f = t / "task_cmd";
    nimbo_utils_write_line_to_file(f.c_str(), "first", 0);
    nimbo_utils_write_line_to_file(f.c_str(), "second", 1);
    nimbo_utils_write_line_to_file(f.c_str(), "third", 1);
    EXPECT_EQ(read_file(f), "first\nsecond\nthird\n");
    EXPECT_EQ(take(nimbo_utils_read_line_from_file(f.c_str())), "first");
    EXPECT_EQ(nimbo_utils_line_matching_in_file(f.c_str(), "second"), 0);
    EXPECT_EQ(nimbo_utils_line_matching_in_file(f.c_str(), "secon"), -8);  // part of a line
    EXPECT_EQ(nimbo_utils_line_matching_in_file(f.c_str(), "second\nthird"), -8);
    nimbo_utils_write_line_to_file(f.c_str(), "only", 0);
    EXPECT_EQ(read_file(f), "only\n");
    EXPECT_EQ(list_dir(t.path()), std::vector<std::string>{"task_cmd"});  // no temporary left

    nimbo_utils_write_line_to_file2(t.path().c_str(), "two", "x", 2);
    EXPECT_EQ(read_file(t / "two"), "x\n");
    nimbo_utils_delete_file2(t.path().c_str(), "two");
    EXPECT_FALSE(exists(t / "two"));
    nimbo_utils_delete_file(f.c_str());
    EXPECT_FALSE(exists(f));
    nimbo_utils_delete_file(f.c_str());  // absent: logged only
    EXPECT_EQ(nimbo_utils_read_line_from_file(f.c_str()), nullptr);
    EXPECT_EQ(nimbo_utils_line_matching_in_file(f.c_str(), "x"), -8);
}

TEST(LineFiles, ReadLimits) {
    TempDir t;
    struct Case {
        std::string content;
        int size;
        std::string line;
    };
    const Case cases[] = {
        {"abcdef\nnext\n", 4, "abc"},
        {"abc\nnext\n", 4, "abc"},
        {"abc\r\n", 10, "abc\r"},
        {"\nsecond\n", 10, ""},  // an empty first line is a line
        {"", 10, "<null>"},      // an empty file has none
        {std::string(2000, 'x') + "\n", 1024, std::string(1023, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 10));
        write_file(t / "f", c.content);
        EXPECT_EQ(take(nimbo_utils_read_line_from_file2((t / "f").c_str(), c.size)), c.line);
    }
    write_file(t / "f", std::string(2000, 'y') + "\n");
    EXPECT_EQ(take(nimbo_utils_read_line_from_file((t / "f").c_str())), std::string(1023, 'y'));
}

// Runs `step` with files limited to `bytes` (a write past it fails, SIGXFSZ ignored): a disk
// that fills up in the middle of a write.
template <class Step>
void with_file_size_limit(rlim_t bytes, Step step) {
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct sigaction ign = {}, old_action;
    ign.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ign, &old_action);
    struct rlimit small = {bytes, old_limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    step();
    setrlimit(RLIMIT_FSIZE, &old_limit);
    sigaction(SIGXFSZ, &old_action, nullptr);
}

TEST(LineFiles, ReplaceKeepsOldContentWhenItFails) {
    TempDir t;
    std::string f = t / "state";
    write_file(f, "old\n");

    // The write itself fails half-way (file size limit): the old content must survive.
    with_file_size_limit(8, [&] { nimbo_utils_write_line_to_file(f.c_str(), "a much longer replacement line", 0); });
    EXPECT_EQ(read_file(f), "old\n");
    EXPECT_EQ(list_dir(t.path()), std::vector<std::string>{"state"});

    // The path is a directory: rename refuses, the directory and its content stay.
    write_file(t / "dir/inside", "i");
    nimbo_utils_write_line_to_file((t / "dir").c_str(), "x", 0);
    EXPECT_EQ(read_file(t / "dir/inside"), "i");

    // The directory does not exist: nothing is created.
    nimbo_utils_write_line_to_file((t / "nodir/f").c_str(), "x", 0);
    EXPECT_FALSE(exists(t / "nodir"));

    // Without write permission on the directory (ineffective for root, who bypasses it).
    if (geteuid() != 0) {
        write_file(t / "ro/f", "old\n");
        chmod((t / "ro").c_str(), 0555);
        nimbo_utils_write_line_to_file((t / "ro/f").c_str(), "new", 0);
        chmod((t / "ro").c_str(), 0755);
        EXPECT_EQ(read_file(t / "ro/f"), "old\n");
    }
}

TEST(LineFiles, ReplaceKeepsMode) {
    TempDir t;
    write_file(t / "real", "old\n");
    chmod((t / "real").c_str(), 0600);
    nimbo_utils_write_line_to_file((t / "real").c_str(), "new", 0);
    EXPECT_EQ(read_file(t / "real"), "new\n");
    struct stat st;
    ASSERT_EQ(stat((t / "real").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// ---- time --------------------------------------------------------------------------

class TzGuard {
public:
    explicit TzGuard(const char* tz) : tz_("TZ", tz) { tzset(); }

private:
    struct Reread {
        ~Reread() { tzset(); }
    } reread_;  // destroyed last: reads the restored zone
    testsupport::EnvVar tz_;
};

TEST(Time, TimestampIsUnixTimeInEveryZone) {
    const time_t t = 1750000000;  // 2025-06-15 15:06:40 UTC
    struct Case {
        const char* tz;
        bool utc;
        const char *datetime, *zone;
        int offset;
    };
    const Case cases[] = {
        {"JST-9", true, "2025-06-15 15:06:40", "GMT", 0},
        {"JST-9", false, "2025-06-16 00:06:40", "JST", 9},
        {"EST5", false, "2025-06-15 10:06:40", "EST", -5},
        {"EST5", true, "2025-06-15 15:06:40", "GMT", 0},
        {"UTC0", false, "2025-06-15 15:06:40", "UTC", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.tz) + (c.utc ? " utc" : " local"));
        TzGuard tz(c.tz);
        TimeInfo info = nimbo::make_timeinfo(t, c.utc);
        EXPECT_STREQ(info.timestamp_str, "1750000000");
        EXPECT_EQ(info.timestamp, 1750000000);
        EXPECT_STREQ(info.datetime_str, c.datetime);
        EXPECT_STREQ(info.zone_str, c.zone);
        EXPECT_EQ(info.utc_offset_hours, c.offset);
    }
}

TEST(Time, CurrentTimeWithoutNtp) {
    TzGuard tz("JST-9");
    time_t before = time(nullptr);
    TimeInfo info = nimbo_utils_get_current_timeinfo(2);  // mode 2: never asks NTP
    time_t after = time(nullptr);
    EXPECT_GE(info.timestamp, before);
    EXPECT_LE(info.timestamp, after);
    EXPECT_EQ(std::to_string(info.timestamp), info.timestamp_str);
    EXPECT_STREQ(info.zone_str, "JST");
    EXPECT_EQ(info.utc_offset_hours, 9);
    std::string now = take(get_current_time());
    EXPECT_EQ(now.size(), 19u);
}

// ---- configuration and server URL ----------------------------------------------------

class Config : public ::testing::Test {
protected:
    void SetUp() override {
        g_device_screen_width = 480;
        g_device_screen_height = 800;
    }
    void TearDown() override { SetUp(); }
    std::string userdata() const { return root_.path() + "/usr/data"; }
    void ini(const std::string& text) { write_file(bin_ / "nimboservice.ini", text); }
    void configure() { nimbo::configure_from(bin_.path()); }

    TempDir root_, bin_;
    DeviceRoot device_{root_.path()};
};

TEST_F(Config, DefaultsUnderTheDeviceRoot) {
    configure();  // no ini file at all
    EXPECT_EQ(std::string(g_device_userdata_path), userdata());
    EXPECT_STREQ(g_device_name, "nimboservice");
    EXPECT_STREQ(g_nimbo_server_url, NIMBO_DEFAULT_SERVER_URL);
    EXPECT_EQ(g_device_screen_width, 480);
    EXPECT_EQ(g_device_screen_height, 800);
}

TEST_F(Config, IniValues) {
    ini("server_url=https://early.example\n"  // before any section: no effect
        "[server]\nserver_url=https://a.example/\n"
        "[device]\ndata_path=" + root_.path() + "/mydata/\ndevice_name=term\nscreen_width=720\nscreen_height=abc\n"
        "[later]\nscreen_width=1080\n");
    configure();
    EXPECT_EQ(std::string(g_device_userdata_path), root_.path() + "/mydata");  // used as given, "/" removed
    EXPECT_STREQ(g_device_name, "term");
    EXPECT_STREQ(g_nimbo_server_url, "https://a.example");
    EXPECT_EQ(g_device_screen_width, 1080);   // a later occurrence overrides
    EXPECT_EQ(g_device_screen_height, 800);   // not a number: default kept
}

TEST_F(Config, RetrySpread) {
    struct Case {
        const char* ini;
        int spread;
        int low, high;  // what a 30-second delay may become
    };
    const Case cases[] = {
        {"", 0, 30, 30},                      // no key: fixed delays
        {"[s]\nretry_spread=50\n", 50, 15, 45},
        {"[s]\nretry_spread=100\n", 100, 1, 60},  // never below one second
        {"[s]\nretry_spread=101\n", 0, 30, 30},   // out of range: refused
        {"[s]\nretry_spread=-5\n", 0, 30, 30},
        {"[s]\nretry_spread=20%\n", 0, 30, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini);
        ini(c.ini);
        configure();
        EXPECT_EQ(nimbo::retry_spread(), c.spread);
        std::set<int> seen;
        for (int i = 0; i < 2000; ++i) {
            int d = nimbo::spread_delay(30);
            ASSERT_GE(d, c.low);
            ASSERT_LE(d, c.high);
            seen.insert(d);
        }
        // A spread covers its range, not a few values.
        if (c.spread > 0) {
            EXPECT_GE(seen.size(), static_cast<size_t>(c.high - c.low - 2));
        }
    }
    EXPECT_EQ(nimbo::spread_delay(0), 0);
}

TEST_F(Config, DeviceModelWinsAndIsBounded) {
    ini("[d]\ndevice_name=term\n");
    write_file(root_ / "etc/build_model", "M100\n");
    configure();
    EXPECT_STREQ(g_device_name, "M100");
    write_file(root_ / "etc/build_model", std::string(40, 'M') + "\n");
    configure();
    EXPECT_EQ(std::string(g_device_name), std::string(31, 'M'));
}

TEST_F(Config, ServerUrlPrecedence) {
    const std::string cfg = userdata() + "/config/";
    struct Case {
        const char* name;
        const char* ini_key;  // nullptr: no key
        const char* persistent;  // file content; nullptr: no file
        const char* plain;
        std::string expected;
    };
    const std::string big = "https://" + std::string(300, 'h') + "\n";
    const Case cases[] = {
        {"persistent wins", "server_url=https://ini", "https://p.example/\n", "https://q.example\n", "https://p.example"},
        {"plain when no persistent", "server_url=https://ini", nullptr, "https://q.example\n", "https://q.example"},
        {"empty persistent: plain not consulted", "server_url=https://ini", "\n", "https://q.example\n", "https://ini"},
        {"empty persistent, no key: default", nullptr, "", "https://q.example\n", NIMBO_DEFAULT_SERVER_URL},
        {"oversized persistent is a failed source", "server_url=https://ini", big.c_str(), "https://q\n", "https://ini"},
        {"blanks around '=' are not the key", "server_url = https://ini", nullptr, nullptr, NIMBO_DEFAULT_SERVER_URL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        nimbo_utils_delete_file((cfg + "nimbo_server_url_persistent").c_str());
        nimbo_utils_delete_file((cfg + "nimbo_server_url").c_str());
        ini(std::string("[s]\n") + (c.ini_key ? c.ini_key : "") + "\n");
        if (c.persistent) write_file(cfg + "nimbo_server_url_persistent", c.persistent);
        if (c.plain) write_file(cfg + "nimbo_server_url", c.plain);
        configure();
        EXPECT_EQ(std::string(g_nimbo_server_url), c.expected);
    }
}

TEST_F(Config, SaveServerUrl) {
    configure();
    const std::string cfg = userdata() + "/config/";
    EXPECT_EQ(nimbo_utils_save_server_url("https://x", 1), -8);  // the service does not create "config"
    testsupport::write_file(cfg + "nimbo_server_url", "https://old\n");

    EXPECT_EQ(nimbo_utils_save_server_url("https://p.example", 1), 0);
    EXPECT_EQ(read_file(cfg + "nimbo_server_url_persistent"), "https://p.example\n");
    EXPECT_FALSE(exists(cfg + "nimbo_server_url"));

    EXPECT_EQ(nimbo_utils_save_server_url("https://q.example", 0), 0);
    EXPECT_EQ(read_file(cfg + "nimbo_server_url"), "https://q.example\n");
    EXPECT_FALSE(exists(cfg + "nimbo_server_url_persistent"));

    char url[NIMBO_SERVER_URL_SIZE];
    int len = 0;
    ASSERT_EQ(nimbo_utils_get_server_url(url, &len), 0);
    EXPECT_EQ(std::string(url, len), "https://q.example");

    EXPECT_EQ(nimbo_utils_save_server_url("", 1), -2);
    EXPECT_EQ(nimbo_utils_save_server_url(nullptr, 1), -2);
    EXPECT_EQ(nimbo_utils_save_server_url(("https://" + std::string(260, 'h')).c_str(), 1), -2);
    EXPECT_EQ(nimbo_utils_get_server_url(nullptr, &len), -2);

    // A failed write (the file size limit cuts it) keeps the other file: the URL in force stays.
    int rc = 0;
    with_file_size_limit(8, [&] { rc = nimbo_utils_save_server_url("https://r.example", 1); });
    EXPECT_EQ(rc, -8);
    EXPECT_EQ(read_file(cfg + "nimbo_server_url"), "https://q.example\n");
    EXPECT_FALSE(exists(cfg + "nimbo_server_url_persistent"));

    // A folder standing at the file's name (damage) gives way to the URL.
    write_file(cfg + "nimbo_server_url_persistent/inner", "junk");
    EXPECT_EQ(nimbo_utils_save_server_url("https://s.example", 1), 0);
    EXPECT_EQ(read_file(cfg + "nimbo_server_url_persistent"), "https://s.example\n");
}

TEST(ExecutableFolder, IsTheDirectoryOfThisProgram) {
    char dir[4096];
    ASSERT_EQ(nimbo_utils_get_executable_folder_path(dir, sizeof dir), 0);
    EXPECT_TRUE(exists(std::string(dir) + "/test_nimbo_utils"));
    char small[4];
    EXPECT_NE(nimbo_utils_get_executable_folder_path(small, sizeof small), 0);
    EXPECT_STREQ(small, "");  // refused, not cut
}

TEST(CxxHelpers, QuoteAndPaths) {
    EXPECT_EQ(nimbo::shell_quote("it's"), "'it'\\''s'");
    EXPECT_EQ(nimbo::shell_quote(""), "''");
    TempDir t;
    {
        DeviceRoot root(t.path() + "/");
        EXPECT_EQ(nimbo::device_path("/etc/build_model"), t.path() + "/etc/build_model");
    }
    std::string content;
    write_file(t / "f", "0123456789");
    EXPECT_TRUE(nimbo::read_file(t / "f", &content));
    EXPECT_EQ(content, "0123456789");
    EXPECT_FALSE(nimbo::read_file(t / "f", &content, 5));
    EXPECT_FALSE(nimbo::read_file(t / "absent", &content));
}

}  // namespace
