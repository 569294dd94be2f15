// Handlers of the upgrades and of the log commands. They run on the MQTT message thread,
// answer at once and leave the long work to detached workers that own their records.
#include "mqtt_cmd_deal_tasks.h"

#include <ctype.h>

#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string>

#include "c_handles.hpp"
#include "device_files.h"
#include "json_utils.h"
#include "json_utils_tasks.h"
#include "kx_log.h"
#include "mqtt_cmd_deal_thread.h"
#include "nimbo_globals.h"
#include "nimbo_utils.h"
#include "nimbo_workers.h"
#include "result_codes.h"

#define TAG "mqtt_deal"

namespace {

// Widest time-stamp text a log name can get (decimal seconds of a 64-bit time).
const std::string kWidestStamp(20, '9');
constexpr size_t kFieldMax = 255;
constexpr const char* kLogNames[] = {"dmesg.log", "app_log.tar.gz"};

bool args_ok(MQTTAsync client, const RequestCmd* request, char* out, int* out_len) {
    return out != nullptr && out_len != nullptr && client != nullptr && request != nullptr &&
           request->param[0] != '\0';
}

// The reply text into the dispatcher's buffer; false when it cannot be built or does not fit.
bool put_reply(char* text, char* out, int* out_len) {
    CText owner{text};
    if (!owner) return false;
    size_t n = strlen(owner.get());
    if (n >= MQTT_DEAL_REPLY_SIZE) {
        LOG_E(TAG, "reply of %zu bytes does not fit", n);
        return false;
    }
    memcpy(out, owner.get(), n + 1);
    *out_len = static_cast<int>(n);
    return true;
}

int reply_common(const char* status, const char* fail_des, char* out, int* out_len, int rc) {
    return put_reply(json_utils_generated_common_replay_param_to_jsonstr(status, fail_des), out, out_len) ? rc : -8;
}

// Parser results as handler results: a value that does not fit is an invalid parameter.
int parse_failure(int rc, const char* what) {
    LOG_E(TAG, "parse %s param failed", what);
    return rc == NIMBO_ERR_OVERFLOW ? -2 : -8;
}

// Peeks at the kind's slot before any work (the claim itself comes before the start).
int refuse_when_busy(tasks::Kind kind, const char* task_id) { return tasks::claim_slot(kind, nullptr, task_id); }

// The server's download values that could never work: a file name too long for its
// authentication header, an expected MD5 that is not 32 hexadecimal digits.
bool download_values_usable(const char* url, const char* md5) {
    if (!curl_utils::download_name_fits(url)) {
        LOG_E(TAG, "download url [%s] refused: its file name does not fit the authentication header", url);
        return false;
    }
    if (!tasks::valid_md5_text(md5)) {
        LOG_E(TAG, "md5sum [%s] refused: not 32 hexadecimal digits", md5);
        return false;
    }
    return true;
}

// A worker record with the request's identity, completed by `fill`; null when memory ran out.
template <class Record, class Fill>
std::unique_ptr<Record> make_record(MQTTAsync client, const RequestCmd* request, Fill fill) {
    std::unique_ptr<Record> record{new (std::nothrow) Record};
    if (!record) {
        LOG_E(TAG, "Memory allocation failed");
        return nullptr;
    }
    try {
        record->client = client;
        record->cmd = request->cmd;
        record->sn = request->sn;
        record->taskId = request->taskId;
        record->env = &tasks::environment();
        fill(*record);
    } catch (...) {
        LOG_E(TAG, "Memory allocation failed");
        return nullptr;
    }
    return record;
}

// Starts `body` detached with `record` through the counted launcher; on failure the
// record is still the caller's.
bool start_detached(workers::Kind kind, void* (*body)(void*), void* record) {
    return workers::start(kind, body, record);
}

// Claims the kind's slot for the record and starts its worker. 0 started (the record now
// belongs to the worker), -10000 the slot is taken, -8 no thread.
template <class Record>
int launch(tasks::Kind kind, std::unique_ptr<Record>& record, void* (*body)(void*)) {
    if (tasks::claim_slot(kind, record.get(), record->taskId.c_str()) != 0) return NIMBO_HANDLED;
    workers::Kind launcher = kind == tasks::Kind::apk ? workers::Kind::apk : workers::Kind::ota;
    if (!start_detached(launcher, body, record.get())) {
        tasks::release_slot(kind, record.get());
        return NIMBO_ERR_FAILED;
    }
    (void)record.release();
    return 0;
}

// ---- firmware result after the restart ------------------------------------------------

// The installer's marker under /tmp: installed, and the device has not restarted since.
bool restart_pending() {
    std::string marker = nimbo::device_path(nimbo::dev::kOtaOldVersion);
    return ::access(marker.c_str(), F_OK) == 0;
}

int judge_ota_result(const std::string& old_version_path, const char* old_version, char* out, int* out_len) {
    const tasks::Environment& env = tasks::environment();
    bool oem = nimbo_utils_line_matching_in_file(old_version_path.c_str(), "type=oem") == 0;
    char running[256];
    memset(running, 0, sizeof running);
    int len = 0;
    if (oem)
        env.system_version(running, &len);
    else
        env.firmware_version(running, &len);
    running[sizeof running - 1] = '\0';
    bool changed = strcmp(old_version, running) != 0;
    LOG_I(TAG, "type: %s, ota result judgment, old version: %s, fwVer: %s, ok: %d", oem ? "OEM" : "ALL", old_version,
          running, changed ? 1 : 0);
    nimbo_utils_delete_file(old_version_path.c_str());
    nimbo_utils_delete_file(g_nimbo_cmd_file_path);
    // A power loss while the installer ran leaves the package behind: the task ends here.
    nimbo_utils_delete_file((std::string(g_nimbo_download_path) + "/" TASK_OTA_PACKAGE_NAME).c_str());
    if (changed) return reply_common("2", "100%", out, out_len, NIMBO_REPLY_QOS2);
    return reply_common("3", "Version not changed", out, out_len, NIMBO_REPLY_QOS2);
}

}  // namespace

bool tasks::valid_application_name(const char* name) {
    return name != nullptr && name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
           strchr(name, '/') == nullptr;
}

bool tasks::valid_md5_text(const char* md5) {
    if (md5 == nullptr || md5[0] == '\0') return true;
    size_t n = 0;
    for (; md5[n] != '\0'; ++n)
        if (!isxdigit(static_cast<unsigned char>(md5[n]))) return false;
    return n == 32;
}

extern "C" {

// ---- apkUpgrade ---------------------------------------------------------------------------

int mqtt_cmd_deal_apkupgrade(MQTTAsync client, const RequestCmd* request, char* out, int* out_len) {
    if (!args_ok(client, request, out, out_len)) return NIMBO_ERR_FAILED;
    if (refuse_when_busy(tasks::Kind::apk, request->taskId) != 0) return NIMBO_HANDLED;
    ApkUpgradeParam param;
    int rc = json_utils_jsonstr_to_apk_upgrade_param(request->param, &param);
    if (rc != 0) return parse_failure(rc, "apkUpgrade");
    if (param.apkDownloadUrl[0] == '\0') return reply_common("3", "ApkDownloadUrl is empty", out, out_len, NIMBO_REPLY_QOS2);
    if (!tasks::valid_application_name(param.applicationName)) {
        LOG_E(TAG, "application name [%s] refused", param.applicationName);
        return NIMBO_ERR_INVALID;
    }
    if (!download_values_usable(param.apkDownloadUrl, param.md5sum)) return NIMBO_ERR_INVALID;

    auto record = make_record<ApkUpgradeWorker>(client, request, [&param](ApkUpgradeWorker& r) {
        r.apkDownloadUrl = param.apkDownloadUrl;
        r.apkVersion = param.apkVersion;
        r.applicationName = param.applicationName;
        r.md5sum = param.md5sum;
        r.apkSize = param.apkSize;
        r.progress = static_cast<uint32_t>(param.progress);
    });
    if (!record) return NIMBO_ERR_FAILED;
    rc = launch(tasks::Kind::apk, record, mqtt_cmd_deal_thread_apkupgrade_method);
    if (rc != 0) return rc;
    snprintf(param.status, sizeof param.status, "1");
    param.failDes[0] = '\0';
    // The worker runs already: its own replies follow, so this one is sent whatever happens.
    if (!put_reply(json_utils_apkupgrade_param_to_jsonstr(&param), out, out_len)) return NIMBO_HANDLED;
    return 0;
}

// ---- otaUpgrade ---------------------------------------------------------------------------

int mqtt_cmd_deal_otaupgrade(MQTTAsync client, const RequestCmd* request, char* out, int* out_len) {
    if (!args_ok(client, request, out, out_len)) return NIMBO_ERR_FAILED;
    if (refuse_when_busy(tasks::Kind::ota, request->taskId) != 0) return NIMBO_HANDLED;
    OtaUpgradeParam param;
    int rc = json_utils_jsonstr_to_ota_upgrade_param(request->param, &param);
    if (rc != 0) return parse_failure(rc, "otaUpgrade");

    if (restart_pending()) {
        LOG_W(TAG, "ota task wait for confirmation of restart, exit");
        return NIMBO_HANDLED;
    }
    const std::string old_path = std::string(g_nimbo_data_path) + "/" + TASK_OTA_OLD_VERSION_NAME;
    CText old_version{nimbo_utils_read_line_from_file(old_path.c_str())};
    if (old_version) return judge_ota_result(old_path, old_version.get(), out, out_len);

    if (param.otaDownloadUrl[0] == '\0') return reply_common("3", "Ota_download_url is empty", out, out_len, NIMBO_REPLY_QOS2);
    if (!download_values_usable(param.otaDownloadUrl, param.md5sum)) return NIMBO_ERR_INVALID;

    auto record = make_record<OtaUpgradeWorker>(client, request, [&param](OtaUpgradeWorker& r) {
        r.otaDownloadUrl = param.otaDownloadUrl;
        r.otaVersion = param.otaVersion;
        r.packageName = param.packageName;
        r.md5sum = param.md5sum;
        r.otaSize = param.otaSize;
        r.progress = static_cast<uint32_t>(param.progress);
    });
    if (!record) return NIMBO_ERR_FAILED;
    rc = launch(tasks::Kind::ota, record, mqtt_cmd_deal_thread_otaupgrade_method);
    if (rc != 0) return rc;
    snprintf(param.status, sizeof param.status, "1");
    param.failDes[0] = '\0';
    if (!put_reply(json_utils_otaupgrade_param_to_jsonstr(&param), out, out_len)) return NIMBO_HANDLED;
    return 0;
}

// ---- queryLog ------------------------------------------------------------------------------

int mqtt_cmd_deal_capture_log_query(const char* param_text, char* out, int* out_len) {
    if (out == nullptr || out_len == nullptr) {
        LOG_E(TAG, "out_data couldn't be empty");
        return NIMBO_ERR_FAILED;
    }
    QueryLogParam param;
    int rc = json_utils_jsonstr_to_query_log_param(param_text, &param);
    if (rc != 0) return parse_failure(rc, "queryLog");
    if (strcmp(param.fileType, "log") != 0) return NIMBO_ERR_NOT_SUPPORTED;
    snprintf(param.status, sizeof param.status, "2");
    param.failDes[0] = '\0';
    if (!put_reply(json_utils_query_log_param_to_jsonstr(&param, kLogNames, 2), out, out_len)) return NIMBO_ERR_FAILED;
    return 0;
}

// ---- getLog ---------------------------------------------------------------------------------

int mqtt_cmd_deal_capture_log_get(MQTTAsync client, const RequestCmd* request, char* out, int* out_len) {
    if (!args_ok(client, request, out, out_len)) return NIMBO_ERR_FAILED;
    GetLogParam param;
    int rc = json_utils_jsonstr_to_get_log_param(request->param, &param);
    if (rc != 0) return parse_failure(rc, "getLog");
    if (param.downloadFileUrl[0] == '\0' || param.filePath[0] == '\0')
        return reply_common("3", "DownloadFileUrl or filePath is empty", out, out_len, 0);
    if (param.fileType[0] == '\0') return NIMBO_ERR_INVALID;
    if (strcmp(param.fileType, "log") != 0) return NIMBO_ERR_NOT_SUPPORTED;
    // The time-stamped path is reported in a field of 255 characters: refused when it
    // would not fit, never cut.
    tasks::LogUpload widest;
    if (!tasks::plan_log_upload(param.downloadFileUrl, param.filePath, kWidestStamp, &widest)) return NIMBO_ERR_INVALID;
    if (widest.file_path.size() > kFieldMax) {
        LOG_E(TAG, "filePath [%s] refused: too long once time-stamped", param.filePath);
        return NIMBO_ERR_INVALID;
    }

    std::unique_ptr<GetLogWorker> record{new (std::nothrow) GetLogWorker};
    if (!record) {
        LOG_E(TAG, "Memory allocation failed");
        return NIMBO_ERR_FAILED;
    }
    try {
        record->client = client;
        record->cmd = request->cmd;
        record->sn = request->sn;
        record->taskId = request->taskId;
        record->downloadFileUrl = param.downloadFileUrl;
        record->filePath = param.filePath;
        record->env = &tasks::environment();
    } catch (...) {
        LOG_E(TAG, "Memory allocation failed");
        return NIMBO_ERR_FAILED;
    }
    if (!start_detached(workers::Kind::log_upload, mqtt_cmd_deal_thread_capture_log_get_tlog, record.get())) return NIMBO_ERR_FAILED;
    (void)record.release();
    snprintf(param.status, sizeof param.status, "1");
    param.failDes[0] = '\0';
    if (!put_reply(json_utils_get_log_param_to_jsonstr(&param), out, out_len)) return NIMBO_HANDLED;
    return 0;
}

}  // extern "C"
