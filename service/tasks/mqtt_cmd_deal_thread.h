// Workers of the long tasks (log tag "mqtt_adeal"): the application upgrade, the firmware
// upgrade and the log upload. Each runs on its own detached thread, owns its record and
// frees it when it ends. The handlers that start them are in mqtt_cmd_deal_tasks.h.
#pragma once

#include <MQTTAsync.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>

#include "curl_utils.h"

namespace tasks {
struct Environment;
}

// The application-upgrade worker's record.
struct ApkUpgradeWorker {
    MQTTAsync client = nullptr;
    std::string cmd, sn, taskId;
    std::string apkDownloadUrl, apkVersion, applicationName, md5sum;
    int option1 = 0, option2 = 0;  // handed to the installer
    uint64_t apkSize = 0;
    uint32_t progress = 0;  // percentage points between two progress replies
    const tasks::Environment* env = nullptr;
};

// The firmware-upgrade worker's record.
struct OtaUpgradeWorker {
    MQTTAsync client = nullptr;
    std::string cmd, sn, taskId;
    std::string otaDownloadUrl, otaVersion, packageName, md5sum;
    uint64_t otaSize = 0;
    uint32_t progress = 0;
    const tasks::Environment* env = nullptr;
};

// The log-upload worker's record.
struct GetLogWorker {
    MQTTAsync client = nullptr;
    std::string cmd, sn, taskId;
    std::string downloadFileUrl;
    std::string filePath;  // replaced by the time-stamped path
    const tasks::Environment* env = nullptr;
};

// The running worker of each upgrade kind (null when none). A handler claims the slot
// under g_download_mutex before it starts the thread; the worker empties it, under the
// same mutex, when it ends. The progress callbacks reply through it.
extern std::atomic<ApkUpgradeWorker*> g_apk_params;
extern std::atomic<OtaUpgradeWorker*> g_ota_params;

#define TASK_PAUSED_TEXT "The task is paused and restarted the next time connect to the server"
#define TASK_APK_PACKAGE_NAME "tmp_app.zip"
#define TASK_OTA_PACKAGE_NAME "tmp_update.zip"
#define TASK_OTA_OLD_VERSION_NAME "ota_old_version"

extern "C" {

void* mqtt_cmd_deal_thread_apkupgrade_method(void* arg);
void* mqtt_cmd_deal_thread_otaupgrade_method(void* arg);
void* mqtt_cmd_deal_thread_capture_log_get_tlog(void* arg);

// Each takes null.
void release_mqtt_cmd_deal_thread_apkupgrade_param(ApkUpgradeWorker* param);
void release_mqtt_cmd_deal_thread_otaupgrade_param(OtaUpgradeWorker* param);
void release_mqtt_cmd_deal_thread_capture_log_get_tlog_param(GetLogWorker* param);

// Download callbacks and reporters of the two upgrades: progress ("1" with a percentage)
// throttled by the record's step, every other report sent (QoS 0 for "1", 2 otherwise).
void apkupdate_callback(const char* status, const char* text);
void otaupdate_callback(const char* status, const char* text);

}  // extern "C"

namespace tasks {

// What the workers need from the world; tests replace pieces.
struct Environment {
    std::function<int(DownloadTask task)> download;
    std::function<int(const char* package, const char* app_dir, const char* app_name, const char* version,
                      int option1, int option2, char* err, int* err_len)>
        install_app;
    std::function<int(const char* package, const char* data_dir, const char* work_dir, char* err, int* err_len)>
        install_firmware;
    std::function<int(char* out, int* len)> firmware_version;
    std::function<int(char* out, int* len)> system_version;
    // Runs a shell command line; its exit status (1000 + signal when killed, -1 lost).
    std::function<int(const std::string& command)> run;
    std::function<HttpResult(const char* url, const char* path, const char* name, std::string* answer)> upload;
    // Publishes a reply parameter; 0 when the MQTT library took it.
    std::function<int(MQTTAsync client, const char* cmd, const char* sn, const char* task_id, const char* param,
                      int qos)>
        reply;
    // True while the MQTT session is up.
    std::function<bool()> connected;
    // Publishes the stored task command to the device's own command topic.
    std::function<void(MQTTAsync client, const std::string& text)> republish;
};

// The real driver, installers, shell, upload and publishing.
const Environment& production_environment();

// The environment new workers get (the production one unless a test set another; null
// restores it). The object must outlive every worker started with it.
void use_environment(const Environment* env);
const Environment& environment();

// Upload answers are kept whole up to this size; a longer one keeps this many first bytes.
constexpr size_t kUploadAnswerMax = 64u * 1024u;

// The kinds of worker slot.
enum class Kind { apk, ota };

// Claims the kind's slot for `record` under g_download_mutex. -10000 when a download runs
// or a worker of the kind holds the slot (logged "The task has already begun."), 0 when
// claimed. A same-task delivery refused while the worker runs is remembered, so that a
// worker that pauses after the session came back takes the task up again.
int claim_slot(Kind kind, void* record, const char* task_id);
// Empties the slot when `record` holds it.
void release_slot(Kind kind, const void* record);

// Progress throttling of the task callbacks: true when a report of `text` (status "1")
// must be sent with the given step. Updates g_download_last_progress and resets the retry
// count when a percentage arrives.
bool progress_report_due(const char* status, const char* text, uint32_t step);

// The names the upload of a log file uses at time stamp `stamp`.
struct LogUpload {
    std::string file_path;   // the reported path, with the time-stamped name
    std::string name;        // the uploaded file's name
    std::string upload_url;  // downloadFileUrl + file_path, cut at its last "/"
    bool dmesg = false;      // the kernel buffer; else the log directory's archive
};
// False when file_path names neither "dmesg.log" nor "app_log.tar.gz".
bool plan_log_upload(const std::string& download_url, const std::string& file_path, const std::string& stamp,
                     LogUpload* out);

// Workers started and not yet ended (their threads may outlive their slots briefly).
int running_workers();

// The worker bodies, for tests that run them on their own thread.
void run_apk_upgrade(ApkUpgradeWorker* record);
void run_ota_upgrade(OtaUpgradeWorker* record);
void run_get_log(GetLogWorker* record);

}  // namespace tasks
