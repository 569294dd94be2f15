// Shell command runners and the reaping of finished children (log tag "nimbo_utils").
//
// Children start through posix_spawn("/bin/sh", "-c", command) with an empty signal mask
// and every signal at its default action: the service blocks most signals for its signal
// thread and ignores SIGPIPE, and both would otherwise be inherited across exec.
//
// Child ownership. The signal thread reaps finished children on SIGCHLD, but the exit
// status of a runner's child belongs to the runner. Runners register their child's pid
// while holding `g_children_mutex` across posix_spawn, so the reaper (which takes the
// same mutex) can never see a runner's child unregistered. The reaper peeks with
// waitid(WNOWAIT) and reaps only unregistered pids. A peek can only show one child; when
// that one is registered the sweep stops instead of spinning on it. Nothing is lost by
// stopping: a registered zombie's runner is about to collect it, and every runner sweeps
// once more after it has collected its own child, so the zombies behind it are reaped
// then. (/proc/<pid>/task/*/children would list all children, but it needs a kernel
// option the terminal's kernel may lack.)
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "c_handles.hpp"
#include "device_path.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"
#include "util/nimbo_utils.h"

extern char** environ;

namespace {

std::mutex g_children_mutex;
std::vector<pid_t> g_runner_children;  // guarded by g_children_mutex

bool is_runner_child(pid_t pid) {
    return std::find(g_runner_children.begin(), g_runner_children.end(), pid) != g_runner_children.end();
}

// Peeks at finished children and reaps the ones no runner waits for. Caller holds the mutex.
void sweep_locked() {
    for (;;) {
        siginfo_t info;
        memset(&info, 0, sizeof info);
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == EINTR) continue;
            return;  // ECHILD: no children at all
        }
        if (info.si_pid == 0) return;                 // none has finished
        if (is_runner_child(info.si_pid)) return;     // its runner collects it, then sweeps
        int status;
        while (::waitpid(info.si_pid, &status, WNOHANG) < 0 && errno == EINTR) {
        }
    }
}

class SpawnAttr {
public:
    SpawnAttr() {
        ok_ = posix_spawnattr_init(&attr_) == 0;
        if (!ok_) return;
        sigset_t empty, all;
        sigemptyset(&empty);
        // Every bit, not sigfillset: glibc's sigfillset leaves out its two internal signals,
        // and posix_spawn then sets those to SIG_IGN in the child, which exec keeps.
        memset(&all, 0xff, sizeof all);
        ok_ = posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
              posix_spawnattr_setsigmask(&attr_, &empty) == 0 && posix_spawnattr_setsigdefault(&attr_, &all) == 0;
    }
    ~SpawnAttr() { posix_spawnattr_destroy(&attr_); }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;
    bool ok() const { return ok_; }
    const posix_spawnattr_t* get() const { return &attr_; }

private:
    posix_spawnattr_t attr_;
    bool ok_ = false;
};

class FileActions {
public:
    FileActions() { ok_ = posix_spawn_file_actions_init(&fa_) == 0; }
    ~FileActions() { posix_spawn_file_actions_destroy(&fa_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &fa_; }

private:
    posix_spawn_file_actions_t fa_;
    bool ok_ = false;
};

// A runner's child: registered from spawn until its status was collected.
class Child {
public:
    // Starts the command; with `capture` its standard output is a pipe read through out().
    bool start(const char* command, bool capture) {
        UniqueFd rd, wr;
        if (capture) {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) return false;
            rd.reset(fds[0]);
            wr.reset(fds[1]);
        }
        SpawnAttr attr;
        FileActions actions;
        if (!attr.ok() || !actions.ok()) return false;
        // dup2 onto 1 clears close-on-exec on the copy only.
        if (capture && posix_spawn_file_actions_adddup2(actions.get(), wr.get(), STDOUT_FILENO) != 0) return false;
        char sh[] = "/bin/sh", dash_c[] = "-c";
        std::string cmd(command);
        char* argv[] = {sh, dash_c, &cmd[0], nullptr};
        std::lock_guard<std::mutex> lock(g_children_mutex);
        g_runner_children.reserve(g_runner_children.size() + 1);  // no throw once the child runs
        int rc = posix_spawn(&pid_, "/bin/sh", actions.get(), attr.get(), argv, environ);
        if (rc != 0) {
            pid_ = -1;
            errno = rc;
            return false;
        }
        g_runner_children.push_back(pid_);
        out_ = std::move(rd);
        return true;
    }

    ~Child() {
        if (pid_ > 0) wait();
    }
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int out() const { return out_.get(); }
    void close_out() { out_.reset(); }

    // True once the child has ended (its status stays to be collected by wait()).
    bool ended() const {
        siginfo_t info;
        memset(&info, 0, sizeof info);
        return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
    }

    // The wait status, or -1 when it could not be collected.
    int wait() {
        int status = 0;
        pid_t r;
        while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
        {
            std::lock_guard<std::mutex> lock(g_children_mutex);
            auto it = std::find(g_runner_children.begin(), g_runner_children.end(), pid_);
            if (it != g_runner_children.end()) g_runner_children.erase(it);
            pid_ = -1;
            sweep_locked();
        }
        return r < 0 ? -1 : status;
    }

private:
    pid_t pid_ = -1;
    UniqueFd out_;
};

// Reads the child's output until its end, or until the child has ended and the pipe holds
// nothing more (a background process it left behind may keep the pipe open for ever).
template <class OnData>
void drain(Child& child, OnData on_data) {
    int fd = child.out();
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    char buf[4096];
    bool child_ended = false;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            on_data(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) return;                                  // end of output
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return;
        if (child_ended) return;                             // drained after the end
        struct pollfd pfd = {fd, POLLIN, 0};
        int r = ::poll(&pfd, 1, 200);
        if (r == 0 && child.ended()) child_ended = true;     // one more read, then stop
    }
}

// Splits output into lines as getline would: each ends at a line feed, a last piece
// without one is a line too.
class LineSplitter {
public:
    template <class OnLine>
    void feed(const char* data, size_t size, OnLine on_line) {
        pending_.append(data, size);
        size_t start = 0, nl;
        while ((nl = pending_.find('\n', start)) != std::string::npos) {
            on_line(pending_.substr(start, nl - start));
            start = nl + 1;
        }
        pending_.erase(0, start);
    }
    template <class OnLine>
    void finish(OnLine on_line) {
        if (!pending_.empty()) on_line(pending_);
        pending_.clear();
    }

private:
    std::string pending_;
};

int decode_status(int status) {
    if (status < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
    return -1;
}

[[noreturn]] void out_of_memory() {
    LOG_E(TAG_UTILS, "Memory allocation failed");
    exit(1);
}

}  // namespace

namespace nimbo {

bool run_collect(const std::string& command, std::vector<std::string>* lines, int* status) {
    Child child;
    if (!child.start(command.c_str(), true)) return false;
    LineSplitter splitter;
    auto keep = [lines](std::string line) { lines->push_back(std::move(line)); };
    drain(child, [&](const char* data, size_t n) { splitter.feed(data, n, keep); });
    splitter.finish(keep);
    child.close_out();
    int st = child.wait();
    if (status) *status = decode_status(st);
    return true;
}

}  // namespace nimbo

namespace {

// On a simulated terminal (NIMBO_DEVICE_ROOT set) several terminals share one machine: a
// process belongs to ours only when it runs with the same device root. On the terminal
// itself every process counts.
bool same_device(int pid) {
    const char* root = nimbo::device_root();
    if (*root == '\0') return true;
    std::string environ;
    if (!nimbo::read_file("/proc/" + std::to_string(pid) + "/environ", &environ, 1u << 20)) return false;
    const std::string wanted = std::string("NIMBO_DEVICE_ROOT=") + root;
    size_t pos = 0;
    while (pos < environ.size()) {
        size_t end = environ.find('\0', pos);
        if (end == std::string::npos) end = environ.size();
        if (environ.compare(pos, end - pos, wanted) == 0) return true;
        pos = end + 1;
    }
    return false;
}

}  // namespace

extern "C" {

char* add_string_to_array(ShellResults* results, const char* text) {
    if (results == nullptr || text == nullptr) return nullptr;
    if (results->count >= results->capacity) {
        unsigned int capacity = results->capacity == 0 ? 4 : results->capacity * 2;
        auto** grown = static_cast<char**>(realloc(results->lines, capacity * sizeof(char*)));
        if (grown == nullptr) out_of_memory();
        results->lines = grown;
        results->capacity = capacity;
    }
    char* copy = strdup(text);
    if (copy == nullptr) out_of_memory();
    results->lines[results->count++] = copy;
    return copy;
}

void nimbo_utils_release_shell_results(ShellResults* results) {
    if (results == nullptr) return;
    for (unsigned int i = 0; i < results->count; ++i) {
        free(results->lines[i]);
        results->lines[i] = nullptr;
    }
    free(results->lines);
    memset(results, 0, sizeof *results);
}

ShellResults nimbo_utils_run_commands(const char* command) {
    ShellResults results;
    memset(&results, 0, sizeof results);
    if (command == nullptr) {
        LOG_E(TAG_UTILS, "popen");
        return results;
    }
    LOG_V(TAG_UTILS, "command: %s", command);
    try {
        Child child;
        if (!child.start(command, true)) {
            LOG_E(TAG_UTILS, "popen");
            return results;
        }
        LineSplitter splitter;
        auto keep = [&results](const std::string& line) {
            LOG_V(TAG_UTILS, "results: %s", line.c_str());
            add_string_to_array(&results, line.c_str());
        };
        drain(child, [&](const char* data, size_t n) { splitter.feed(data, n, keep); });
        splitter.finish(keep);
        child.close_out();
        child.wait();
    } catch (...) {  // only allocations throw here
        out_of_memory();
    }
    return results;
}

void nimbo_utils_run_commands_without_return(const char* command) {
    ShellResults results = nimbo_utils_run_commands(command);
    nimbo_utils_release_shell_results(&results);
}

int nimbo_utils_run_command_by_system(const char* command) {
    if (command == nullptr || *command == '\0') {
        LOG_E(TAG_UTILS, "Empty or null command provided");
        return -1;
    }
    int status;
    try {
        Child child;
        if (!child.start(command, false)) {
            LOG_E(TAG_UTILS, "Failed to execute command: %s", command);
            return -1;
        }
        status = child.wait();
    } catch (...) {
        LOG_E(TAG_UTILS, "Failed to execute command: %s", command);
        return -1;
    }
    if (status == -1) {
        LOG_E(TAG_UTILS, "Failed to execute command: %s", command);
        return -1;
    }
    LOG_I(TAG_UTILS, "cmd: %s, status: %d", command, status);
    if (WIFEXITED(status)) {
        LOG_I(TAG_UTILS, "Process exited normally with result: %d", WEXITSTATUS(status));
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        LOG_W(TAG_UTILS, "process was terminated by signal: %d[%s]", WTERMSIG(status), strsignal(WTERMSIG(status)));
        return 1000 + WTERMSIG(status);
    }
    LOG_W(TAG_UTILS, "Process terminated abnormally");
    return -1;
}

int nimbo_utils_run_command_by_popen(const char* command) {
    if (command == nullptr || *command == '\0') {
        LOG_E(TAG_UTILS, "Empty or null command provided");
        return -1;
    }
    LOG_V(TAG_UTILS, "command: %s", command);
    int status;
    try {
        Child child;
        if (!child.start(command, true)) {
            LOG_E(TAG_UTILS, "popen failed command: %s", command);
            return -1;
        }
        // Read to the end: closing early lets SIGPIPE end a command that still writes.
        drain(child, [](const char*, size_t) {});
        child.close_out();
        status = child.wait();
    } catch (...) {
        LOG_E(TAG_UTILS, "popen failed command: %s", command);
        return -1;
    }
    if (status == -1) {
        LOG_E(TAG_UTILS, "pclose");
        return -1;
    }
    if (WIFSIGNALED(status))
        LOG_W(TAG_UTILS, "process was terminated by signal: %d[%s]", WTERMSIG(status), strsignal(WTERMSIG(status)));
    return decode_status(status);
}

int nimbo_utils_find_pid_by_name(const char* name, int* pids, int capacity, int* count) {
    if (count != nullptr) *count = 0;
    if (name == nullptr || pids == nullptr || count == nullptr) return NIMBO_ERR_INVALID;
    try {
        std::vector<std::string> lines;
        // pgrep still matches a pattern; quoting only keeps the name out of the shell.
        if (!nimbo::run_collect("pgrep " + nimbo::shell_quote(name), &lines, nullptr)) {
            LOG_E(TAG_UTILS, "popen failed");
            return NIMBO_ERR_FAILED;
        }
        int stored = 0;
        for (const std::string& line : lines) {
            if (stored >= capacity) break;
            long pid = strtol(line.substr(0, 127).c_str(), nullptr, 10);
            if (pid < 1 || pid > INT32_MAX) continue;
            if (!same_device(static_cast<int>(pid))) continue;
            pids[stored++] = static_cast<int>(pid);
        }
        *count = stored;
        return 0;
    } catch (...) {
        LOG_E(TAG_UTILS, "popen failed");
        return NIMBO_ERR_FAILED;
    }
}

void nimbo_utils_reap_children(void) {
    std::lock_guard<std::mutex> lock(g_children_mutex);
    sweep_locked();
}

}  // extern "C"
