// Helpers for the device-access library tests: the simulated terminal's programs
// (payment-application stand-in, supplicant control socket, device-root builder).
#pragma once

#include <gtest/gtest.h>

#include "hwlink.h"
#include "nimbo_exports.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

extern char** environ;

namespace hwsim {

inline std::string tools_dir() { return std::string(NIMBO_SOURCE_DIR) + "/tools"; }
inline std::string alibank_path() { return std::string(NIMBO_BINARY_DIR) + "/tools/alibankApp"; }

inline pid_t spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

inline int run(const std::vector<std::string>& args) {
    pid_t pid = spawn(args);
    if (pid < 0) return -1;
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Writes a file whose path may hold any character (quotes, blanks).
inline void put_file(const std::string& path, const std::string& content) {
    run({"/bin/mkdir", "-p", path.substr(0, path.find_last_of('/'))});
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

// Waits (bounded) until `pred` holds; the bound only keeps a broken run from hanging.
template <class Pred>
bool wait_for(Pred pred, int max_ms = 10000) {
    for (int waited = 0; waited < max_ms; waited += 10) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

inline std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

// Builds a realistic device root with the simulator.
inline int build_terminal(const std::string& root, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"/usr/bin/python3", tools_dir() + "/terminal_sim.py", "build", root,
                                     "--serial", "SN0001"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
}

// True when some process named alibankApp runs that the test did not start.
inline bool foreign_alibank_running() {
    // The same lookup the library uses: on a simulated terminal it sees only the processes of
    // this device root, so stand-ins of other tests running at the same time do not count.
    int pids[8];
    int count = 0;
    return nimbo_utils_find_pid_by_name("alibankApp", pids, 8, &count) == 0 && count > 0;
}

// The payment-application stand-in, recording the signals it receives.
class PayApp {
public:
    explicit PayApp(const std::string& dir, const std::vector<std::string>& extra = {})
        : record_(dir + "/alibank.record"), files_(dir + "/alibank.files"), ready_(dir + "/alibank.ready") {
        // Only this test process's signals count: other stand-ins and senders may run.
        std::vector<std::string> args = {alibank_path(), "--record", record_, "--files", files_, "--ready", ready_,
                                         "--only-from", std::to_string(getpid())};
        args.insert(args.end(), extra.begin(), extra.end());
        // A ready file left by an earlier stand-in in the same folder would be taken for
        // this one's, and a signal sent before its handlers are in place ends it.
        ::unlink(ready_.c_str());
        pid_ = spawn(args);
        ready_ok_ = pid_ > 0 && wait_for([&] { return testsupport::exists(ready_); });
    }
    ~PayApp() { stop(); }
    PayApp(const PayApp&) = delete;
    PayApp& operator=(const PayApp&) = delete;

    bool ready() const { return ready_ok_; }
    pid_t pid() const { return pid_; }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    // The protocol numbers received so far, once at least `n` arrived (bounded wait).
    std::vector<std::string> signals(size_t n) const {
        wait_for([&] { return lines_of(record_).size() >= n; });
        return lines_of(record_);
    }
    std::vector<std::string> files() const { return lines_of(files_); }
    // Everything received before a probe signal 99 sent now (the stand-in handles its
    // signals in order, so the probe's line closes what came before); then a fresh record.
    std::vector<std::string> take(int (*send)(int)) {
        std::vector<std::string> got;
        if (send(99) != 0) return {"(probe not delivered)"};
        wait_for([&] {
            got = lines_of(record_);
            return !got.empty() && got.back() == "99";
        });
        if (!got.empty() && got.back() == "99") got.pop_back();
        std::ofstream(record_, std::ios::trunc).flush();
        return got;
    }
    const std::string& record_path() const { return record_; }

private:
    std::string record_, files_, ready_;
    pid_t pid_ = -1;
    bool ready_ok_ = false;
};

// The supplicant's control socket stand-in (under ROOT/var/run/wpa_supplicant/wlan0).
class Supplicant {
public:
    Supplicant(const std::string& root, const std::string& mode, int rssi = -61)
        : socket_(root + "/var/run/wpa_supplicant/wlan0") {
        pid_ = spawn({"/usr/bin/python3", tools_dir() + "/terminal_sim.py", "supplicant", root, "--mode", mode,
                      "--rssi", std::to_string(rssi)});
        ready_ = pid_ > 0 && wait_for([&] {
                     struct stat st;
                     return ::stat(socket_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
                 });
    }
    ~Supplicant() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    Supplicant(const Supplicant&) = delete;
    Supplicant& operator=(const Supplicant&) = delete;
    bool ready() const { return ready_; }
    const std::string& socket_path() const { return socket_; }

private:
    std::string socket_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// A built simulated terminal for the life of a test (NIMBO_DEVICE_ROOT points at it), and a
// scratch directory beside it for the stand-in's records and for packages.
class TerminalTest : public testsupport::DeviceRootTest {
protected:
    testsupport::TempDir scratch_;
    void SetUp() override { ASSERT_EQ(build_terminal(root_.path()), 0); }
    // The signals the stand-in received since the last call.
    static std::vector<std::string> received(PayApp& app) { return app.take(hwlink_send_signal_to_alibankApp); }
};

}  // namespace hwsim
