// Parser of the bootstrap reply of "api/v1/mqtt".
#include <cstring>

#include "c_handles.hpp"
#include "json_utils.h"
#include "kx_log.h"
#include "result_codes.h"

#define JSON_UTILS_TAG "json_utils"

namespace {

// Copies a JSON string into a fixed field; a value that does not fit is refused, not cut.
bool copy_string(const cJSON* item, char* out, size_t size) {
    if (!cJSON_IsString(item) || item->valuestring == nullptr) return false;
    size_t len = std::strlen(item->valuestring);
    if (len >= size) return false;
    std::memcpy(out, item->valuestring, len + 1);
    return true;
}

}  // namespace

int json_utils_jsonstr_to_api_mqtt(const char* text, ApiMqttBean* out) {
    if (out == nullptr) {
        LOG_E(JSON_UTILS_TAG, "Invalid argument: data is NULL");
        return NIMBO_ERR_INVALID;
    }
    std::memset(out, 0, sizeof *out);
    if (text == nullptr) return NIMBO_ERR_FAILED;
    JsonPtr root{cJSON_Parse(text)};
    if (!root) {
        const char* where = cJSON_GetErrorPtr();
        if (where != nullptr) LOG_E(JSON_UTILS_TAG, "original: [%s], Error before: %s", text, where);
        return NIMBO_ERR_FAILED;
    }
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(root.get(), "code");
    if (!cJSON_IsNumber(code)) {
        LOG_E(JSON_UTILS_TAG, "Invalid 'code'");
        return NIMBO_ERR_FAILED;
    }
    out->code = code->valueint;
    if (!copy_string(cJSON_GetObjectItemCaseSensitive(root.get(), "message"), out->message, sizeof out->message)) {
        LOG_E(JSON_UTILS_TAG, "Invalid 'message'");
        return NIMBO_ERR_FAILED;
    }
    if (!copy_string(cJSON_GetObjectItemCaseSensitive(root.get(), "data"), out->data, sizeof out->data)) {
        LOG_E(JSON_UTILS_TAG, "Invalid 'data'");
        return NIMBO_ERR_FAILED;
    }
    return 0;
}
