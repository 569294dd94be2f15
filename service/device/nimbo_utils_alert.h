// Alerts to the server and the payment application's "device information changed" signal
// (log tags "nimbo_utils" and "mqtt_logic").
#pragma once

#include <MQTTAsync.h>
#include <stdint.h>

#include <mutex>

extern "C" {

// Publishes the "alert" report (state 1 "active", otherwise "cleared") with the device's
// last known position. 0 when accepted for publishing, the publish failure, or -8.
int nimbo_utils_report_alert_info(MQTTAsync client, const char* sn, int state, const char* alert_name);

// Signal 92 (device information changed): a new "deviceInfo" report and a geofence
// evaluation, at most once a minute. Runs on the signal thread.
void sig_deal_update_info(int sig);

}  // extern "C"

namespace nimbo_alert {

constexpr int64_t kUpdateThrottleSeconds = 60;

// The once-a-minute rule of the update signal. The signal thread accepts signals; the
// session's connection-lost callback resets it from another thread.
class UpdateThrottle {
public:
    // True when a signal at `now` is accepted (and then remembered); else `*remaining`
    // receives the seconds left. A clock that went back behind the last accepted signal
    // counts as elapsed: a clock correction must not silence the reports for hours.
    bool accept(int64_t now, int64_t* remaining);
    int64_t last() const;
    // Forgets the last accepted signal: the next one is accepted at once.
    void reset();

private:
    mutable std::mutex mutex_;
    int64_t last_ = -1;
};

// The service's throttle, and its clock (seconds; tests substitute it).
UpdateThrottle& update_throttle();
using Clock = int64_t (*)();
void set_update_clock(Clock clock);  // null restores the system clock

}  // namespace nimbo_alert
