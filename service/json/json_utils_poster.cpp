// JSON of the display-resource list and of the "customResourcePoster" command.
#include "json/json_utils_poster.h"

#include <stdlib.h>
#include <string.h>

#include <cstdio>
#include <new>

#include "c_handles.hpp"
#include "json/json_fields.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"

namespace {

using json_fields::copy_members;
using json_fields::copy_member;
using json_fields::member;
using json_fields::or_empty;
using json_fields::print;

void copy_int(const cJSON* obj, const char* key, int32_t* out) { json_fields::copy_int(member(obj, key), out); }

bool copy_size(const cJSON* obj, const char* key, uint64_t* out) {
    return json_fields::copy_size(member(obj, key), key, out);
}

// A list text parsed; null (logged) when it is not JSON or not an array.
JsonPtr parse_array(const char* text) {
    JsonPtr root = json_fields::parse_logged(text);
    if (!root) return nullptr;
    if (!cJSON_IsArray(root.get())) {
        LOG_E(TAG_JSON, "original: [%s], not a JSON array", text);
        return nullptr;
    }
    return root;
}

bool at_position(const cJSON* entry, int position) {
    const cJSON* pos = member(entry, "position");
    return cJSON_IsObject(entry) && cJSON_IsNumber(pos) && pos->valuedouble == static_cast<double>(position);
}

cJSON* find_position(const cJSON* array, int position) {
    cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, array) {
        if (at_position(entry, position)) return entry;
    }
    return nullptr;
}

const char* string_of(const cJSON* obj, const char* key) {
    const cJSON* item = member(obj, key);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

bool add_string(cJSON* obj, const char* key, const char* value) {
    if (value == nullptr || value[0] == '\0') return true;
    return cJSON_AddStringToObject(obj, key, value) != nullptr;
}

// An entry with the keys of "config.json" in their order; strings only when not empty.
JsonPtr make_entry(int enable, int level, int position, const char* begin_time, const char* end_time,
                   const char* source, const char* type, const char* slider_title, const char* file_name,
                   const char* md5sum) {
    JsonPtr entry{cJSON_CreateObject()};
    if (!entry) return nullptr;
    bool ok = cJSON_AddNumberToObject(entry.get(), "enable", enable) != nullptr &&
              cJSON_AddNumberToObject(entry.get(), "level", level) != nullptr &&
              cJSON_AddNumberToObject(entry.get(), "position", position) != nullptr &&
              add_string(entry.get(), "beginTime", begin_time) && add_string(entry.get(), "endTime", end_time) &&
              add_string(entry.get(), "source", source) && add_string(entry.get(), "type", type) &&
              add_string(entry.get(), "sliderTitle", slider_title) &&
              add_string(entry.get(), "fileName", file_name) && add_string(entry.get(), "md5sum", md5sum);
    if (!ok) {
        LOG_E(TAG_JSON, "Failed to create JSON object");
        return nullptr;
    }
    return entry;
}

JsonPtr entry_of(const CustomResourcePosterParam& p) {
    return make_entry(p.enable ? 1 : 0, p.level, p.position, p.beginTime, p.endTime, p.source, p.type,
                      p.sliderTitle, p.fileName, p.md5sum);
}

char* append(const char* array, JsonPtr entry) {
    JsonPtr root;
    if (array == nullptr || array[0] == '\0') {
        root.reset(cJSON_CreateArray());
    } else {
        root = parse_array(array);
        if (!root) return nullptr;
    }
    if (!root || !entry) return nullptr;
    if (!cJSON_AddItemToArray(root.get(), entry.release())) return nullptr;
    return print(root.get());
}

// Replaces the value of a key the entry already holds; a missing key is not added.
void set_existing(cJSON* entry, const char* key, cJSON* value) {
    JsonPtr owned{value};
    if (owned && member(entry, key) != nullptr)
        cJSON_ReplaceItemInObjectCaseSensitive(entry, key, owned.release());
}

void update_entry(cJSON* entry, const char* md5sum, int enable, int level, const char* slider_title,
                  const char* begin_time, const char* end_time, const char* file_name, bool always_name) {
    set_existing(entry, "enable", cJSON_CreateNumber(enable));
    set_existing(entry, "level", cJSON_CreateNumber(level));
    set_existing(entry, "sliderTitle", cJSON_CreateString(or_empty(slider_title)));
    set_existing(entry, "beginTime", cJSON_CreateString(or_empty(begin_time)));
    set_existing(entry, "endTime", cJSON_CreateString(or_empty(end_time)));
    if (always_name || (file_name != nullptr && file_name[0] != '\0'))
        set_existing(entry, "fileName", cJSON_CreateString(or_empty(file_name)));
    set_existing(entry, "md5sum", cJSON_CreateString(or_empty(md5sum)));
}

char* reply_param(const char* status, const char* fail_des, const char* action, bool with_action) {
    JsonPtr root{cJSON_CreateObject()};
    if (!root || !cJSON_AddStringToObject(root.get(), "status", or_empty(status)) ||
        !cJSON_AddStringToObject(root.get(), "failDes", or_empty(fail_des)) ||
        (with_action && !cJSON_AddStringToObject(root.get(), "action", or_empty(action)))) {
        LOG_E(TAG_JSON, "Failed to create JSON object");
        return nullptr;
    }
    return print(root.get());
}

}  // namespace

// ---- C++ helpers ----------------------------------------------------------------------

bool json_utils_poster::is_array(const std::string& text) {
    JsonPtr root{cJSON_Parse(text.c_str())};
    return root && cJSON_IsArray(root.get());
}

bool json_utils_poster::stored_name(int position, const char* file_name, std::string* out) {
    char name[POSTER_NAME_SIZE];
    int n = std::snprintf(name, sizeof name, "%d_%s", position, or_empty(file_name));
    if (n < 0 || static_cast<size_t>(n) >= sizeof name) return false;
    out->assign(name, static_cast<size_t>(n));
    return true;
}

bool json_utils_poster::holds_file_name(const std::string& array, const std::string& name) {
    JsonPtr root{cJSON_Parse(array.c_str())};
    if (!cJSON_IsArray(root.get())) return false;
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, root.get()) {
        const char* stored = string_of(entry, "fileName");
        if (stored != nullptr && name == stored) return true;
    }
    return false;
}

bool json_utils_poster::usable_file_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

json_utils_poster::Lookup json_utils_poster::lookup(const char* array, int position, const char* md5sum,
                                                    const char* file_name) {
    Lookup found;
    JsonPtr root = parse_array(array);
    if (!root) {
        found.result = POSTER_LOOKUP_OTHER;
        return found;
    }
    const cJSON* entry = find_position(root.get(), position);
    if (entry == nullptr) return found;  // -4
    const char* name = string_of(entry, "fileName");
    const char* type = string_of(entry, "type");
    const char* stored_md5 = string_of(entry, "md5sum");
    found.has_file_name = name != nullptr;
    if (name != nullptr) found.stored_name = name;
    found.is_message = name == nullptr || (type != nullptr && strcmp(type, "message") == 0);
    found.has_md5sum = stored_md5 != nullptr;
    if (stored_md5 == nullptr || strcmp(stored_md5, or_empty(md5sum)) != 0) {
        found.result = POSTER_LOOKUP_OTHER;
        return found;
    }
    std::string expected;
    const char* wanted = or_empty(file_name);
    bool same = name != nullptr && ((stored_name(position, wanted, &expected) && expected == name) ||
                                    (wanted[0] != '\0' && strcmp(name, wanted) == 0));
    found.result = same ? POSTER_LOOKUP_SAME : POSTER_LOOKUP_RENAMED;
    return found;
}

char* json_utils_poster::replace_by_position(const char* array, const CustomResourcePosterParam& param) {
    JsonPtr root = parse_array(array);
    if (!root) return nullptr;
    int index = 0;
    cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, root.get()) {
        if (at_position(entry, param.position)) break;
        ++index;
    }
    if (entry == nullptr) return nullptr;
    JsonPtr fresh = entry_of(param);
    if (!fresh || !cJSON_ReplaceItemInArray(root.get(), index, fresh.release())) return nullptr;
    return print(root.get());
}

// ---- C interface ----------------------------------------------------------------------

extern "C" {

int json_utils_jsonstr_to_custom_resource_poster_param(const char* text, CustomResourcePosterParam* out) {
    bool object = true;
    int rc = json_fields::parse_record(
        text, out,
        [out, &object](const cJSON* obj) {
            object = cJSON_IsObject(obj);
            if (!object) return false;
            out->enable = cJSON_IsTrue(member(obj, "enable")) ? 1 : 0;
            copy_int(obj, "level", &out->level);
            copy_int(obj, "progress", &out->progress);
            copy_int(obj, "position", &out->position);
            copy_int(obj, "height", &out->height);
            copy_int(obj, "width", &out->width);
            return copy_members(obj, {{"action", out->action},
                                      {"beginTime", out->beginTime},
                                      {"endTime", out->endTime},
                                      {"type", out->type},
                                      {"source", out->source},
                                      {"fileName", out->fileName}}) &&
                   copy_size(obj, "fileSize", &out->fileSize) &&
                   copy_members(obj, {{"md5sum", out->md5sum},
                                      {"sliderTitle", out->sliderTitle},
                                      {"toDir", out->toDir},
                                      {"url", out->url}});
        },
        NIMBO_ERR_OVERFLOW);
    if (object) return rc;
    LOG_E(TAG_JSON, "original: [%s], not a JSON object", text);
    return NIMBO_ERR_INVALID;
}

char* json_utils_poster_resources_param_to_jsonstr(const char* status, const char* fail_des, const char* action) {
    return reply_param(status, fail_des, action, true);
}

char* json_utils_poster_resources_param_to_jsonstr2(const char* status, const char* fail_des, const char* param) {
    JsonPtr root{cJSON_Parse(or_empty(param))};
    if (!root) return reply_param(status, fail_des, "add", true);
    const cJSON* action = cJSON_IsObject(root.get()) ? cJSON_GetObjectItem(root.get(), "action") : nullptr;
    if (cJSON_IsString(action) && action->valuestring != nullptr)
        return reply_param(status, fail_des, action->valuestring, true);
    return reply_param(status, fail_des, nullptr, false);
}

int json_utils_check_md5_in_custom_resource_poster_param_array(const char* array, int position, const char* md5sum,
                                                               const char* file_name, char* name, int* name_len) {
    try {
        json_utils_poster::Lookup found = json_utils_poster::lookup(array, position, md5sum, file_name);
        if (found.has_file_name && name != nullptr) {
            if (found.stored_name.size() < POSTER_NAME_SIZE) {
                memcpy(name, found.stored_name.c_str(), found.stored_name.size() + 1);
                if (name_len != nullptr) *name_len = static_cast<int>(found.stored_name.size());
            } else {
                LOG_E(TAG_JSON, "stored name too long (%zu bytes), not copied", found.stored_name.size());
            }
        } else if (found.has_file_name && name_len != nullptr) {
            *name_len = static_cast<int>(found.stored_name.size());
        }
        return found.result;
    } catch (const std::bad_alloc&) {
        LOG_E(TAG_JSON, "Memory allocation failed");
        return POSTER_LOOKUP_OTHER;
    }
}

char* json_utils_embed_param_in_custom_resource_poster_array(const char* array, CustomResourcePosterParam param) {
    return append(array, entry_of(param));
}

char* json_utils_embed_param_in_custom_resource_poster_array2(const char* array, int enable, int level, int position,
                                                              const char* begin_time, const char* end_time,
                                                              const char* source, const char* type,
                                                              const char* slider_title, const char* file_name,
                                                              const char* md5sum) {
    return append(array, make_entry(enable, level, position, begin_time, end_time, source, type, slider_title,
                                    file_name, md5sum));
}

char* json_utils_update_in_custom_resource_poster_array_by_position(const char* array, int position,
                                                                    const char* md5sum, int enable, int level,
                                                                    const char* slider_title, const char* begin_time,
                                                                    const char* end_time, const char* file_name) {
    JsonPtr root = parse_array(array);
    if (!root) return nullptr;
    cJSON* entry = find_position(root.get(), position);
    if (entry != nullptr)
        update_entry(entry, md5sum, enable, level, slider_title, begin_time, end_time, file_name, false);
    return print(root.get());
}

char* json_utils_update_in_custom_resource_poster_array(const char* array, const char* md5sum, int enable, int level,
                                                        const char* slider_title, const char* begin_time,
                                                        const char* end_time, const char* file_name) {
    JsonPtr root = parse_array(array);
    if (!root) return nullptr;
    cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, root.get()) {
        const char* stored = string_of(entry, "md5sum");
        if (stored != nullptr && strcmp(stored, or_empty(md5sum)) == 0) break;
    }
    if (entry != nullptr)
        update_entry(entry, md5sum, enable, level, slider_title, begin_time, end_time, file_name, true);
    return print(root.get());
}

char* json_utils_delete_in_custom_resource_poster_array(const char* array, int position) {
    JsonPtr root = parse_array(array);
    if (!root) return nullptr;
    int index = 0;
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, root.get()) {
        if (at_position(entry, position)) {
            cJSON_DeleteItemFromArray(root.get(), index);
            break;
        }
        ++index;
    }
    return print(root.get());
}

int json_utils_jsonstr_to_custom_resource_poster_param_array(const char* array, CustomResourcePosterParam** out,
                                                             int* count) {
    if (out == nullptr || count == nullptr) {
        LOG_E(TAG_JSON, "Invalid argument: data is NULL");
        return NIMBO_ERR_INVALID;
    }
    *out = nullptr;
    *count = 0;
    JsonPtr root = parse_array(array);
    if (!root) return NIMBO_ERR_INVALID;
    int n = cJSON_GetArraySize(root.get());
    if (n == 0) return 0;
    auto* records = static_cast<CustomResourcePosterParam*>(calloc(static_cast<size_t>(n), sizeof **out));
    if (records == nullptr) {
        LOG_E(TAG_JSON, "Memory allocation failed");
        return NIMBO_ERR_INVALID;
    }
    int i = 0;
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, root.get()) {
        CustomResourcePosterParam* r = &records[i++];
        const cJSON* enable = member(entry, "enable");
        r->enable = cJSON_IsNumber(enable) && enable->valueint != 0 ? 1 : 0;
        copy_int(entry, "level", &r->level);
        copy_int(entry, "position", &r->position);
        // A value that does not fit its field is left empty rather than cut.
        for (const json_fields::TextField& f :
             {json_fields::TextField{"beginTime", r->beginTime}, {"endTime", r->endTime}, {"source", r->source},
              {"type", r->type}, {"sliderTitle", r->sliderTitle}, {"path", r->toDir}, {"md5sum", r->md5sum}})
            copy_member(entry, f.key, f.field, f.size);
        copy_size(entry, "fileSize", &r->fileSize);
    }
    *out = records;
    *count = n;
    return 0;
}

int json_utils_contains_md5sum_in_custom_resource_poster_param_array(const char* array, const char* md5sum) {
    JsonPtr root = parse_array(array);
    if (!root) return NIMBO_ERR_FAILED;
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, root.get()) {
        const char* stored = string_of(entry, "md5sum");
        if (stored != nullptr && strcmp(stored, or_empty(md5sum)) == 0) return 0;
    }
    return NIMBO_ERR_FAILED;
}

}  // extern "C"
