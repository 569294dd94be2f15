// The device-information report and the system-status answer. The answer's handler
// (mqtt_cmd_deal_query_sys_status) lives here, beside the report, because both are built
// from the same device records.
#include "nimbo_utils_report.h"

#include <string.h>

#include <memory>

#include "c_handles.hpp"
#include "json_utils.h"
#include "json_utils_report.h"
#include "kx_log.h"
#include "log_tags.h"
#include "mqtt_cmd_deal.h"
#include "mqtt_utils_async.h"
#include "nimbo_entities.h"
#include "result_codes.h"

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
    return mqtt_utils_async_publish_report_message(client, envelope.get());
}

int mqtt_cmd_deal_query_sys_status(char* reply, int* reply_len) {
    if (!mqtt_cmd_deal::args_ok(reply, reply_len)) return NIMBO_ERR_FAILED;
    SysStatusParam status;
    nimbo_entities_init_sys_status_param(&status);
    char* json = json_utils_sys_status_param_to_jsonstr(&status);
    if (json == nullptr) {
        LOG_E(TAG_DEAL, "jsonstr is NULL");
        return NIMBO_ERR_FAILED;
    }
    return mqtt_cmd_deal::put_reply(json, reply, reply_len) ? 0 : NIMBO_ERR_FAILED;
}
