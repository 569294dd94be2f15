// JSON of the device information and system status snapshots (log tag "json_utils").
#pragma once

#include "device/nimbo_entities.h"

// Heap texts (free()); null with "Failed to create JSON object" when building fails.
char* json_utils_device_info_to_jsonstr(const DeviceInfo* info);
char* json_utils_sys_status_param_to_jsonstr(const SysStatusParam* status);
