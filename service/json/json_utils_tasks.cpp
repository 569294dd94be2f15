// JSON of the upgrade and log commands (log tag "json_utils").
#include "json_utils_tasks.h"

#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <utility>

#include "c_handles.hpp"
#include "json_fields.h"
#include "kx_log.h"
#include "result_codes.h"

#define JSON_TAG "json_utils"

namespace {

const cJSON* member(const cJSON* obj, const char* key) { return cJSON_GetObjectItemCaseSensitive(obj, key); }

// A string member into a fixed field; absent or of another type: left empty. A value that
// does not fit is refused.
bool copy_text(const cJSON* obj, const char* key, char* field, size_t size) {
    return json_fields::copy_text(member(obj, key), key, field, size);
}

// A string member shortened to its field (texts that are only shown).
void copy_text_shortened(const cJSON* obj, const char* key, char* field, size_t size) {
    const cJSON* item = member(obj, key);
    if (!cJSON_IsString(item) || item->valuestring == nullptr) return;
    size_t n = strlen(item->valuestring);
    if (n >= size) {
        LOG_W(JSON_TAG, "'%s' shortened to %zu bytes", key, size - 1);
        n = size - 1;
    }
    memcpy(field, item->valuestring, n);
    field[n] = '\0';
}

void copy_bool(const cJSON* obj, const char* key, int32_t* out) {
    const cJSON* item = member(obj, key);
    if (cJSON_IsBool(item)) *out = cJSON_IsTrue(item) ? 1 : 0;
}

void copy_number(const cJSON* obj, const char* key, int32_t* out) {
    const cJSON* item = member(obj, key);
    if (cJSON_IsNumber(item)) *out = item->valueint;  // cJSON saturates to the int range
}

// A size sent as a string of decimal digits; a negative text means no size (0), never a
// huge one.
void copy_size_text(const cJSON* obj, const char* key, uint64_t* out) {
    const cJSON* item = member(obj, key);
    if (!cJSON_IsString(item) || item->valuestring == nullptr) return;
    const char* s = item->valuestring;
    while (*s == ' ' || *s == '\t') ++s;
    if (*s == '-') return;
    *out = strtoull(s, nullptr, 10);
}

void copy_int_text(const cJSON* obj, const char* key, int32_t* out) {
    const cJSON* item = member(obj, key);
    if (!cJSON_IsString(item) || item->valuestring == nullptr) return;
    *out = static_cast<int32_t>(strtol(item->valuestring, nullptr, 10));
}

// Zero-fills the record and parses the text; null root after the parser's error log.
template <class T>
JsonPtr parse_into(const char* text, T* out) {
    memset(out, 0, sizeof *out);
    JsonPtr root{cJSON_Parse(text ? text : "")};
    if (!root) {
        const char* pos = cJSON_GetErrorPtr();
        if (pos) LOG_E(JSON_TAG, "original: [%s], Error before: %s", text ? text : "", pos);
    }
    return root;
}

// A "\u0000" escape inside a JSON string: the parser would end the text there, so the value
// would arrive cut.
bool has_escaped_nul(const char* text) {
    if (text == nullptr) return false;
    for (const char* p = text; *p; ++p) {
        if (*p != '\\') continue;
        if (p[1] == 'u' && strncmp(p + 2, "0000", 4) == 0) {
            LOG_E(JSON_TAG, "a text value holds a NUL character, refused");
            return true;
        }
        if (p[1] != '\0') ++p;  // skip the escaped character
    }
    return false;
}

bool null_record(const void* out) {
    if (out != nullptr) return false;
    LOG_E(JSON_TAG, "Invalid argument: data is NULL");
    return true;
}

template <class T>
int overflow(T* out) {
    memset(out, 0, sizeof *out);
    return NIMBO_ERR_OVERFLOW;
}

const char* or_empty(const char* text) { return text ? text : ""; }

// An object of string members in the given order, printed unformatted.
char* print_strings(std::initializer_list<std::pair<const char*, const char*>> members) {
    JsonPtr root{cJSON_CreateObject()};
    if (!root) {
        LOG_E(JSON_TAG, "Failed to create JSON object");
        return nullptr;
    }
    for (const auto& m : members) {
        if (cJSON_AddStringToObject(root.get(), m.first, or_empty(m.second)) == nullptr) {
            LOG_E(JSON_TAG, "Failed to create JSON object");
            return nullptr;
        }
    }
    char* text = cJSON_PrintUnformatted(root.get());
    if (text == nullptr) LOG_E(JSON_TAG, "Failed to create JSON object");
    return text;
}

void read_post_file_result(const cJSON* r, PostFileResult* out) {
    copy_bool(r, "success", &out->success);
    copy_text_shortened(r, "desc", out->desc, sizeof out->desc);
    copy_text_shortened(r, "destination", out->destination, sizeof out->destination);
    copy_text_shortened(r, "systime", out->systime, sizeof out->systime);
}

const char* skip_space(const char* p) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
    return p;
}

}  // namespace

extern "C" {

int json_utils_jsonstr_to_apk_upgrade_param(const char* text, ApkUpgradeParam* out) {
    if (null_record(out)) return NIMBO_ERR_INVALID;
    if (has_escaped_nul(text)) return overflow(out);
    JsonPtr root = parse_into(text, out);
    if (!root) return NIMBO_ERR_INVALID;
    const cJSON* r = root.get();
    if (!copy_text(r, "apkDownloadUrl", out->apkDownloadUrl, sizeof out->apkDownloadUrl) ||
        !copy_text(r, "apkFileName", out->apkFileName, sizeof out->apkFileName) ||
        !copy_text(r, "apkVersion", out->apkVersion, sizeof out->apkVersion) ||
        !copy_text(r, "applicationName", out->applicationName, sizeof out->applicationName) ||
        !copy_text(r, "md5sum", out->md5sum, sizeof out->md5sum))
        return overflow(out);
    copy_size_text(r, "apkSize", &out->apkSize);
    copy_bool(r, "autoStart", &out->autoStart);
    copy_bool(r, "setKioskMode", &out->setKioskMode);
    copy_bool(r, "setLauncher", &out->setLauncher);
    copy_number(r, "progress", &out->progress);
    return 0;
}

int json_utils_jsonstr_to_ota_upgrade_param(const char* text, OtaUpgradeParam* out) {
    if (null_record(out)) return NIMBO_ERR_INVALID;
    if (has_escaped_nul(text)) return overflow(out);
    JsonPtr root = parse_into(text, out);
    if (!root) return NIMBO_ERR_INVALID;
    const cJSON* r = root.get();
    if (!copy_text(r, "otaDownloadUrl", out->otaDownloadUrl, sizeof out->otaDownloadUrl) ||
        !copy_text(r, "otaVersion", out->otaVersion, sizeof out->otaVersion) ||
        !copy_text(r, "packageName", out->packageName, sizeof out->packageName) ||
        !copy_text(r, "md5sum", out->md5sum, sizeof out->md5sum))
        return overflow(out);
    copy_size_text(r, "otaSize", &out->otaSize);
    copy_int_text(r, "semiSilent", &out->semiSilent);
    copy_bool(r, "silentIns", &out->silentIns);
    copy_number(r, "progress", &out->progress);
    return 0;
}

int json_utils_jsonstr_to_query_log_param(const char* text, QueryLogParam* out) {
    if (null_record(out)) return NIMBO_ERR_INVALID;
    if (has_escaped_nul(text)) return overflow(out);
    JsonPtr root = parse_into(text, out);
    if (!root) return NIMBO_ERR_INVALID;
    const cJSON* r = root.get();
    if (!copy_text(r, "fileType", out->fileType, sizeof out->fileType) ||
        !copy_text(r, "filePath", out->filePath, sizeof out->filePath) ||
        !copy_text(r, "queryType", out->queryType, sizeof out->queryType))
        return overflow(out);
    return 0;
}

int json_utils_jsonstr_to_get_log_param(const char* text, GetLogParam* out) {
    if (null_record(out)) return NIMBO_ERR_INVALID;
    if (has_escaped_nul(text)) return overflow(out);
    JsonPtr root = parse_into(text, out);
    if (!root) return NIMBO_ERR_INVALID;
    const cJSON* r = root.get();
    if (!copy_text(r, "downloadFileUrl", out->downloadFileUrl, sizeof out->downloadFileUrl) ||
        !copy_text(r, "dirPath", out->dirPath, sizeof out->dirPath) ||
        !copy_text(r, "filePath", out->filePath, sizeof out->filePath) ||
        !copy_text(r, "fileType", out->fileType, sizeof out->fileType))
        return overflow(out);
    return 0;
}

int json_utils_jsonstr_to_post_file_result(const char* text, PostFileResult* out) {
    if (null_record(out)) return NIMBO_ERR_INVALID;
    JsonPtr root = parse_into(text, out);
    if (!root) return NIMBO_ERR_FAILED;
    read_post_file_result(root.get(), out);
    return 0;
}


char* json_utils_apkupgrade_param_to_jsonstr(const ApkUpgradeParam* param) {
    if (param == nullptr) return nullptr;
    return json_utils_apkupgrade_param_to_jsonstr2(param->status, param->failDes, param->apkVersion,
                                                   param->applicationName);
}

char* json_utils_apkupgrade_param_to_jsonstr2(const char* status, const char* fail_des, const char* apk_version,
                                              const char* application_name) {
    return print_strings({{"status", status},
                          {"failDes", fail_des},
                          {"apkVersion", apk_version},
                          {"applicationName", application_name}});
}

char* json_utils_otaupgrade_param_to_jsonstr(const OtaUpgradeParam* param) {
    if (param == nullptr) return nullptr;
    return json_utils_otaupgrade_param_to_jsonstr2(param->status, param->failDes, param->otaVersion,
                                                   param->packageName);
}

char* json_utils_otaupgrade_param_to_jsonstr2(const char* status, const char* fail_des, const char* ota_version,
                                              const char* package_name) {
    return print_strings(
        {{"status", status}, {"failDes", fail_des}, {"otaVersion", ota_version}, {"otaName", package_name}});
}

char* json_utils_query_log_param_to_jsonstr(const QueryLogParam* param, const char* const* names, int count) {
    if (param == nullptr || names == nullptr) return nullptr;
    JsonPtr root{cJSON_CreateObject()};
    if (!root) {
        LOG_E(JSON_TAG, "Failed to create JSON object");
        return nullptr;
    }
    cJSON* r = root.get();
    if (!cJSON_AddStringToObject(r, "status", param->status) || !cJSON_AddStringToObject(r, "failDes", param->failDes) ||
        !cJSON_AddStringToObject(r, "fileType", param->fileType) ||
        !cJSON_AddStringToObject(r, "queryType", param->queryType)) {
        LOG_E(JSON_TAG, "Failed to create JSON object");
        return nullptr;
    }
    cJSON* res = cJSON_AddArrayToObject(r, "res");
    if (res == nullptr) {
        LOG_E(JSON_TAG, "Failed to create res array\n");
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        JsonPtr item{cJSON_CreateString(or_empty(names[i]))};
        if (!item || !cJSON_AddItemToArray(res, item.get())) {
            LOG_E(JSON_TAG, "Failed to create string item\n");
            return nullptr;
        }
        (void)item.release();  // owned by the array now
    }
    char* text = cJSON_PrintUnformatted(r);
    if (text == nullptr) LOG_E(JSON_TAG, "Failed to create JSON object");
    return text;
}

char* json_utils_get_log_param_to_jsonstr(const GetLogParam* param) {
    if (param == nullptr) return nullptr;
    return print_strings({{"status", param->status},
                          {"failDes", param->failDes},
                          {"fileType", param->fileType},
                          {"filePath", param->filePath}});
}

}  // extern "C"

int json_utils::post_file_result_from_head(const char* head, PostFileResult* out) {
    if (null_record(out)) return NIMBO_ERR_INVALID;
    memset(out, 0, sizeof *out);
    JsonPtr members{cJSON_CreateObject()};
    if (!members || head == nullptr) return NIMBO_ERR_FAILED;
    const char* p = skip_space(head);
    if (*p != '{') return NIMBO_ERR_FAILED;
    ++p;
    for (;;) {
        const char* end = nullptr;
        JsonPtr key{cJSON_ParseWithOpts(skip_space(p), &end, 0)};
        if (!cJSON_IsString(key.get()) || key->valuestring == nullptr) break;
        p = skip_space(end);
        if (*p != ':') break;
        JsonPtr value{cJSON_ParseWithOpts(p + 1, &end, 0)};
        if (!value) break;  // the member the text was cut in
        cJSON_AddItemToObject(members.get(), key->valuestring, value.release());
        p = skip_space(end);
        if (*p != ',') break;
        ++p;
    }
    read_post_file_result(members.get(), out);
    return 0;
}
