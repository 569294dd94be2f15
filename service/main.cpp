// Entry of nimboservice: configuration, logging, instance lock, signals, bootstrap loop,
// MQTT session, and the orderly stop. The steps of the program's start and stop
// (nimbo_utils_file_lock, nimbo_utils_init_function, nimbo_utils_exit_function) keep their
// historical names but live here: only this file calls them.
//
// Signals become messages: every asynchronous signal the service uses is blocked before any
// thread exists, and one thread receives them with sigwaitinfo. That thread looks up the
// handler installed for the signal (sigaction) and calls it there, on a normal thread, so
// handlers may log, lock and publish. Only the crash signals have a real handler: it records
// the stack and hands the rest to the signal thread.
#include <curl/curl.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <atomic>
#include <chrono>
#include <string>

#include "c_handles.hpp"
#include "commands/mqtt_cmd_deal.h"
#include "commands/mqtt_cmd_deal_poster.h"
#include "core/nimbo_cli.h"
#include "core/nimbo_config.h"
#include "core/retry_spread.h"
#include "device/nimbo_utils_devlock.h"
#include "device_files.h"
#include "device_path.h"
#include "session/final_ack.h"
#include "hwlink.h"
#include "log_tags.h"
#include "pay_signals.h"
#include "result_codes.h"
#include "session/mqtt_logic.h"
#include "session/mqtt_utils_async.h"
#include "session/nimbo_utils_bootstrap.h"
#include "tasks/nimbo_workers.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

namespace {

constexpr int kBootstrapRetrySeconds = 30;
constexpr int kWorkerStopSeconds = 10;           // the stop waits this long for workers
constexpr int kMmapThresholdBytes = 128 * 1024;  // glibc's initial value, kept fixed
constexpr int kMallocArenas = 1;
constexpr int kMaxFrames = 100;

using Handler = void (*)(int);

// The crash hand-off: the faulting thread records its stack here and signals the signal
// thread with kCrashHandoff (a real-time signal outside the payment-application range).
std::atomic<int> g_crash_signal{0};
void* g_crash_frames[kMaxFrames];
// Stored (release) after the frames and loaded (acquire) before they are read: the signal
// thread reads what the faulting thread wrote. Lock-free, so safe in the handler.
std::atomic<int> g_crash_frame_count{0};
std::atomic<pid_t> g_signal_thread_tid{0};
Handler g_crash_handler = nullptr;

int crash_handoff_signal() { return SIGRTMIN + 2; }

// SIGHUP (a closed controlling terminal, or an operator's "reload") stops the service in
// order like SIGTERM: the log needs no reopening (the logger rotates its own file), and
// the default action would end the process as a crash does, lock and pending reply left.
const int kStopSignals[] = {SIGINT, SIGTSTP, SIGTERM, SIGHUP};
const int kCrashSignals[] = {SIGILL, SIGBUS, SIGFPE, SIGSEGV};

// Everything the signal thread receives.
sigset_t received_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTSTP, SIGTERM, SIGHUP, SIGCHLD, SIGALRM}) sigaddset(&set, s);
    for (int n = NIMBO_PAY_SIG_FIRST; n <= NIMBO_PAY_SIG_LAST; ++n) sigaddset(&set, nimbo_pay_signal(n));
    sigaddset(&set, crash_handoff_signal());
    return set;
}

bool install(int sig, Handler handler) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    return sigaction(sig, &sa, nullptr) == 0;
}

void restore_default(int sig) { install(sig, SIG_DFL); }

// The real handler of the crash signals: async-signal-safe work only.
void crash_entry(int sig) {
    int expected = 0;
    if (!g_crash_signal.compare_exchange_strong(expected, sig)) {
        for (;;) pause();  // another thread is already reporting a crash
    }
    g_crash_frame_count.store(backtrace(g_crash_frames, kMaxFrames), std::memory_order_release);
    if (static_cast<pid_t>(syscall(SYS_gettid)) == g_signal_thread_tid.load() || g_signal_thread_tid.load() == 0) {
        // Nobody left to hand over to: dump raw and end.
        static const char msg[] = "==========> crash in the signal thread, dump follows\n";
        ssize_t w = write(STDERR_FILENO, msg, sizeof msg - 1);
        (void)w;
        backtrace_symbols_fd(g_crash_frames, g_crash_frame_count.load(std::memory_order_relaxed), STDERR_FILENO);
        _exit(1);
    }
    kill(getpid(), crash_handoff_signal());
    for (;;) pause();  // never return into the fault
}

void* signal_thread_main(void*) {
    g_signal_thread_tid = static_cast<pid_t>(syscall(SYS_gettid));
    // A process-directed crash signal must reach a thread that can hand it over.
    sigset_t crash;
    sigemptyset(&crash);
    for (int s : kCrashSignals) sigaddset(&crash, s);
    pthread_sigmask(SIG_BLOCK, &crash, nullptr);

    sigset_t wanted = received_signals();
    for (;;) {
        siginfo_t info;
        int sig = sigwaitinfo(&wanted, &info);
        if (sig < 0) {
            if (errno == EINTR) continue;
            LOG_E(TAG_MAIN, "sigwaitinfo failed: %s", strerror(errno));
            continue;
        }
        if (sig == crash_handoff_signal()) {
            if (g_crash_handler) g_crash_handler(g_crash_signal.load());
            continue;
        }
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) != 0) continue;
        if (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN) {
            int n = nimbo_pay_signal_number(sig);
            LOG_D(TAG_MAIN, "signal %d (%d) has no handler, dropped", sig, n);
            continue;
        }
        current.sa_handler(sig);
    }
    return nullptr;
}

using nimbo::join;

void sleep_seconds(int seconds) {
    for (int i = 0; i < seconds && g_run_flag.load(); ++i) sleep(1);
}

}  // namespace

// ---- instance lock ------------------------------------------------------------------

int nimbo_utils_file_lock(int mode) {
    std::string path = nimbo::device_path(nimbo::dev::kInstanceLock);
    // The lock lives in the world-writable /tmp: a link planted there is refused, never followed.
    if (mode == 1) g_nimbo_lock_fd = nimbo::open_for_write(path.c_str(), O_RDWR | O_CREAT, 0600, TAG_UTILS);
    if (g_nimbo_lock_fd < 1) {
        LOG_E(TAG_UTILS, "open file[%s] failed", path.c_str());
        return NIMBO_ERR_FAILED;
    }
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = mode == 1 ? F_WRLCK : F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(g_nimbo_lock_fd, F_SETLK, &lock) != 0) {
        LOG_E(TAG_UTILS, "fcntl F_SETLK failed");
        close(g_nimbo_lock_fd);
        g_nimbo_lock_fd = -1;
        return NIMBO_ERR_FAILED;
    }
    if (mode == 1) {
        char line[256];
        int n = snprintf(line, sizeof line, "version: %s, build_type: %s, compile_time: %s\n", NIMBO_VERSION,
                         NIMBO_BUILD_TYPE, NIMBO_COMPILE_TIME);
        if (pwrite(g_nimbo_lock_fd, line, static_cast<size_t>(n), 0) != n)
            LOG_W(TAG_UTILS, "could not write the version line into %s", path.c_str());
        LOG_W(TAG_UTILS, "%s lock successfully", "place");
    } else {
        close(g_nimbo_lock_fd);
        g_nimbo_lock_fd = -1;
        unlink(path.c_str());
        LOG_W(TAG_UTILS, "%s lock successfully", "release");
    }
    return 0;
}

// ---- identity and paths -------------------------------------------------------------

void log_app_info(void) {
    char fw[256] = {0}, sys[256] = {0};
    int len = 0;
    hwlink_get_firmware_version(fw, &len);
    len = 0;
    hwlink_get_system_version(sys, &len);
    LOG_I(TAG_UTILS, "version: %s, versionCode: %d, build_type: %s, compile_time: %s", NIMBO_FULL_VERSION,
          NIMBO_VERSION_CODE, NIMBO_BUILD_TYPE, NIMBO_COMPILE_TIME);
    LOG_I(TAG_UTILS, "server url: %s", g_nimbo_server_url);
    LOG_I(TAG_UTILS, "device name: %s", g_device_name);
    LOG_I(TAG_UTILS, "device serialno: %s", g_device_serialno);
    LOG_I(TAG_UTILS, "device usrdata path: %s", g_device_userdata_path);
    LOG_I(TAG_UTILS, "device rootfs version: %s", fw);
    LOG_I(TAG_UTILS, "device oem version: %s", sys);
    LOG_I(TAG_UTILS, "device screen resolution: %dx%d", g_device_screen_width, g_device_screen_height);
}


// ---- start-up and exit ----------------------------------------------------------------

int nimbo_utils_init_function(Handler child_handler, Handler stop_handler, Handler crash_handler) {
    if (nimbo_utils_file_lock(1) != 0) {
        LOG_E(TAG_UTILS, "get lock failed, nimbo may have been initiated");
        exit(1);
    }
    if (!install(SIGCHLD, child_handler)) {
        LOG_E(TAG_UTILS, "Failed to register SIGCHLD signal");
        exit(1);
    }
    for (int s : kStopSignals) {
        if (!install(s, stop_handler)) {
            LOG_E(TAG_UTILS, "signal error");
            exit(1);
        }
    }
    g_crash_handler = crash_handler;
    void* warm[1];
    backtrace(warm, 1);  // loads the unwinder now, not inside the crash handler
    for (int s : kCrashSignals) {
        if (!install(s, crash_entry)) {
            LOG_E(TAG_UTILS, "crash signal error");
            exit(1);
        }
    }
    if (timer_create(CLOCK_REALTIME, nullptr, &g_devlock_timer_id) != 0) {
        LOG_E(TAG_UTILS, "timer_create");
        exit(1);
    }
    if (!install(SIGALRM, devlock_timer_handler) || !install(nimbo_pay_signal(94), devlock_timer_handler) ||
        !install(nimbo_pay_signal(93), devlock_timer_handler)) {
        LOG_E(TAG_UTILS, "signal[SIGALRM] error");
        exit(1);
    }
    if (pthread_mutex_init(&g_download_mutex, nullptr) != 0) {
        LOG_E(TAG_UTILS, "Mutex init failed");
        exit(1);
    }
    curl_global_init(CURL_GLOBAL_ALL);

    pthread_t tid;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&tid, &attr, signal_thread_main, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        LOG_E(TAG_UTILS, "signal thread: %s", strerror(rc));
        exit(1);
    }

    nimbo_globals_load_serialno();
    log_app_info();
    nimbo::build_paths();
    // The resource folder the payment application displays from: held from the start like
    // the folders above (a link in its place is refused here and at every poster command).
    nimbo_utils_ensure_directory_exists(mqtt_cmd_deal_poster::resource_dir().c_str());
    return 0;
}

int nimbo_utils_exit_function(void) {
    curl_global_cleanup();
    pthread_mutex_destroy(&g_download_mutex);
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGALRM, SIGILL, SIGBUS, SIGFPE, SIGSEGV}) restore_default(s);
    for (int n : {92, 93, 94}) restore_default(nimbo_pay_signal(n));
    if (timer_delete(g_devlock_timer_id) != 0) LOG_E(TAG_UTILS, "timer_delete");
    nimbo_utils_file_lock(0);
    return 0;
}

// ---- signal handlers (run on the signal thread) ----------------------------------------

static void sigchld_deal(int sig) {
    LOG_W(TAG_MAIN, "receive signal: %d[%s]", sig, strsignal(sig));
    nimbo_utils_reap_children();
}

// Workers see the cleared run flag in their transfers and sleeps and end as paused; they
// still use the MQTT client, the download mutex and libcurl, so the stop waits for them
// (bounded) before it takes those away.
static void stop_workers() {
    workers::request_stop();
    int running = workers::running();
    if (running == 0) return;
    LOG_I(TAG_MAIN, "waiting for %d workers to stop", running);
    if (workers::wait_idle(std::chrono::seconds(kWorkerStopSeconds)))
        LOG_I(TAG_MAIN, "workers stopped");
    else
        LOG_W(TAG_MAIN, "%d workers still running after %d seconds, stopping anyway", workers::running(),
              kWorkerStopSeconds);
}

static void process_exit(int sig) {
    LOG_W(TAG_MAIN, "receive signal: %d[%s]", sig, strsignal(sig));
    g_run_flag = 0;
    stop_workers();
    mqtt_logic_stop();
    nimbo_utils_exit_function();
    deinit_easylogger();
    // End at once: workers may still be inside a transfer, and static destructors running
    // under them would crash the exit.
    _exit(1);
}

static void crash_deal(int sig) {
    LOG_E(TAG_MAIN, "==========> catch signal %d[%s] <==========", sig, strsignal(sig));
    LOG_E(TAG_MAIN, "%s, version: %s, versionCode: %d, build_type: %s, compile_time: %s", NIMBO_PROGRAM_NAME,
          NIMBO_FULL_VERSION, NIMBO_VERSION_CODE, NIMBO_BUILD_TYPE, NIMBO_COMPILE_TIME);
    LOG_E(TAG_MAIN, "==========> Dump stack start...");
    const int frames = g_crash_frame_count.load(std::memory_order_acquire);
    CText symbols{reinterpret_cast<char*>(backtrace_symbols(g_crash_frames, frames))};
    if (symbols) {
        char** lines = reinterpret_cast<char**>(symbols.get());
        for (int i = 0; i < frames; ++i) LOG_E(TAG_MAIN, "%s", lines[i]);
        LOG_E(TAG_MAIN, "==========> Dump stack end...");
    } else {
        LOG_E(TAG_MAIN, "backtrace_symbols");
    }
    LOG_I(TAG_MAIN, "raise signal SIGTERM");
    raise(SIGTERM);  // blocked here: the signal thread takes it next and runs the stop path
}

int main(int argc, char** argv) {
    if (int rc = nimbo_cli_handle(argc, argv); rc >= 0) return rc;
    // Before any thread exists: every thread inherits this mask.
#ifdef __GLIBC__
    // Large blocks (an oversized message refused, transfer buffers) get their own mapping and
    // go back to the system when freed; by default glibc raises this threshold after the
    // first such block and keeps the later ones in its heaps for good.
    mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
    // One heap for every thread: each other arena keeps its own pages (16-20 KiB private
    // dirty idle, docs/performance.md); nothing here allocates hard enough in parallel to gain.
    mallopt(M_ARENA_MAX, kMallocArenas);
#endif
    sigset_t blocked = received_signals();
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a broken socket must not end the service

    char broker_url[256];
    char reply[1024];
    memset(broker_url, 0, sizeof broker_url);
    memset(reply, 0, sizeof reply);

    nimbo_utils_ini_config_deal();
    mqtt_utils::set_presence(nimbo::presence_configured());
    final_ack::apply(nimbo::final_ack_configured());

    std::string log_dir = join(g_device_userdata_path, "log");
    nimbo_utils_ensure_directory_exists(log_dir.c_str());
    std::string log_file = log_dir + "/nimbo_log.log";
    kx_log_init(log_file.c_str());

    nimbo_utils_init_function(sigchld_deal, process_exit, crash_deal);

    for (;;) {
        // No identity of its own, no session: every host without a serial would share one.
        if (nimbo_utils_load_serialno() != 0) {
            LOG_W(TAG_MAIN, "no device serial number, retrying in %d seconds...", kBootstrapRetrySeconds);
            sleep_seconds(kBootstrapRetrySeconds);
            continue;
        }
        int len = 0;
        int rc = nimbo_utils_request_api_v1_mqtt(g_nimbo_server_url, reply, &len);
        if (rc != 0) {
            const int delay = nimbo::spread_delay(kBootstrapRetrySeconds);
            LOG_W(TAG_MAIN, "get url failed, retrying in %d seconds...", delay);
            sleep_seconds(delay);
            continue;
        }
        if (len <= 0 || reply[0] == '\0') continue;
        memcpy(broker_url, reply, static_cast<size_t>(len) < sizeof broker_url ? static_cast<size_t>(len)
                                                                               : sizeof broker_url - 1);
        break;
    }
    LOG_I(TAG_MAIN, "nimbo mqtt_url: %s", broker_url);
    mqtt_logic::use_command_table(mqtt_cmd_deal::command_table());
    mqtt_logic_start(broker_url);

    while (g_run_flag.load()) {
        sleep(1);
        final_ack::tick(g_mqtt_client.load());  // final replies waiting for the server's acknowledgement
    }
    // The stop path clears the flag and ends the process itself; give it time to finish.
    for (int i = 0; i < 60; ++i) sleep(1);
    return 0;
}
