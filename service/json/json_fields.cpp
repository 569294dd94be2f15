#include "json/json_fields.h"

#include <errno.h>
#include <stdlib.h>

#include "log_tags.h"
#include "util/kx_log.h"

JsonPtr json_fields::parse_logged(const char* text, bool whole_text) {
    const char* end = nullptr;
    JsonPtr json{cJSON_ParseWithOpts(or_empty(text), &end, whole_text ? 1 : 0)};
    if (!json && end != nullptr) LOG_E(TAG_JSON, "original: [%s], Error before: %s", or_empty(text), end);
    return json;
}

bool json_fields::null_record(const void* record) {
    if (record != nullptr) return false;
    LOG_E(TAG_JSON, "Invalid argument: data is NULL");
    return true;
}

char* json_fields::print(const cJSON* json) {
    char* text = cJSON_PrintUnformatted(json);  // malloc'd: cJSON's allocator is malloc
    if (text == nullptr) LOG_E(TAG_JSON, "Failed to create JSON object");
    return text;
}

bool json_fields::copy_text(const cJSON* item, const char* key, char* field, size_t size) {
    if (!cJSON_IsString(item) || item->valuestring == nullptr) return true;
    size_t n = strlen(item->valuestring);
    if (n >= size) {
        LOG_E(TAG_JSON, "'%s' too long (%zu bytes, at most %zu)", or_empty(key), n, size - 1);
        return false;
    }
    memcpy(field, item->valuestring, n + 1);
    return true;
}

bool json_fields::copy_members(const cJSON* obj, std::initializer_list<TextField> fields) {
    for (const TextField& f : fields)
        if (!copy_member(obj, f.key, f.field, f.size)) return false;
    return true;
}

bool json_fields::copy_size(const cJSON* item, const char* key, uint64_t* out) {
    if (!cJSON_IsString(item) || item->valuestring == nullptr || item->valuestring[0] == '\0') return true;
    const char* text = item->valuestring;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            LOG_E(TAG_JSON, "'%s' is not a decimal number: %.64s", key, text);
            return false;
        }
    }
    errno = 0;
    unsigned long long value = strtoull(text, nullptr, 10);
    if (errno == ERANGE) {
        LOG_E(TAG_JSON, "'%s' does not fit 64 bits: %.64s", key, text);
        return false;
    }
    *out = static_cast<uint64_t>(value);
    return true;
}

bool json_fields::has_escaped_nul(const char* text) {
    for (const char* p = or_empty(text); *p; ++p) {
        if (*p != '\\') continue;
        if (p[1] == 'u' && strncmp(p + 2, "0000", 4) == 0) return true;
        if (p[1] != '\0') ++p;  // skip the escaped character, e.g. the second half of "\\"
    }
    return false;
}
