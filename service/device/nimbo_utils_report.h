// Device-information report (log tag "nimbo_utils").
#pragma once

#include <MQTTAsync.h>

extern "C" {

// Publishes the "deviceInfo" report; location mode 1 takes the last known position.
// The publish result, or -8.
int nimbo_utils_report_device_info(MQTTAsync client, const char* sn, int mode);

}  // extern "C"
