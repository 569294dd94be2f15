// Handlers of the upgrades and of the log commands. They run on the MQTT message thread,
// answer at once and leave the long work to detached workers that own their records. The
// checks of the request's values (mqtt_cmd_deal_tasks::valid_*) are the handlers' and live here.
#include "commands/mqtt_cmd_deal_tasks.h"

#include <ctype.h>

#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "c_handles.hpp"
#include "device_files.h"
#include "json/json_utils.h"
#include "json/json_utils_tasks.h"
#include "log_tags.h"
#include "result_codes.h"
#include "tasks/ledger.h"
#include "tasks/mqtt_cmd_deal_thread.h"
#include "tasks/nimbo_workers.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

namespace {

// Widest time-stamp text a log name can get (decimal seconds of a 64-bit time).
const std::string kWidestStamp(20, '9');
constexpr size_t kFieldMax = 255;
constexpr const char* kLogNames[] = {"dmesg.log", "app_log.tar.gz"};

using mqtt_cmd_deal::args_ok;
using mqtt_cmd_deal::parse_failure;
using mqtt_cmd_deal::put_reply;
using mqtt_cmd_deal::reply_status;

// The server's download values that could never work: a file name too long for its
// authentication header, an expected MD5 that is not 32 hexadecimal digits.
bool download_values_usable(const char* url, const char* md5) {
    if (!curl_utils::download_name_fits(url)) {
        LOG_E(TAG_DEAL, "download url [%s] refused: its file name does not fit the authentication header", url);
        return false;
    }
    if (!mqtt_cmd_deal_tasks::valid_md5_text(md5)) {
        LOG_E(TAG_DEAL, "md5sum [%s] refused: not 32 hexadecimal digits", md5);
        return false;
    }
    return true;
}

// Builds the worker's record (completed by `fill`) with the task's ledger entry (the
// upgrades; null for a log upload) and starts the worker, then answers "1" with the request's
// `param`. 0 started (the record and the task now belong to the worker), -8 no record or
// thread.
template <class Record, class Param, class Fill>
int start_worker(workers::Kind kind, const tasks::EntryPtr& entry, MQTTAsync client, const RequestCmd& request,
                 Fill fill, void (*body)(Record*), Param& param, char* (*accepted)(const Param*), char* out,
                 int* out_len) {
    auto record = tasks::make_record<Record>(client, request, fill);
    if (!record) return NIMBO_ERR_FAILED;
    record->entry = entry;
    if (entry) tasks::ledger().hand_to_worker(entry);
    if (!workers::start(kind, record, body)) {
        if (entry) tasks::ledger().take_back(entry);
        return NIMBO_ERR_FAILED;
    }
    snprintf(param.status, sizeof param.status, "1");
    param.failDes[0] = '\0';
    // The worker runs already: its own replies follow, so this one is sent whatever happens.
    if (!put_reply(accepted(&param), out, out_len)) return NIMBO_HANDLED;
    return 0;
}

// ---- firmware result after the restart ------------------------------------------------

// The installer's marker under /tmp: installed, and the device has not restarted since.
bool restart_pending() {
    std::string marker = nimbo::device_path(nimbo::dev::kOtaOldVersion);
    return ::access(marker.c_str(), F_OK) == 0;
}

int judge_ota_result(const tasks::EntryPtr& entry, const std::string& old_version_path, const char* old_version,
                     char* out, int* out_len) {
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
    LOG_I(TAG_DEAL, "type: %s, ota result judgment, old version: %s, fwVer: %s, ok: %d", oem ? "OEM" : "ALL", old_version,
          running, changed ? 1 : 0);
    // Removed once the judgement is stored and the task recorded as finished; a power loss
    // while the installer ran leaves the package behind: the task ends here.
    tasks::ledger().remove_at_end(entry, old_version_path);
    tasks::ledger().remove_at_end(entry, std::string(g_nimbo_download_path) + "/" TASK_OTA_PACKAGE_NAME);
    if (changed) return reply_status(out, out_len, "2", "100%", NIMBO_REPLY_QOS2);
    return reply_status(out, out_len, "3", "Version not changed", NIMBO_REPLY_QOS2);
}

}  // namespace

bool mqtt_cmd_deal_tasks::valid_application_name(const char* name) {
    return name != nullptr && name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
           strchr(name, '/') == nullptr;
}

bool mqtt_cmd_deal_tasks::valid_md5_text(const char* md5) {
    if (md5 == nullptr || md5[0] == '\0') return true;
    size_t n = 0;
    for (; md5[n] != '\0'; ++n)
        if (!isxdigit(static_cast<unsigned char>(md5[n]))) return false;
    return n == 32;
}

namespace {

// Runs a long task's handler with the task's ledger entry and settles what no worker took.
template <class Body>
int with_entry(MQTTAsync client, const RequestCmd* request, char* out, int* out_len, Body body) {
    if (!args_ok(client, request, out, out_len)) return NIMBO_ERR_FAILED;
    tasks::EntryPtr entry = tasks::ledger().claim(*request, client);
    if (!entry) return NIMBO_HANDLED;
    int rc = body(entry);
    tasks::ledger().settle(entry, rc, out);
    return rc;
}

int apk_upgrade(const tasks::EntryPtr& entry, MQTTAsync client, const RequestCmd* request, char* out, int* out_len) {
    ApkUpgradeParam param;
    int rc = json_utils_jsonstr_to_apk_upgrade_param(request->param, &param);
    if (rc != 0) return parse_failure(rc, "apkUpgrade");
    if (param.apkDownloadUrl[0] == '\0') return reply_status(out, out_len, "3", "ApkDownloadUrl is empty", NIMBO_REPLY_QOS2);
    if (!mqtt_cmd_deal_tasks::valid_application_name(param.applicationName)) {
        LOG_E(TAG_DEAL, "application name [%s] refused", param.applicationName);
        return NIMBO_ERR_INVALID;
    }
    if (!download_values_usable(param.apkDownloadUrl, param.md5sum)) return NIMBO_ERR_INVALID;

    auto fill = [&param](ApkUpgradeWorker& r) {
        r.apkDownloadUrl = param.apkDownloadUrl;
        r.apkVersion = param.apkVersion;
        r.applicationName = param.applicationName;
        r.md5sum = param.md5sum;
        r.apkSize = param.apkSize;
        r.progress = static_cast<uint32_t>(param.progress);
    };
    return start_worker(workers::Kind::apk, entry, client, *request, fill, tasks::run_apk_upgrade, param,
                        json_utils_apkupgrade_param_to_jsonstr, out, out_len);
}

int ota_upgrade(const tasks::EntryPtr& entry, MQTTAsync client, const RequestCmd* request, char* out, int* out_len) {
    OtaUpgradeParam param;
    int rc = json_utils_jsonstr_to_ota_upgrade_param(request->param, &param);
    if (rc != 0) return parse_failure(rc, "otaUpgrade");

    if (restart_pending()) {
        LOG_W(TAG_DEAL, "ota task wait for confirmation of restart, exit");
        return NIMBO_HANDLED;
    }
    const std::string old_path = std::string(g_nimbo_data_path) + "/" + TASK_OTA_OLD_VERSION_NAME;
    CText old_version{nimbo_utils_read_line_from_file(old_path.c_str())};
    if (old_version) return judge_ota_result(entry, old_path, old_version.get(), out, out_len);

    if (param.otaDownloadUrl[0] == '\0') return reply_status(out, out_len, "3", "Ota_download_url is empty", NIMBO_REPLY_QOS2);
    if (!download_values_usable(param.otaDownloadUrl, param.md5sum)) return NIMBO_ERR_INVALID;

    auto fill = [&param](OtaUpgradeWorker& r) {
        r.otaDownloadUrl = param.otaDownloadUrl;
        r.otaVersion = param.otaVersion;
        r.packageName = param.packageName;
        r.md5sum = param.md5sum;
        r.otaSize = param.otaSize;
        r.progress = static_cast<uint32_t>(param.progress);
    };
    return start_worker(workers::Kind::ota, entry, client, *request, fill, tasks::run_ota_upgrade, param,
                        json_utils_otaupgrade_param_to_jsonstr, out, out_len);
}

}  // namespace

extern "C" {

// ---- apkUpgrade ---------------------------------------------------------------------------

int mqtt_cmd_deal_apkupgrade(MQTTAsync client, const RequestCmd* request, char* out, int* out_len) {
    return with_entry(client, request, out, out_len,
                      [&](const tasks::EntryPtr& entry) { return apk_upgrade(entry, client, request, out, out_len); });
}

// ---- otaUpgrade ---------------------------------------------------------------------------

int mqtt_cmd_deal_otaupgrade(MQTTAsync client, const RequestCmd* request, char* out, int* out_len) {
    return with_entry(client, request, out, out_len,
                      [&](const tasks::EntryPtr& entry) { return ota_upgrade(entry, client, request, out, out_len); });
}

// ---- queryLog ------------------------------------------------------------------------------

int mqtt_cmd_deal_capture_log_query(const char* param_text, char* out, int* out_len) {
    if (!args_ok(out, out_len)) return NIMBO_ERR_FAILED;
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
        return reply_status(out, out_len, "3", "DownloadFileUrl or filePath is empty", 0);
    if (param.fileType[0] == '\0') return NIMBO_ERR_INVALID;
    if (strcmp(param.fileType, "log") != 0) return NIMBO_ERR_NOT_SUPPORTED;
    // The time-stamped path is reported in a field of 255 characters: refused when it
    // would not fit, never cut.
    tasks::LogUpload widest;
    if (!tasks::plan_log_upload(param.downloadFileUrl, param.filePath, kWidestStamp, &widest)) return NIMBO_ERR_INVALID;
    if (widest.file_path.size() > kFieldMax) {
        LOG_E(TAG_DEAL, "filePath [%s] refused: too long once time-stamped", param.filePath);
        return NIMBO_ERR_INVALID;
    }

    auto fill = [&param](GetLogWorker& r) {
        r.downloadFileUrl = param.downloadFileUrl;
        r.filePath = param.filePath;
    };
    return start_worker(workers::Kind::log_upload, tasks::EntryPtr(), client, *request, fill, tasks::run_get_log, param,
                        json_utils_get_log_param_to_jsonstr, out, out_len);
}

}  // extern "C"
