// The device-information report, published through the session's publisher.
#include "device/nimbo_utils_report.h"

#include <string.h>

#include <memory>

#include "c_handles.hpp"
#include "device/device_publisher.h"
#include "device/json_utils_report.h"
#include "device/nimbo_entities.h"
#include "json/json_utils.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"

extern "C" int nimbo_utils_report_device_info(MQTTAsync client, const char* sn, int location_mode) {
    // The record is large (applications and hardware arrays): heap, not stack.
    auto info = std::make_unique<DeviceInfo>();
    nimbo_entities_init_device_info(info.get(), location_mode);
    CText json{json_utils_device_info_to_jsonstr(info.get())};
    CText envelope{json ? json_utils_embed_param_in_report_jsonstr("deviceInfo", sn ? sn : "", "", json.get())
                        : nullptr};
    if (!envelope) {
        LOG_E(TAG_UTILS, "make json failed");
        return NIMBO_ERR_FAILED;
    }
    return device::publish_report(client, envelope.get());
}
