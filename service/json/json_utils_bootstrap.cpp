// Parser of the bootstrap reply of "api/v1/mqtt".
#include <cstring>

#include "c_handles.hpp"
#include "json/json_fields.h"
#include "json/json_utils.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"

namespace {

// A JSON string into a fixed field; anything else, or a value that does not fit, is refused.
bool copy_string(const cJSON* item, const char* key, char* out, size_t size) {
    return cJSON_IsString(item) && json_fields::copy_text(item, key, out, size);
}

}  // namespace

int json_utils_jsonstr_to_api_mqtt(const char* text, ApiMqttBean* out) {
    if (out == nullptr) {
        LOG_E(TAG_JSON, "Invalid argument: data is NULL");
        return NIMBO_ERR_INVALID;
    }
    std::memset(out, 0, sizeof *out);
    if (text == nullptr) return NIMBO_ERR_FAILED;
    JsonPtr root = json_fields::parse_logged(text);
    if (!root) return NIMBO_ERR_FAILED;
    const cJSON* code = json_fields::member(root.get(), "code");
    if (!cJSON_IsNumber(code)) {
        LOG_E(TAG_JSON, "Invalid 'code'");
        return NIMBO_ERR_FAILED;
    }
    out->code = code->valueint;
    if (!copy_string(json_fields::member(root.get(), "message"), "message", out->message, sizeof out->message)) {
        LOG_E(TAG_JSON, "Invalid 'message'");
        return NIMBO_ERR_FAILED;
    }
    if (!copy_string(json_fields::member(root.get(), "data"), "data", out->data, sizeof out->data)) {
        LOG_E(TAG_JSON, "Invalid 'data'");
        return NIMBO_ERR_FAILED;
    }
    return 0;
}
