// Alerts ("alert" reports) and the payment application's update signal 92.
#include "device/nimbo_utils_alert.h"

#include <string.h>
#include <time.h>

#include <atomic>

#include "c_handles.hpp"
#include "device/device_publisher.h"
#include "device/nimbo_utils_geofence.h"
#include "device/nimbo_utils_report.h"
#include "hwlink.h"
#include "json/json_utils.h"
#include "json/json_utils_control.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

namespace {

std::atomic<nimbo_alert::Clock> g_update_clock{nullptr};

// Time of the update signals: the system clock, never NTP (a signal must not wait on the
// network).
int64_t system_seconds() { return nimbo_utils_get_current_timeinfo(2).timestamp; }

}  // namespace

bool nimbo_alert::UpdateThrottle::accept(int64_t now, int64_t* remaining) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t left = last_ < 0 ? 0 : last_ + kUpdateThrottleSeconds - now;
    if (left > kUpdateThrottleSeconds) left = 0;  // the clock went back: count it as elapsed
    if (left > 0) {
        if (remaining) *remaining = left;
        return false;
    }
    last_ = now;
    if (remaining) *remaining = 0;
    return true;
}

int64_t nimbo_alert::UpdateThrottle::last() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
}

void nimbo_alert::UpdateThrottle::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    last_ = -1;
}

nimbo_alert::UpdateThrottle& nimbo_alert::update_throttle() {
    static UpdateThrottle throttle;
    return throttle;
}

void nimbo_alert::set_update_clock(Clock clock) { g_update_clock = clock; }

extern "C" {

int nimbo_utils_report_alert_info(MQTTAsync client, const char* sn, int state, const char* alert_name) {
    // Mode 1: the NTP servers are asked only while the clock is plainly unset.
    TimeInfo now = nimbo_utils_get_current_timeinfo(1);
    LocationDataParam position;
    memset(&position, 0, sizeof position);
    hwlink_get_last_lbs_info(&position);  // no position: empty texts
    CText alert{json_utils_alert_info_to_jsonstr(state, alert_name, now.datetime_str, position.coordinates,
                                                 position.location, "")};
    if (!alert) return NIMBO_ERR_FAILED;
    CText report{json_utils_embed_param_in_report_jsonstr("alert", sn, "", alert.get())};
    if (!report) return NIMBO_ERR_FAILED;
    // An answer of the payment application may arrive before the session exists.
    if (client == nullptr) {
        LOG_W(TAG_UTILS, "no mqtt client, alert %s not sent", alert_name ? alert_name : "");
        return NIMBO_ERR_FAILED;
    }
    return device::publish_report(client, report.get());
}

void sig_deal_update_info(int sig) {
    LOG_I(TAG_LOGIC, "receive signal: %d[%s]", sig, strsignal(sig));
    if (g_flag_mqtt_connect.load() == 0) {
        LOG_W(TAG_LOGIC, "mqtt is disconnect, report failed");
        return;
    }
    nimbo_alert::Clock clock = g_update_clock.load();
    int64_t now = clock ? clock() : system_seconds();
    int64_t left = 0;
    if (!nimbo_alert::update_throttle().accept(now, &left)) {
        LOG_W(TAG_LOGIC, "The %d signal is dropped because too frequent: %dh %dm %ds left", sig,
              static_cast<int>(left / 3600), static_cast<int>((left / 60) % 60), static_cast<int>(left % 60));
        return;
    }
    MQTTAsync client = device::session_client();
    if (nimbo_utils_report_device_info(client, g_device_serialno, 1) != 0)
        LOG_E(TAG_LOGIC, "report device info failed");
    if (nimbo_utils_geofence_deal(client, g_device_serialno) != 0) LOG_E(TAG_LOGIC, "geofence deal failed");
}

}  // extern "C"
