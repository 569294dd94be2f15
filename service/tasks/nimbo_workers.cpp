// The counted launcher of detached workers, the sleep that wakes at stop and the download slot.
#include "tasks/nimbo_workers.h"

#include <pthread.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

#include "log_tags.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"

namespace {

constexpr int kKinds = 5;
const char* const kNames[kKinds] = {"application upgrade", "firmware upgrade", "log upload", "poster",
                                    "server switch"};
// What a worker that ended on an exception logs (tag "mqtt_adeal").
const char* const kEnded[kKinds] = {"apk upgrade worker ended: out of memory",
                                    "ota upgrade worker ended: out of memory",
                                    "log upload worker ended: out of memory", "Memory allocation failed",
                                    "Memory allocation failed"};

struct State {
    std::mutex mutex;
    std::condition_variable changed;  // a worker ended, or the service stops
    int count[kKinds] = {};
    int total = 0;
};

State& state() {
    static State* s = new State;  // never destroyed: detached threads may outlive exit
    return *s;
}

struct Launch {
    std::function<void()> job;
    int kind;
};

void* trampoline(void* arg) {
    std::unique_ptr<Launch> launch{static_cast<Launch*>(arg)};
    const int kind = launch->kind;
    try {
        launch->job();
    } catch (...) {
        LOG_E(TAG_ADEAL, "%s", kEnded[kind]);
    }
    launch.reset();
    State& s = state();
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        --s.count[kind];
        last = --s.total == 0;
        s.changed.notify_all();
    }
#ifdef __GLIBC__
    // A transfer leaves its buffers (curl, the digest, the archive check) freed inside the heap,
    // where glibc keeps them as dirty pages for good: about 160 KiB a terminal after a
    // download. The last worker out gives them back, so an idle agent stays at its idle size.
    if (last) malloc_trim(0);
#else
    (void)last;
#endif
    return nullptr;
}

class DownloadLock {
public:
    DownloadLock() { pthread_mutex_lock(&g_download_mutex); }
    ~DownloadLock() { pthread_mutex_unlock(&g_download_mutex); }
    DownloadLock(const DownloadLock&) = delete;
    DownloadLock& operator=(const DownloadLock&) = delete;
};

}  // namespace

bool workers::start(Kind kind, std::function<void()> job) {
    const int k = static_cast<int>(kind);
    State& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.count[k] >= kPerKind) {
            LOG_E(TAG_UTILS, "too many %s workers (%d), request refused", kNames[k], s.count[k]);
            return false;
        }
        ++s.count[k];
        ++s.total;
    }
    int rc = -1;
    Launch* launch = nullptr;
    try {
        launch = new Launch{std::move(job), k};
    } catch (...) {
    }
    pthread_attr_t attr;
    if (launch != nullptr && pthread_attr_init(&attr) == 0) {
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t tid;
        if (rc == 0) rc = pthread_create(&tid, &attr, trampoline, launch);
        pthread_attr_destroy(&attr);
    }
    if (rc == 0) return true;
    delete launch;
    LOG_E(TAG_UTILS, "pthread_create failed");
    std::lock_guard<std::mutex> lock(s.mutex);
    --s.count[k];
    --s.total;
    s.changed.notify_all();
    return false;
}

int workers::running(Kind kind) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.count[static_cast<int>(kind)];
}

int workers::running() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.total;
}

bool workers::sleep_for(std::chrono::milliseconds d) {
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    s.changed.wait_for(lock, d, [] { return g_run_flag.load() == 0; });
    return g_run_flag.load() != 0;
}

void workers::request_stop() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.changed.notify_all();
}

bool workers::wait_idle(std::chrono::milliseconds limit) {
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.changed.wait_for(lock, limit, [&s] { return s.total == 0; });
}

// ---- downloads -------------------------------------------------------------------------

bool workers::DownloadSlot::acquire() {
    DownloadLock lock;
    held_ = g_flag_download_running.load() == 0;
    if (held_) g_flag_download_running.store(1);
    return held_;
}

workers::DownloadSlot::~DownloadSlot() {
    if (!held_) return;
    DownloadLock lock;
    g_flag_download_running.store(0);
}
