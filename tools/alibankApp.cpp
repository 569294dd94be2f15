// Stand-in for the terminal's payment application, for the tests and the simulated
// terminal. Its process name is "alibankApp", as the service looks it up.
//
//   alibankApp [--record FILE] [--files FILE] [--ready FILE] [--service-pid PID]
//              [--lock-answer-delay-ms N] [--only-from PID] [--raw FILE] [--on N COMMAND]
//
// --record FILE   every payment-application signal received is appended as its protocol
//                 number (89..99), one line per signal, flushed at once.
// --files FILE    for the signals that announce a file, what the file held when the signal
//                 arrived: "<n> <device path>\t<content, line feeds as \n>", one line each
//                 (89: every file of pay_code, 90: of pay_status, 92: DEVCONFIG).
// --ready FILE    written (with the pid) once the handlers are installed.
// --service-pid   where the lock answers go; default the sender of the signal, else the
//                 process named nimboservice.
// --lock-answer-delay-ms N   on 94 (lock) or 93 (unlock): after N ms (default 500) set
//                 "lockState" in DEVSTATE to 1 or 0 and send the same number back;
//                 -1: never answer (an application that hangs).
// --only-from PID only signals sent by that process count (others are ignored): tests on a
//                 machine where other stand-ins and senders run at the same time.
// --raw FILE      like --record, but the signal number as the kernel delivered it.
// --on N COMMAND  after recording number N, run COMMAND with /bin/sh (e.g. 97: "reboot" on
//                 the test machine, as the payment application restarts the terminal).
//
// Paths are device paths (NIMBO_DEVICE_ROOT). Signal handlers only write to a self-pipe;
// SIGTERM and SIGINT end the process with status 0.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "c_handles.hpp"
#include "device_path.h"
#include "pay_signals.h"

namespace {

struct Options {
    std::string record;
    std::string files;
    std::string ready;
    pid_t service_pid = 0;
    long lock_delay_ms = 500;
    pid_t only_from = 0;
    std::string raw;
    std::vector<std::pair<int, std::string>> on;
};

struct Event {
    int signo;
    pid_t sender;
};

struct Answer {
    int number;  // 93 or 94
    pid_t to;
    long long due_ms;
};

int g_pipe[2] = {-1, -1};

void on_signal(int signo, siginfo_t* info, void*) {
    Event ev{signo, info ? info->si_pid : 0};
    int saved = errno;
    ssize_t r = write(g_pipe[1], &ev, sizeof ev);
    (void)r;
    errno = saved;
}

long long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::string dev(const char* abs) {
    char buf[NIMBO_PATH_MAX];
    return nimbo::device_path(abs, buf, sizeof buf) ? std::string(buf) : std::string();
}

void append(const std::string& path, const std::string& text) {
    if (path.empty()) return;
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd) return;
    ssize_t r = write(fd.get(), text.data(), text.size());
    (void)r;
}

bool slurp(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return true;
}

std::string escape_lines(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

void record_file(const Options& o, int n, const char* abs) {
    std::string content;
    if (!slurp(dev(abs), &content)) return;
    append(o.files, std::to_string(n) + " " + abs + "\t" + escape_lines(content) + "\n");
}

void record_dir(const Options& o, int n, const char* abs_dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, CFree<closedir>> d(opendir(dev(abs_dir).c_str()));
    if (!d) return;
    while (struct dirent* e = readdir(d.get())) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) record_file(o, n, (std::string(abs_dir) + "/" + name).c_str());
}

// Sets lockState in the device-state file (replaced as a whole: readers never see half).
void set_lock_state(int state) {
    std::string path = dev("/usr/data/config/DEVSTATE");
    std::string old, out;
    slurp(path, &old);
    std::istringstream in(old);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("lockState=", 0) == 0) continue;
        out += line + "\n";
    }
    out += "lockState=" + std::to_string(state) + "\n";
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) return;
        f << out;
    }
    rename(tmp.c_str(), path.c_str());
}

pid_t find_service() {
    std::unique_ptr<FILE, CFree<pclose>> p(popen("pgrep -x nimboservice", "r"));
    if (!p) return 0;
    char line[64];
    pid_t pid = 0;
    if (fgets(line, sizeof line, p.get())) pid = (pid_t)atoi(line);
    return pid;
}

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--record") {
            if (!value(&o->record)) return false;
        } else if (a == "--files") {
            if (!value(&o->files)) return false;
        } else if (a == "--ready") {
            if (!value(&o->ready)) return false;
        } else if (a == "--service-pid") {
            if (!value(&v)) return false;
            o->service_pid = (pid_t)atol(v.c_str());
        } else if (a == "--only-from") {
            if (!value(&v)) return false;
            o->only_from = (pid_t)atol(v.c_str());
        } else if (a == "--raw") {
            if (!value(&o->raw)) return false;
        } else if (a == "--on") {
            std::string command;
            if (!value(&v) || !value(&command)) return false;
            o->on.emplace_back(atoi(v.c_str()), command);
        } else if (a == "--lock-answer-delay-ms") {
            if (!value(&v)) return false;
            o->lock_delay_ms = atol(v.c_str());
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        fprintf(stderr,
                "usage: alibankApp [--record FILE] [--files FILE] [--ready FILE] [--service-pid PID] "
                "[--lock-answer-delay-ms N] [--only-from PID] [--raw FILE] [--on N COMMAND]\n");
        return 2;
    }
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    sigset_t wanted;
    sigemptyset(&wanted);
    for (int n = NIMBO_PAY_SIG_FIRST; n <= NIMBO_PAY_SIG_LAST; ++n) sigaddset(&wanted, nimbo_pay_signal(n));
    sigaddset(&wanted, SIGTERM);
    sigaddset(&wanted, SIGINT);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_signal;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    // One handler at a time: with the others blocked meanwhile, signals pending together are
    // recorded in the kernel's order (lowest number first) instead of the last one set up
    // running first on top of the others (a probe 99 recorded before a 95 sent earlier).
    sa.sa_mask = wanted;
    for (int n = NIMBO_PAY_SIG_FIRST; n <= NIMBO_PAY_SIG_LAST; ++n) sigaction(nimbo_pay_signal(n), &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // Whoever started us may have blocked these (the service blocks them in every thread).
    sigprocmask(SIG_UNBLOCK, &wanted, nullptr);
    if (!o.ready.empty()) {
        std::string tmp = o.ready + ".tmp";
        { std::ofstream(tmp) << getpid() << "\n"; }
        rename(tmp.c_str(), o.ready.c_str());
    }

    std::vector<Answer> answers;
    for (;;) {
        int timeout = -1;
        if (!answers.empty()) {
            long long next = answers.front().due_ms;
            for (const auto& a : answers) next = std::min(next, a.due_ms);
            timeout = (int)std::max(0LL, next - now_ms());
        }
        struct pollfd p = {g_pipe[0], POLLIN, 0};
        int r = poll(&p, 1, timeout);
        if (r > 0) {
            Event ev;
            while (read(g_pipe[0], &ev, sizeof ev) == (ssize_t)sizeof ev) {
                if (ev.signo == SIGTERM || ev.signo == SIGINT) return 0;
                int n = nimbo_pay_signal_number(ev.signo);
                if (n < 0 || (o.only_from > 0 && ev.sender != o.only_from)) continue;
                append(o.record, std::to_string(n) + "\n");
                append(o.raw, std::to_string(ev.signo) + "\n");
                if (n == 89) record_dir(o, n, "/usr/data/app/Alipay/data/pay_code");
                if (n == 90) record_dir(o, n, "/usr/data/app/Alipay/data/pay_status");
                if (n == 92) record_file(o, n, "/usr/data/config/DEVCONFIG");
                for (const auto& on : o.on) {
                    if (on.first != n) continue;
                    int rc = system(on.second.c_str());
                    (void)rc;
                }
                if ((n == 93 || n == 94) && o.lock_delay_ms >= 0) {
                    pid_t to = o.service_pid;
                    if (to <= 0 && ev.sender > 0 && ev.sender != getpid()) to = ev.sender;
                    answers.push_back({n, to, now_ms() + o.lock_delay_ms});
                }
            }
        }
        long long now = now_ms();
        for (size_t i = 0; i < answers.size();) {
            if (answers[i].due_ms > now) {
                ++i;
                continue;
            }
            Answer a = answers[i];
            answers.erase(answers.begin() + (long)i);
            set_lock_state(a.number == 94 ? 1 : 0);
            pid_t to = a.to > 0 ? a.to : find_service();
            if (to <= 0) {
                to = getppid();
                if (to <= 1) to = 0;  // orphaned: nobody to answer
            }
            if (to > 0) kill(to, nimbo_pay_signal(a.number));
        }
    }
}
