// Geofence: the stored fence, its evaluation against the device's last known position
// and the lock and alert it drives (log tag "nimbo_utils").
#pragma once

#include <MQTTAsync.h>

#include <functional>
#include <string>

#include "nimbo_exports.h"  // LocationDataParam

extern "C" {

// Evaluates the fence; 0 or -8.
int nimbo_utils_geofence_deal(MQTTAsync client, const char* sn);

// Great-circle distance in metres between two points given in degrees.
double haversine_distance(double lat1, double lon1, double lat2, double lon2);

// "number,number" and nothing else: 0 with both numbers, -8 when rejected; 0 without
// parsing when an argument is null.
int parse_fixed_format(const char* text, double* first, double* second);

}  // extern "C"

namespace nimbo_geofence {

// What an evaluation acts through; the service binds them to the device lock, the alert
// report and the library's last known position.
struct Actions {
    std::function<int(int target)> request_lock;                 // 1 lock, 0 unlock
    std::function<int(int state)> report_alert;                  // "GeoFence": 1 active, 0 cleared
    std::function<int(LocationDataParam* position)> position;   // 0 when filled
};

// The evaluation over the files of `data_dir` ("lbs_geofence", "lbs_geofence_flag",
// "devlock_state"). Evaluations are serialised. 0 or -8.
int evaluate(const std::string& data_dir, const Actions& actions);

// The radius text in metres: the base-10 integer its text begins with ("+500" and
// "500.9" are 500); false when it does not begin with a number.
bool parse_radius(const char* text, long* metres);

}  // namespace nimbo_geofence
