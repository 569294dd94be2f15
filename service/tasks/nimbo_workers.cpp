// The counted launcher of detached workers and the sleep that wakes at stop.
#include "nimbo_workers.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <new>

#include "kx_log.h"
#include "nimbo_globals.h"

#define TAG "nimbo_utils"

namespace {

constexpr int kKinds = 5;
const char* const kNames[kKinds] = {"application upgrade", "firmware upgrade", "log upload", "poster",
                                    "server switch"};

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
    void* (*body)(void*);
    void* record;
    int kind;
};

void* trampoline(void* arg) {
    Launch launch = *static_cast<Launch*>(arg);
    delete static_cast<Launch*>(arg);
    launch.body(launch.record);
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    --s.count[launch.kind];
    --s.total;
    s.changed.notify_all();
    return nullptr;
}

}  // namespace

bool workers::start(Kind kind, void* (*body)(void*), void* record) {
    const int k = static_cast<int>(kind);
    State& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.count[k] >= kPerKind) {
            LOG_E(TAG, "too many %s workers (%d), request refused", kNames[k], s.count[k]);
            return false;
        }
        ++s.count[k];
        ++s.total;
    }
    int rc = -1;
    auto* launch = new (std::nothrow) Launch{body, record, k};
    pthread_attr_t attr;
    if (launch != nullptr && pthread_attr_init(&attr) == 0) {
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t tid;
        if (rc == 0) rc = pthread_create(&tid, &attr, trampoline, launch);
        pthread_attr_destroy(&attr);
    }
    if (rc == 0) return true;
    delete launch;
    LOG_E(TAG, "pthread_create failed");
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
