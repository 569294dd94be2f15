// The shell runners: output collection, exit codes, the children's signal state, and the
// reaping of children alongside the runners.
#include <gtest/gtest.h>

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "util/nimbo_utils.h"

extern char** environ;

namespace {

using testsupport::read_file;
using testsupport::TempDir;

std::vector<std::string> lines_of(const ShellResults& r) {
    std::vector<std::string> out;
    for (unsigned i = 0; i < r.count; ++i) out.push_back(r.lines[i]);
    return out;
}

TEST(RunCommands, CollectsLinesAndGrows) {
    struct Case {
        const char* command;
        std::vector<std::string> lines;
        unsigned capacity;
    };
    const Case cases[] = {
        {"printf 'a\\nb\\nc\\n'", {"a", "b", "c"}, 4},
        {"printf '1\\n2\\n3\\n4\\n5\\n'", {"1", "2", "3", "4", "5"}, 8},
        {"printf 'x\\ny'", {"x", "y"}, 4},          // a last line without line feed
        {"printf 'a\\n\\nb\\n'", {"a", "", "b"}, 4},  // empty lines are entries
        {"echo err >&2; true", {}, 0},               // standard error is not collected
        {"true", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        ShellResults r = nimbo_utils_run_commands(c.command);
        EXPECT_EQ(lines_of(r), c.lines);
        EXPECT_EQ(r.count, c.lines.size());
        EXPECT_EQ(r.capacity, c.capacity);
        if (c.capacity == 0) {
            EXPECT_EQ(r.lines, nullptr);
        }
        nimbo_utils_release_shell_results(&r);
        EXPECT_EQ(r.lines, nullptr);
        EXPECT_EQ(r.count, 0u);
        nimbo_utils_release_shell_results(&r);  // a second release finds a zero-filled record
    }
    ShellResults big = nimbo_utils_run_commands("seq 1 10000");
    ASSERT_EQ(big.count, 10000u);
    EXPECT_STREQ(big.lines[9999], "10000");
    EXPECT_EQ(big.capacity, 16384u);
    nimbo_utils_release_shell_results(&big);
}

TEST(RunCommands, AddStringGrowth) {
    ShellResults r = {};
    std::vector<unsigned> capacities;
    for (int i = 0; i < 9; ++i) {
        char* stored = add_string_to_array(&r, std::to_string(i).c_str());
        EXPECT_STREQ(stored, std::to_string(i).c_str());
        capacities.push_back(r.capacity);
    }
    EXPECT_EQ(capacities, (std::vector<unsigned>{4, 4, 4, 4, 8, 8, 8, 8, 16}));
    nimbo_utils_release_shell_results(&r);
}

TEST(SingleCommand, ExitCodesAndSignals) {
    struct Case {
        const char* command;
        int result;
    };
    const Case cases[] = {
        {"exit 0", 0},          {"exit 2", 2},         {"exit 3", 3},         {"exit 255", 255},
        {"kill -9 $$", 1009},   {"kill -TERM $$", 1015},
        {"kill -PIPE $$", 1013},  // SIGPIPE is at its default even though the service ignores it
        {"", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_EQ(nimbo_utils_run_command_by_system(c.command), c.result);
        EXPECT_EQ(nimbo_utils_run_command_by_popen(c.command), c.result);
    }
    EXPECT_EQ(nimbo_utils_run_command_by_system(nullptr), -1);
    EXPECT_EQ(nimbo_utils_run_command_by_popen(nullptr), -1);
}

TEST(SingleCommand, PopenReadsOutputToTheEnd) {
    // Output that comes after the runner has started waiting must not end the command
    // with SIGPIPE: the true exit status is reported.
    EXPECT_EQ(nimbo_utils_run_command_by_popen("sleep 0.3; seq 1 200000; exit 5"), 5);
    EXPECT_EQ(nimbo_utils_run_command_by_popen("seq 1 200000 && exit 0"), 0);
    EXPECT_EQ(nimbo_utils_run_command_by_popen("sleep 0.2; seq 1 200000 > /dev/stdout; echo done"), 0);
}

TEST(SingleCommand, BackgroundProcessHoldingTheOutputDoesNotBlock) {
    TempDir t;
    // The background sleep keeps the pipe open; the runner returns when the shell ends.
    std::string cmd = "sleep 60 & echo $! > " + (t / "pid") + "; exit 4";
    EXPECT_EQ(nimbo_utils_run_command_by_popen(cmd.c_str()), 4);
    pid_t bg = std::atoi(read_file(t / "pid").c_str());
    ASSERT_GT(bg, 0);
    kill(bg, SIGKILL);

    ShellResults r = nimbo_utils_run_commands("sleep 60 & echo $!");
    ASSERT_EQ(r.count, 1u);
    kill(std::atoi(r.lines[0]), SIGKILL);
    nimbo_utils_release_shell_results(&r);
}

TEST(SingleCommand, ChildStartsWithDefaultSignalState) {
    sigset_t all, old_mask;
    sigfillset(&all);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &all, &old_mask), 0);
    struct sigaction ign = {}, old_pipe, old_int;
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old_pipe);
    sigaction(SIGINT, &ign, &old_int);

    ShellResults r = nimbo_utils_run_commands("grep -E '^Sig(Blk|Ign)' /proc/self/status");

    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGPIPE, &old_pipe, nullptr);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);

    ASSERT_EQ(r.count, 2u);
    EXPECT_EQ(std::string(r.lines[0]), "SigBlk:\t0000000000000000");
    EXPECT_EQ(std::string(r.lines[1]), "SigIgn:\t0000000000000000");
    nimbo_utils_release_shell_results(&r);
}

TEST(FindPid, QuotedPatternLookup) {
    TempDir t;
    // A copy of sleep under a distinctive name stands in for the process looked for.
    std::string exe = t / "nimbopgtest";
    ASSERT_EQ(std::system(("cp /bin/sleep " + exe).c_str()), 0);
    char arg0[] = "nimbopgtest", arg1[] = "60";
    char* argv[] = {arg0, arg1, nullptr};
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ), 0);

    int pids[4] = {};
    int count = -1;
    EXPECT_EQ(nimbo_utils_find_pid_by_name("nimbopgtest", pids, 4, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(pids[0], pid);

    count = -1;
    EXPECT_EQ(nimbo_utils_find_pid_by_name("nimbopgtest", pids, 0, &count), 0);
    EXPECT_EQ(count, 0);

    // The name stays one argument: no command runs from it.
    std::string evil = "x'; touch " + (t / "owned") + "; echo '";
    count = -1;
    EXPECT_EQ(nimbo_utils_find_pid_by_name(evil.c_str(), pids, 4, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(testsupport::exists(t / "owned"));

    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(nimbo_utils_find_pid_by_name(nullptr, pids, 4, &count), -2);
}

// ---- reaping -----------------------------------------------------------------------

pid_t spawn_true() {
    char arg0[] = "true";
    char* argv[] = {arg0, nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ), 0);
    return pid;
}

// Waits until `pid` has finished, leaving it to be reaped.
void wait_zombie(pid_t pid) {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
}

bool reaped(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(Reaper, ReapsChildrenNoRunnerOwns) {
    pid_t a = spawn_true(), b = spawn_true();
    wait_zombie(a);
    wait_zombie(b);
    nimbo_utils_reap_children();
    EXPECT_TRUE(reaped(a));
    EXPECT_TRUE(reaped(b));
    nimbo_utils_reap_children();  // nothing left: returns at once
}

TEST(Reaper, RunnerSweepsZombiesLeftBehind) {
    pid_t z = spawn_true();
    wait_zombie(z);
    EXPECT_EQ(nimbo_utils_run_command_by_system("exit 3"), 3);
    EXPECT_TRUE(reaped(z));
}

TEST(Reaper, RunnerStatusSurvivesConcurrentReaping) {
    std::atomic<bool> stop{false};
    std::thread reaper([&] {
        while (!stop.load()) nimbo_utils_reap_children();
    });
    std::atomic<int> wrong{0};
    auto runner = [&](int base) {
        for (int i = 0; i < 40; ++i) {
            int code = (base + i) % 200 + 1;
            std::string cmd = "exit " + std::to_string(code);
            if (nimbo_utils_run_command_by_system(cmd.c_str()) != code) ++wrong;
            if (nimbo_utils_run_command_by_popen(cmd.c_str()) != code) ++wrong;
            if (nimbo_utils_run_command_by_popen("kill -9 $$") != 1009) ++wrong;
        }
    };
    std::thread r1(runner, 0), r2(runner, 100);
    r1.join();
    r2.join();
    stop = true;
    reaper.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
