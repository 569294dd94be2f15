// Envelopes, the command request, the backup-file header and the organisation parameters.
#include "json/json_utils.h"

#include <cstring>

#include "c_handles.hpp"
#include "json/json_fields.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"

namespace {

using json_fields::copy_member;
using json_fields::or_empty;
using json_fields::print;

// A complete JSON text: nothing but blanks may follow the value.
JsonPtr parse_logged(const char* text) { return json_fields::parse_logged(text, true); }

// The common envelope {"cmd","sn","taskId"?}.
JsonPtr envelope(const char* cmd, const char* suffix, const char* sn, const char* task_id) {
    JsonPtr root{cJSON_CreateObject()};
    if (!root) {
        LOG_E(TAG_JSON, "Failed to create JSON object");
        return nullptr;
    }
    std::string name = std::string(or_empty(cmd)) + suffix;
    if (!cJSON_AddStringToObject(root.get(), "cmd", name.c_str()) ||
        !cJSON_AddStringToObject(root.get(), "sn", or_empty(sn)) ||
        (task_id && *task_id && !cJSON_AddStringToObject(root.get(), "taskId", task_id))) {
        LOG_E(TAG_JSON, "Failed to create JSON object");
        return nullptr;
    }
    return root;
}

// Adds the parsed param text as "param"; false when it does not parse.
bool add_param(cJSON* root, const char* param) {
    JsonPtr value = parse_logged(or_empty(param));
    if (!value) return false;
    cJSON_AddItemToObject(root, "param", value.release());
    return true;
}

}  // namespace

extern "C" char* json_utils_embed_param_in_replay_jsonstr(const char* cmd, const char* sn,
                                                          const char* task_id, const char* param) {
    JsonPtr root = envelope(cmd, "Resp", sn, task_id);
    if (!root) return nullptr;
    if (param && *param && !add_param(root.get(), param)) return nullptr;
    return print(root.get());
}

extern "C" char* json_utils_embed_param_in_report_jsonstr(const char* cmd, const char* sn,
                                                          const char* task_id, const char* param) {
    JsonPtr root = envelope(cmd, "", sn, task_id);
    if (!root || !add_param(root.get(), param)) return nullptr;
    return print(root.get());
}

extern "C" char* json_utils_create_empty_param_report_jsonstr(const char* cmd, const char* sn,
                                                              const char* task_id) {
    JsonPtr root = envelope(cmd, "", sn, task_id);
    return root ? print(root.get()) : nullptr;
}

extern "C" char* json_utils_generated_common_replay_param_to_jsonstr(const char* status, const char* fail_des) {
    JsonPtr root{cJSON_CreateObject()};
    if (!root || !cJSON_AddStringToObject(root.get(), "status", or_empty(status)) ||
        !cJSON_AddStringToObject(root.get(), "failDes", or_empty(fail_des))) {
        LOG_E(TAG_JSON, "Failed to create JSON object");
        return nullptr;
    }
    return print(root.get());
}

extern "C" char* json_utils_embed_jsonstr_param_in_jsonstr(const char* container, const char* item) {
    if (container == nullptr || item == nullptr) return nullptr;
    JsonPtr array = parse_logged(container);
    if (!array) return nullptr;
    if (!cJSON_IsArray(array.get())) {
        LOG_E(TAG_JSON, "not a JSON array: [%s]", container);
        return nullptr;
    }
    JsonPtr value = parse_logged(item);
    if (!value) return nullptr;
    cJSON_AddItemToArray(array.get(), value.release());
    return print(array.get());
}

extern "C" int json_utils_jsonstr_get_taskid_and_cmd(const char* text, char* task_id, char* cmd) {
    if (task_id == nullptr && cmd == nullptr) {
        LOG_E(TAG_JSON, "Invalid argument: taskId or cmd is NULL");
        return NIMBO_ERR_INVALID;
    }
    JsonPtr root = parse_logged(text);
    if (!root) return NIMBO_ERR_INVALID;
    bool fits = true;
    if (task_id) fits = copy_member(root.get(), "taskId", task_id, 256) && fits;
    if (cmd) fits = copy_member(root.get(), "cmd", cmd, 256) && fits;
    return fits ? 0 : -2;
}

int json_utils::parse_request(const char* text, const char* default_sn, RequestCmd* out, unsigned* overflow) {
    unsigned over = kOverflowNone;
    if (overflow) *overflow = over;
    JsonPtr root = json_fields::parse_into(text, out, true);
    if (!root) return NIMBO_ERR_INVALID;
    if (json_fields::has_escaped_nul(text)) {
        LOG_E(TAG_JSON, "request refused: a text holds a NUL character");
        return NIMBO_ERR_INVALID;
    }

    if (!copy_member(root.get(), "cmd", out->cmd, sizeof(out->cmd))) over |= kOverflowCmd;
    if (!copy_member(root.get(), "taskId", out->taskId, sizeof(out->taskId))) over |= kOverflowTaskId;
    if (!copy_member(root.get(), "sn", out->sn, sizeof(out->sn))) over |= kOverflowSn;
    if (out->sn[0] == '\0' && !(over & kOverflowSn) && default_sn && *default_sn) {
        size_t len = std::strlen(default_sn);
        if (len < sizeof(out->sn)) std::memcpy(out->sn, default_sn, len + 1);
    }

    const cJSON* param = cJSON_GetObjectItemCaseSensitive(root.get(), "param");
    if (cJSON_IsObject(param)) {
        CText printed{print(param)};
        if (!printed) return NIMBO_ERR_INVALID;
        size_t len = std::strlen(printed.get());
        if (len < sizeof(out->param)) {
            std::memcpy(out->param, printed.get(), len + 1);
        } else {
            LOG_E(TAG_JSON, "'param' is too long: %zu characters, at most %zu", len, sizeof(out->param) - 1);
            over |= kOverflowParam;
        }
    } else if (!copy_member(root.get(), "param", out->param, sizeof(out->param))) {
        over |= kOverflowParam;
    }
    if (overflow) *overflow = over;
    return over == kOverflowNone ? 0 : -6;
}

extern "C" int json_utils_jsonstr_to_request_cmd(const char* text, const char* default_sn, RequestCmd* out) {
    return json_utils::parse_request(text, default_sn, out, nullptr);
}

extern "C" int json_utils_jsonstr_to_dev_org_info_param(const char* text, DevOrgInfoParam* out) {
    return json_fields::parse_record(
        text, out,
        [out](const cJSON* r) {
            return json_fields::copy_members(r, {{"organizationId", out->organizationId},
                                                 {"departmentId", out->departmentId},
                                                 {"groupId", out->groupId}});
        },
        NIMBO_ERR_OVERFLOW, true);
}
