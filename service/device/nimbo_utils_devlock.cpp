// Device lock. The requested state is recorded in "devlock_state" (the admission rule reads
// it); the payment application is asked by signal (94 lock, 93 unlock), 5 seconds after the
// request and then every 180 seconds until it answers with the same signal; its answer
// raises the "LockDevice" alert.
#include "device/nimbo_utils_devlock.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>

#include "c_handles.hpp"
#include "device/device_publisher.h"
#include "device/nimbo_utils_alert.h"
#include "hwlink.h"
#include "log_tags.h"
#include "pay_signals.h"
#include "result_codes.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

std::atomic<int> g_devlock_target_state{-1};

namespace {

// Serialises requests (MQTT thread, start-up, geofence on the signal thread) and the
// timer handler: the target and the timer change together.
std::mutex g_devlock_mutex;

std::string state_file() { return std::string(g_nimbo_data_path) + "/devlock_state"; }

bool set_timer(int first_seconds, int period_seconds) {
    struct itimerspec when;
    memset(&when, 0, sizeof when);
    when.it_value.tv_sec = first_seconds;
    when.it_interval.tv_sec = period_seconds;
    return timer_settime(g_devlock_timer_id, 0, &when, nullptr) == 0;
}

bool disarm() { return timer_stop(g_devlock_timer_id) == 0; }

}  // namespace

extern "C" {

int timer_stop(timer_t timer_id) {
    struct itimerspec when;
    memset(&when, 0, sizeof when);
    return timer_settime(timer_id, 0, &when, nullptr) == 0 ? 0 : -8;
}

int nimbo_utils_devlock_deal(int target_state) {
    std::lock_guard<std::mutex> lock(g_devlock_mutex);
    disarm();
    int bind_state = 0, now_state = 0;
    hwlink_get_alibankApp_state(&bind_state, &now_state);
    if (static_cast<unsigned>(now_state) >= 2) {
        LOG_E(TAG_UTILS, "now_state illegal, unknown error");
        return NIMBO_ERR_FAILED;
    }
    std::string path = state_file();
    int target = target_state;
    if (target_state == nimbo_devlock::kRecover) {
        CText line{nimbo_utils_read_line_from_file2(path.c_str(), 1024)};
        if (!line) {
            LOG_V(TAG_UTILS, "no backup data, skip recovery devlock");
            return -4;
        }
        target = static_cast<int>(strtol(line.get(), nullptr, 10));
        LOG_V(TAG_UTILS, "now state: %d, target state: %d, try to recovery state", now_state, target);
    } else {
        LOG_V(TAG_UTILS, "now state: %d, target state: %d, try to change state", now_state, target);
        // Written before anything else: the admission rule follows the request at once. A
        // request that was not stored is not acted on (the command fails).
        if (!nimbo::write_line_file(path.c_str(), target == 1 ? "1" : "0", 0)) return NIMBO_ERR_FAILED;
    }
    if (now_state == target) {
        LOG_V(TAG_UTILS, "now state is the same as target state, no need to do, now state: %d", now_state);
        return 0;
    }
    g_devlock_target_state = target;
    if (!set_timer(nimbo_devlock::kFirstSignalSeconds, nimbo_devlock::kRepeatSeconds)) {
        LOG_E(TAG_UTILS, "timer_settime");
        return NIMBO_ERR_FAILED;
    }
    return 0;
}

void devlock_timer_handler(int sig) {
    int target = g_devlock_target_state.load();
    LOG_I(TAG_UTILS, "receive signal: %d[%s], state: %d", sig, strsignal(sig), target);
    int reported;
    {
        std::lock_guard<std::mutex> lock(g_devlock_mutex);
        target = g_devlock_target_state.load();
        if (sig == SIGALRM) {
            LOG_V(TAG_UTILS, "The devLock timer triggered");
            if (static_cast<unsigned>(target) < 2) {
                hwlink_send_signal_to_alibankApp(target == 0 ? 93 : 94);
            } else if (!disarm()) {
                LOG_E(TAG_UTILS, "g_devlock_target_state illegal, cancel timer");
            }
            return;
        }
        if (sig == nimbo_pay_signal(94)) {
            if (target != 1) {
                LOG_E(TAG_UTILS, "error state");
                return;
            }
            LOG_I(TAG_UTILS, "device lock successfully");
        } else if (sig == nimbo_pay_signal(93)) {
            if (target != 0) {
                LOG_E(TAG_UTILS, "error state");
                return;
            }
            LOG_I(TAG_UTILS, "device unlock successfully");
        } else {
            LOG_E(TAG_UTILS, "error signal");
            return;
        }
        if (!disarm()) LOG_E(TAG_UTILS, "g_devlock_target_state illegal, cancel timer");
        reported = target;
    }
    // Outside the lock: publishing must not hold up a request on the MQTT thread.
    nimbo_utils_report_alert_info(device::session_client(), g_device_serialno, reported, "LockDevice");
}

int nimbo_utils_get_devlock_state(void) {
    std::string path = state_file();
    CText line{nimbo_utils_read_line_from_file2(path.c_str(), 1024)};
    if (!line) return 0;
    return strtol(line.get(), nullptr, 10) == 1 ? -8 : 0;
}

}  // extern "C"
