// The management-server bootstrap (log tag "nimbo_utils"): the broker address asked from
// "api/v1/mqtt" and the device serial number the session goes online with.
#pragma once

extern "C" {

int nimbo_utils_request_api_v1_mqtt(const char* server_url, char* out, int* out_len);
// 0 when the serial number can be the terminal's identity: not empty, not blank, no MQTT
// wildcard; -2 otherwise.
int nimbo_utils_check_serialno(const char* serial);
// Reads the serial number from the device into g_device_serialno; 0 when it is usable,
// -2 (logged) when the service must not go online with it.
int nimbo_utils_load_serialno(void);

}  // extern "C"
