// JSON form of a position fix: {"coordinates","location","timestamp"} (log tag "json_utils").
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "c_handles.hpp"
#include "json_utils_location.h"
#include "json_fields.h"
#include "kx_log.h"
#include "result_codes.h"

#define JSON_TAG "json_utils"

namespace {

// Copies a string member into a fixed field; a value that does not fit is refused.
bool copy_member(const cJSON* obj, const char* key, char* field, size_t size) {
    return json_fields::copy_text(cJSON_GetObjectItemCaseSensitive(obj, key), key, field, size);
}

}  // namespace

extern "C" int json_utils_jsonstr_to_location_data_param(const char* text, LocationDataParam* out) {
    if (out == nullptr) {
        LOG_E(JSON_TAG, "Invalid argument: data is NULL");
        return NIMBO_ERR_INVALID;
    }
    memset(out, 0, sizeof *out);
    JsonPtr root{cJSON_Parse(text ? text : "")};
    if (!root) {
        const char* pos = cJSON_GetErrorPtr();
        if (pos) LOG_E(JSON_TAG, "original: [%s], Error before: %s", text ? text : "", pos);
        return NIMBO_ERR_INVALID;
    }
    if (!copy_member(root.get(), "coordinates", out->coordinates, sizeof out->coordinates) ||
        !copy_member(root.get(), "location", out->location, sizeof out->location)) {
        memset(out, 0, sizeof *out);
        return NIMBO_ERR_INVALID;
    }
    const cJSON* ts = cJSON_GetObjectItemCaseSensitive(root.get(), "timestamp");
    if (cJSON_IsString(ts) && ts->valuestring) out->timestamp = strtoull(ts->valuestring, nullptr, 10);
    return 0;
}

char* json_utils_location_data_to_jsonstr(const char* coordinates, const char* location, uint64_t timestamp) {
    char ts[32];
    snprintf(ts, sizeof ts, "%" PRIu64, timestamp);
    JsonPtr root{cJSON_CreateObject()};
    if (!root || !cJSON_AddStringToObject(root.get(), "coordinates", coordinates ? coordinates : "") ||
        !cJSON_AddStringToObject(root.get(), "location", location ? location : "") ||
        !cJSON_AddStringToObject(root.get(), "timestamp", ts)) {
        LOG_E(JSON_TAG, "Failed to create JSON object");
        return nullptr;
    }
    return cJSON_PrintUnformatted(root.get());
}
