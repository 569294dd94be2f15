// The command table, the handlers' argument check and reply writer, and the organisation
// command.
#include "commands/mqtt_cmd_deal.h"

#include <cstring>

#include "c_handles.hpp"
#include "device/json_utils_report.h"
#include "device/nimbo_entities.h"
#include "session/final_ack.h"
#include "log_tags.h"
#include "result_codes.h"
#include "session/mqtt_utils_async.h"
#include "util/kx_log.h"

namespace {

// The three handlers with their own argument lists, seen through the common signature.
int query_sys_status_row(MQTTAsync, const RequestCmd*, char* out, int* out_len) {
    return mqtt_cmd_deal_query_sys_status(out, out_len);
}

int capture_log_query_row(MQTTAsync, const RequestCmd* request, char* out, int* out_len) {
    return mqtt_cmd_deal_capture_log_query(request ? request->param : nullptr, out, out_len);
}

const mqtt_cmd_deal::Command kCommands[] = {
    {"querySysStatus", mqtt_cmd_deal::Gate::none, query_sys_status_row},
    {"queryLog", mqtt_cmd_deal::Gate::none, capture_log_query_row},
    {"getLog", mqtt_cmd_deal::Gate::none, mqtt_cmd_deal_capture_log_get},
    {"apkUpgrade", mqtt_cmd_deal::Gate::task, mqtt_cmd_deal_apkupgrade},
    {"otaUpgrade", mqtt_cmd_deal::Gate::task, mqtt_cmd_deal_otaupgrade},
    {"customResourcePoster", mqtt_cmd_deal::Gate::task, mqtt_cmd_deal_custom_resource_poster},
    {"devOrgInfo", mqtt_cmd_deal::Gate::organisation, mqtt_cmd_deal_devorginfo},
    {"reboot", mqtt_cmd_deal::Gate::none, mqtt_cmd_deal_reboot},
    {"switchServerUrl", mqtt_cmd_deal::Gate::none, mqtt_cmd_deal_switch_server_url},
    {"geofence", mqtt_cmd_deal::Gate::none, mqtt_cmd_deal_lbs_geofence},
    {"devLock", mqtt_cmd_deal::Gate::none, mqtt_cmd_deal_devlock},
    {"setDevParam", mqtt_cmd_deal::Gate::none, mqtt_cmd_deal_set_dev_param},
    {"onOff", mqtt_cmd_deal::Gate::none, mqtt_cmd_deal_on_off_param},
    {"antPayCode", mqtt_cmd_deal::Gate::none, mqtt_cmd_ant_pay_deal},
    {"antPayStatus", mqtt_cmd_deal::Gate::none, mqtt_cmd_ant_pay_deal},
    {"finalAck", mqtt_cmd_deal::Gate::none, mqtt_cmd_deal_final_ack},
};

// An identifier becomes one topic level: it may hold no level separator or wildcard.
bool usable_level(const char* id) { return std::strpbrk(id, "/+#") == nullptr; }

}  // namespace

mqtt_cmd_deal::Table mqtt_cmd_deal::command_table() {
    return {kCommands, static_cast<int>(sizeof kCommands / sizeof kCommands[0])};
}

bool mqtt_cmd_deal::args_ok(char* out, int* out_len) {
    if (out != nullptr && out_len != nullptr) return true;
    LOG_E(TAG_DEAL, "out_data couldn't be empty");
    return false;
}

bool mqtt_cmd_deal::args_ok(MQTTAsync client, const RequestCmd* request, char* out, int* out_len) {
    return args_ok(out, out_len) && client != nullptr && request != nullptr && request->param[0] != '\0';
}

int mqtt_cmd_deal::parse_failure(int rc, const char* what) {
    LOG_E(TAG_DEAL, "parse %s param failed", what);
    return rc == NIMBO_ERR_OVERFLOW ? NIMBO_ERR_INVALID : NIMBO_ERR_FAILED;
}

bool mqtt_cmd_deal::put_reply(char* text, char* out, int* out_len) {
    CText owner{text};
    if (!owner) return false;
    size_t n = std::strlen(owner.get());
    if (n >= MQTT_DEAL_REPLY_SIZE) {
        LOG_E(TAG_DEAL, "reply of %zu bytes does not fit", n);
        return false;
    }
    std::memcpy(out, owner.get(), n + 1);
    *out_len = static_cast<int>(n);
    return true;
}

int mqtt_cmd_deal::reply_status(char* out, int* out_len, const char* status, const char* fail_des, int rc) {
    return put_reply(json_utils_generated_common_replay_param_to_jsonstr(status, fail_des), out, out_len)
               ? rc
               : NIMBO_ERR_FAILED;
}

std::vector<std::string> mqtt_cmd_deal::organisation_topics(const DevOrgInfoParam& param) {
    std::vector<std::string> topics;
    if (param.organizationId[0] == '\0') return topics;
    for (const char* id : {param.organizationId, param.departmentId, param.groupId}) {
        if (!usable_level(id)) {
            LOG_E(TAG_DEAL, "organisation identifier [%s] is not a topic level, nothing subscribed", id);
            return topics;
        }
    }
    std::string org = param.organizationId;
    topics.push_back("/e/" + org + "/ma/d/default");
    if (param.departmentId[0] != '\0') topics.push_back("/e/" + org + "/ma/d/" + param.departmentId);
    if (param.groupId[0] != '\0') topics.push_back("/e/" + org + "/ma/g/" + param.groupId);
    return topics;
}

extern "C" int mqtt_cmd_deal_devorginfo(MQTTAsync client, const RequestCmd* request, char* out, int* out_len) {
    if (!mqtt_cmd_deal::args_ok(out, out_len)) return NIMBO_ERR_FAILED;
    DevOrgInfoParam param;
    json_utils_jsonstr_to_dev_org_info_param(request ? request->param : nullptr, &param);
    for (const std::string& topic : mqtt_cmd_deal::organisation_topics(param))
        mqtt_utils_async_subscribe_topic(client, topic.c_str(), 0);
    return NIMBO_HANDLED;
}

// ---- querySysStatus ---------------------------------------------------------------------

extern "C" int mqtt_cmd_deal_query_sys_status(char* reply, int* reply_len) {
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
