// JSON of the long tasks: "apkUpgrade", "otaUpgrade", "queryLog", "getLog" and the log
// upload's answer (log tag "json_utils"). Builders return heap texts (unformatted JSON) that
// the caller frees with free().
#pragma once

#include <stdint.h>

// "apkUpgrade" parameters. status and failDes are the reply's fields.
typedef struct {
    char status[256];
    char failDes[256];
    char apkDownloadUrl[256];
    char apkFileName[256];
    uint64_t apkSize;  // "apkSize" as a string of decimal digits
    char apkVersion[256];
    char applicationName[256];
    char md5sum[256];
    int32_t autoStart;
    int32_t setKioskMode;
    int32_t setLauncher;
    int32_t progress;  // percentage points between two progress replies
} ApkUpgradeParam;

// "otaUpgrade" parameters.
typedef struct {
    char status[256];
    char failDes[256];
    char otaDownloadUrl[256];
    char otaVersion[256];
    char packageName[256];
    char md5sum[256];
    uint64_t otaSize;    // "otaSize" as a string of decimal digits
    int32_t semiSilent;  // "semiSilent" as a string of decimal digits
    int32_t silentIns;
    int32_t progress;
} OtaUpgradeParam;

// "queryLog" parameters.
typedef struct {
    char status[256];
    char failDes[256];
    char fileType[256];
    char filePath[256];
    char queryType[256];
} QueryLogParam;

// "getLog" parameters.
typedef struct {
    char status[256];
    char failDes[256];
    char downloadFileUrl[256];
    char dirPath[256];
    char filePath[256];
    char fileType[256];
} GetLogParam;

// The management server's answer to a log upload.
typedef struct {
    int32_t success;
    char desc[256];
    char destination[256];
    char systime[256];
} PostFileResult;

extern "C" {

// Parsers: the record is zero-filled first. 0; -2 for a null record or a text that is not
// JSON; -6 when a text value does not fit its field (the record is left empty: a value is
// refused, never cut).
int json_utils_jsonstr_to_apk_upgrade_param(const char* text, ApkUpgradeParam* out);
int json_utils_jsonstr_to_ota_upgrade_param(const char* text, OtaUpgradeParam* out);
int json_utils_jsonstr_to_query_log_param(const char* text, QueryLogParam* out);
int json_utils_jsonstr_to_get_log_param(const char* text, GetLogParam* out);

// 0; -8 when the text is not JSON; -2 for a null record. "success" is read whatever the
// length of the other members; texts longer than their fields are shortened (they are
// shown, never acted on).
int json_utils_jsonstr_to_post_file_result(const char* text, PostFileResult* out);

// {"status","failDes","apkVersion","applicationName"}
char* json_utils_apkupgrade_param_to_jsonstr(const ApkUpgradeParam* param);
char* json_utils_apkupgrade_param_to_jsonstr2(const char* status, const char* fail_des, const char* apk_version,
                                              const char* application_name);
// {"status","failDes","otaVersion","otaName"}
char* json_utils_otaupgrade_param_to_jsonstr(const OtaUpgradeParam* param);
char* json_utils_otaupgrade_param_to_jsonstr2(const char* status, const char* fail_des, const char* ota_version,
                                              const char* package_name);
// {"status","failDes","fileType","queryType","res":[names...]}; null for a null array.
char* json_utils_query_log_param_to_jsonstr(const QueryLogParam* param, const char* const* names, int count);
// {"status","failDes","fileType","filePath"}
char* json_utils_get_log_param_to_jsonstr(const GetLogParam* param);

}  // extern "C"

namespace json_utils {

// The upload answer from the first bytes of a longer text: the members of the top-level
// object that the text holds whole (a member cut at the end, and all after it, are left
// out). 0; -8 when the text does not begin an object; -2 for a null record.
int post_file_result_from_head(const char* head, PostFileResult* out);

}  // namespace json_utils
