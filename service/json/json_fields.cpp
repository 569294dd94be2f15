#include "json_fields.h"

#include <string.h>

#include "kx_log.h"

bool json_fields::copy_text(const cJSON* item, const char* key, char* field, size_t size) {
    if (!cJSON_IsString(item) || item->valuestring == nullptr) return true;
    size_t n = strlen(item->valuestring);
    if (n >= size) {
        LOG_E("json_utils", "'%s' too long (%zu bytes, at most %zu)", key ? key : "", n, size - 1);
        return false;
    }
    memcpy(field, item->valuestring, n + 1);
    return true;
}
