// JSON of the upgrade and log commands (log tag "json_utils"), with the log upload's answer
// (json_utils::post_file_result_from_head).
#include "json/json_utils_tasks.h"

#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <utility>

#include "c_handles.hpp"
#include "json/json_fields.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"

namespace {

using json_fields::copy_members;
using json_fields::member;
using json_fields::null_record;
using json_fields::or_empty;
using json_fields::print;

// A string member shortened to its field (texts that are only shown).
void copy_text_shortened(const cJSON* obj, const char* key, char* field, size_t size) {
    const cJSON* item = member(obj, key);
    if (!cJSON_IsString(item) || item->valuestring == nullptr) return;
    size_t n = strlen(item->valuestring);
    if (n >= size) {
        LOG_W(TAG_JSON, "'%s' shortened to %zu bytes", key, size - 1);
        n = size - 1;
    }
    memcpy(field, item->valuestring, n);
    field[n] = '\0';
}

void copy_bool(const cJSON* obj, const char* key, int32_t* out) {
    const cJSON* item = member(obj, key);
    if (cJSON_IsBool(item)) *out = cJSON_IsTrue(item) ? 1 : 0;
}

void copy_number(const cJSON* obj, const char* key, int32_t* out) { json_fields::copy_int(member(obj, key), out); }

// A size sent as a string of decimal digits; anything else means no size (0).
void copy_size_text(const cJSON* obj, const char* key, uint64_t* out) {
    json_fields::copy_size(member(obj, key), key, out);
}

void copy_int_text(const cJSON* obj, const char* key, int32_t* out) {
    const cJSON* item = member(obj, key);
    if (!cJSON_IsString(item) || item->valuestring == nullptr) return;
    *out = static_cast<int32_t>(strtol(item->valuestring, nullptr, 10));
}

// Parses a command parameter into its record. A "\u0000" escape inside a JSON string is
// refused first (-6): the parser would end the text there, so the value would arrive cut.
template <class T, class Read>
int parse_param(const char* text, T* out, Read read) {
    if (out != nullptr && json_fields::has_escaped_nul(text)) {
        LOG_E(TAG_JSON, "a text value holds a NUL character, refused");
        memset(out, 0, sizeof *out);
        return NIMBO_ERR_OVERFLOW;
    }
    return json_fields::parse_record(text, out, read, NIMBO_ERR_OVERFLOW);
}

// An object of string members in the given order, printed unformatted.
char* print_strings(std::initializer_list<std::pair<const char*, const char*>> members) {
    JsonPtr root{cJSON_CreateObject()};
    if (!root) {
        LOG_E(TAG_JSON, "Failed to create JSON object");
        return nullptr;
    }
    for (const auto& m : members) {
        if (cJSON_AddStringToObject(root.get(), m.first, or_empty(m.second)) == nullptr) {
            LOG_E(TAG_JSON, "Failed to create JSON object");
            return nullptr;
        }
    }
    return print(root.get());
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
    return parse_param(text, out, [out](const cJSON* r) {
        if (!copy_members(r, {{"apkDownloadUrl", out->apkDownloadUrl},
                              {"apkFileName", out->apkFileName},
                              {"apkVersion", out->apkVersion},
                              {"applicationName", out->applicationName},
                              {"md5sum", out->md5sum}}))
            return false;
        copy_size_text(r, "apkSize", &out->apkSize);
        copy_bool(r, "autoStart", &out->autoStart);
        copy_bool(r, "setKioskMode", &out->setKioskMode);
        copy_bool(r, "setLauncher", &out->setLauncher);
        copy_number(r, "progress", &out->progress);
        return true;
    });
}

int json_utils_jsonstr_to_ota_upgrade_param(const char* text, OtaUpgradeParam* out) {
    return parse_param(text, out, [out](const cJSON* r) {
        if (!copy_members(r, {{"otaDownloadUrl", out->otaDownloadUrl},
                              {"otaVersion", out->otaVersion},
                              {"packageName", out->packageName},
                              {"md5sum", out->md5sum}}))
            return false;
        copy_size_text(r, "otaSize", &out->otaSize);
        copy_int_text(r, "semiSilent", &out->semiSilent);
        copy_bool(r, "silentIns", &out->silentIns);
        copy_number(r, "progress", &out->progress);
        return true;
    });
}

int json_utils_jsonstr_to_query_log_param(const char* text, QueryLogParam* out) {
    return parse_param(text, out, [out](const cJSON* r) {
        return copy_members(r, {{"fileType", out->fileType},
                                {"filePath", out->filePath},
                                {"queryType", out->queryType}});
    });
}

int json_utils_jsonstr_to_get_log_param(const char* text, GetLogParam* out) {
    return parse_param(text, out, [out](const cJSON* r) {
        return copy_members(r, {{"downloadFileUrl", out->downloadFileUrl},
                                {"dirPath", out->dirPath},
                                {"filePath", out->filePath},
                                {"fileType", out->fileType}});
    });
}

int json_utils_jsonstr_to_post_file_result(const char* text, PostFileResult* out) {
    if (null_record(out)) return NIMBO_ERR_INVALID;
    JsonPtr root = json_fields::parse_into(text, out);
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
        LOG_E(TAG_JSON, "Failed to create JSON object");
        return nullptr;
    }
    cJSON* r = root.get();
    if (!cJSON_AddStringToObject(r, "status", param->status) || !cJSON_AddStringToObject(r, "failDes", param->failDes) ||
        !cJSON_AddStringToObject(r, "fileType", param->fileType) ||
        !cJSON_AddStringToObject(r, "queryType", param->queryType)) {
        LOG_E(TAG_JSON, "Failed to create JSON object");
        return nullptr;
    }
    cJSON* res = cJSON_AddArrayToObject(r, "res");
    if (res == nullptr) {
        LOG_E(TAG_JSON, "Failed to create res array\n");
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        JsonPtr item{cJSON_CreateString(or_empty(names[i]))};
        if (!item || !cJSON_AddItemToArray(res, item.get())) {
            LOG_E(TAG_JSON, "Failed to create string item\n");
            return nullptr;
        }
        (void)item.release();  // owned by the array now
    }
    return print(r);
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
