// JSON form of a position fix: {"coordinates","location","timestamp"} (log tag "json_utils").
#include <inttypes.h>
#include <stdio.h>

#include "c_handles.hpp"
#include "json/json_fields.h"
#include "json/json_utils_location.h"
#include "log_tags.h"
#include "util/kx_log.h"

extern "C" int json_utils_jsonstr_to_location_data_param(const char* text, LocationDataParam* out) {
    return json_fields::parse_record(text, out, [out](const cJSON* r) {
        if (!json_fields::copy_members(r, {{"coordinates", out->coordinates}, {"location", out->location}}))
            return false;
        json_fields::copy_size(json_fields::member(r, "timestamp"), "timestamp", &out->timestamp);  // else 0
        return true;
    }, NIMBO_ERR_INVALID);  // the library calls it back: its results stay as they were
}

char* json_utils_location_data_to_jsonstr(const char* coordinates, const char* location, uint64_t timestamp) {
    char ts[32];
    snprintf(ts, sizeof ts, "%" PRIu64, timestamp);
    JsonPtr root{cJSON_CreateObject()};
    if (!root || !cJSON_AddStringToObject(root.get(), "coordinates", json_fields::or_empty(coordinates)) ||
        !cJSON_AddStringToObject(root.get(), "location", json_fields::or_empty(location)) ||
        !cJSON_AddStringToObject(root.get(), "timestamp", ts)) {
        LOG_E(TAG_JSON, "Failed to create JSON object");
        return nullptr;
    }
    return json_fields::print(root.get());
}
