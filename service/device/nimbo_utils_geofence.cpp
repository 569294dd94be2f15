// Geofence evaluation. States, by the files of the data directory:
//   no fence        no "lbs_geofence"
//   armed, inside   "lbs_geofence", no "lbs_geofence_flag"
//   fired           both: the device was found outside and locked (alert sent when asked)
// Leaving locks and raises "GeoFence"; coming back or removing the fence unlocks and clears
// it. The flag makes the alert once per excursion.
#include "device/nimbo_utils_geofence.h"

#include <ctype.h>
#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <mutex>

#include "c_handles.hpp"
#include "device/nimbo_utils_alert.h"
#include "device/nimbo_utils_devlock.h"
#include "hwlink.h"
#include "json/json_utils_control.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;
constexpr double kEarthRadiusKm = 6371.0;
constexpr int kLineSize = 1024;

// Evaluations come from the MQTT thread (command, connection) and the signal thread
// (signal 92); the flag file's state machine needs them one at a time.
std::mutex g_geofence_mutex;

int requested_lock_state(const std::string& path) {
    if (access(path.c_str(), R_OK) != 0) return 0;
    CText line{nimbo_utils_read_line_from_file2(path.c_str(), kLineSize)};
    return line ? static_cast<int>(strtol(line.get(), nullptr, 10)) : 0;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

extern "C" {

double haversine_distance(double lat1, double lon1, double lat2, double lon2) {
    double phi1 = lat1 * kDegreesToRadians, phi2 = lat2 * kDegreesToRadians;
    double dphi = (lat2 - lat1) * kDegreesToRadians, dlambda = (lon2 - lon1) * kDegreesToRadians;
    double s1 = sin(dphi * 0.5), s2 = sin(dlambda * 0.5);
    double a = s1 * s1 + cos(phi1) * cos(phi2) * s2 * s2;
    // Latitudes beyond +-90 degrees (accepted by the coordinate rule) can push `a` past 1,
    // and sqrt(1 - a) would be NaN: a NaN distance compares as "inside" and the fence never
    // fires. Clamped, the distance stays between 0 and half the circumference.
    a = a < 0.0 ? 0.0 : (a > 1.0 ? 1.0 : a);
    double c = 2 * atan2(sqrt(a), sqrt(1 - a));
    return c * kEarthRadiusKm * 1000.0;
}

int parse_fixed_format(const char* text, double* first, double* second) {
    if (text == nullptr || first == nullptr || second == nullptr) return 0;
    const char* comma = strchr(text, ',');
    if (comma == nullptr) return NIMBO_ERR_FAILED;
    char* end = nullptr;
    double a = strtod(text, &end);
    if (end == text || end != comma) return NIMBO_ERR_FAILED;
    const char* rest = comma + 1;
    double b = strtod(rest, &end);
    if (end == rest || *end != '\0') return NIMBO_ERR_FAILED;
    // "nan" and "inf" parse as numbers but compare as nothing: a fence would never fire.
    if (!isfinite(a) || !isfinite(b)) return NIMBO_ERR_FAILED;
    *first = a;
    *second = b;
    return 0;
}

}  // extern "C"

bool nimbo_geofence::parse_radius(const char* text, long* metres) {
    if (text == nullptr || metres == nullptr) return false;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text) return false;
    *metres = value;
    return true;
}

int nimbo_geofence::evaluate(const std::string& data_dir, const Actions& actions) {
    std::lock_guard<std::mutex> lock(g_geofence_mutex);
    const std::string fence_path = data_dir + "/lbs_geofence";
    const std::string flag_path = data_dir + "/lbs_geofence_flag";
    int requested = requested_lock_state(data_dir + "/devlock_state");
    bool fired = exists(flag_path);

    if (access(fence_path.c_str(), R_OK) != 0) {
        if (fired) {
            LOG_V(TAG_UTILS, "no geofence file but device is locked, unlock and skip");
            actions.report_alert(0);
            nimbo_utils_delete_file(flag_path.c_str());
            actions.request_lock(0);
        } else {
            LOG_V(TAG_UTILS, "no geofence file, skip");
        }
        return 0;
    }

    CText line{nimbo_utils_read_line_from_file2(fence_path.c_str(), kLineSize)};
    if (!line) {
        LOG_E(TAG_UTILS, "get geofence info failed");
        return NIMBO_ERR_FAILED;
    }
    GeofenceParam fence;
    if (json_utils_jsonstr_to_geofence_param(line.get(), &fence) != 0) {
        LOG_E(TAG_UTILS, "parse geofence info failed");
        return NIMBO_ERR_FAILED;
    }
    double fence_lon = 0, fence_lat = 0;
    if (parse_fixed_format(fence.geofenceCoordinates, &fence_lon, &fence_lat) != 0) {
        LOG_E(TAG_UTILS, "get coordinates from geofence failed");
        return NIMBO_ERR_FAILED;
    }
    // A radius that is not a number must not become 0 (every position would be outside).
    long radius = 0;
    if (!parse_radius(fence.geofenceRadius, &radius)) {
        LOG_E(TAG_UTILS, "get radius from geofence failed: [%s]", fence.geofenceRadius);
        return NIMBO_ERR_FAILED;
    }
    LocationDataParam position;
    memset(&position, 0, sizeof position);
    if (actions.position(&position) != 0) {
        LOG_E(TAG_UTILS, "get last lbs info failed");
        return NIMBO_ERR_FAILED;
    }
    double dev_lon = 0, dev_lat = 0;
    if (parse_fixed_format(position.coordinates, &dev_lon, &dev_lat) != 0) {
        LOG_E(TAG_UTILS, "get coordinates from last lbs info failed");
        return NIMBO_ERR_FAILED;
    }
    double distance = haversine_distance(fence_lat, fence_lon, dev_lat, dev_lon);
    int radius_m = radius > INT_MAX ? INT_MAX : radius < INT_MIN ? INT_MIN : static_cast<int>(radius);

    if (!(distance > static_cast<double>(radius))) {
        LOG_V(TAG_UTILS, "geofence: radius: %d, distance: %2.2f, state is ok", radius_m, distance);
        if (!fired) {
            LOG_V(TAG_UTILS, "no geofence disarming information required");
            return 0;
        }
        actions.request_lock(0);
        if (fence.pushAlert == 1 && actions.report_alert(0) != 0) return 0;  // retried next time
        nimbo_utils_delete_file(flag_path.c_str());
        return 0;
    }

    LOG_W(TAG_UTILS, "geofence: radius: %d, distance: %2.2f, state is triggered", radius_m, distance);
    if (fired) {
        if (requested == 1) {
            LOG_V(TAG_UTILS, "geofence messages has been reported, no need to report again");
        } else {
            LOG_W(TAG_UTILS, "geofence messages has been reported, but the device is unlocked, need to lock the device again");
            actions.request_lock(1);
        }
        return 0;
    }
    actions.request_lock(1);
    if (fence.pushAlert == 1 && actions.report_alert(1) != 0) return 0;  // retried next time
    if (!nimbo::write_line_file(flag_path.c_str(), "1", 0)) return NIMBO_ERR_FAILED;  // evaluated again next time
    return 0;
}

extern "C" int nimbo_utils_geofence_deal(MQTTAsync client, const char* sn) {
    std::string serial = sn ? sn : "";
    nimbo_geofence::Actions actions;
    actions.request_lock = [](int target) { return nimbo_utils_devlock_deal(target); };
    actions.report_alert = [client, serial](int state) {
        return nimbo_utils_report_alert_info(client, serial.c_str(), state, "GeoFence");
    };
    actions.position = [](LocationDataParam* position) { return hwlink_get_last_lbs_info(position); };
    try {
        return nimbo_geofence::evaluate(g_nimbo_data_path, actions);
    } catch (...) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
        return NIMBO_ERR_FAILED;
    }
}
