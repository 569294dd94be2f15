// Workers of the long tasks (log tag "mqtt_adeal"): the application upgrade, the firmware
// upgrade and the log upload. Each runs on its own detached thread, owns its record and
// frees it when it ends. The handlers that start them are in mqtt_cmd_deal_tasks.h.
#pragma once

#include <MQTTAsync.h>
#include <stdint.h>

#include <functional>
#include <memory>
#include <string>

#include "json/json_utils.h"
#include "tasks/curl_utils.h"
#include "tasks/ledger.h"

namespace tasks {

struct Environment;

// What every worker record starts with: the request it serves, the environment it runs in
// and, for the long tasks, its entry in the task ledger.
struct Record {
    MQTTAsync client = nullptr;
    std::string cmd, sn, taskId;
    const Environment* env = nullptr;
    EntryPtr entry;
};

}  // namespace tasks

// The application-upgrade worker's record.
struct ApkUpgradeWorker : tasks::Record {
    std::string apkDownloadUrl, apkVersion, applicationName, md5sum;
    int option1 = 0, option2 = 0;  // handed to the installer
    uint64_t apkSize = 0;
    uint32_t progress = 0;  // percentage points between two progress replies
};

// The firmware-upgrade worker's record.
struct OtaUpgradeWorker : tasks::Record {
    std::string otaDownloadUrl, otaVersion, packageName, md5sum;
    uint64_t otaSize = 0;
    uint32_t progress = 0;
};

// The log-upload worker's record.
struct GetLogWorker : tasks::Record {
    std::string downloadFileUrl;
    std::string filePath;  // replaced by the time-stamped path
};

#define TASK_PAUSED_TEXT "The task is paused and restarted the next time connect to the server"
#define TASK_APK_PACKAGE_NAME "tmp_app.zip"
#define TASK_OTA_PACKAGE_NAME "tmp_update.zip"
#define TASK_OTA_OLD_VERSION_NAME "ota_old_version"

extern "C" {

// Download callbacks and reporters of the two upgrades; `context` is the worker's record.
// Progress ("1" with a percentage) is throttled by the record's step; other "1" reports are
// sent with QoS 0; a final report ("2", "3") goes to the task's ledger entry and is sent
// when the task ends.
void apkupdate_callback(void* context, const char* status, const char* text);
void otaupdate_callback(void* context, const char* status, const char* text);

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
    // Stores a final reply envelope (its backup) before the task is forgotten.
    std::function<void(const std::string& envelope)> store_reply;
    // Waits `seconds` (the pause before a poster is put in place).
    std::function<void(unsigned seconds)> sleep;
    // The time stamp of a log upload's names (decimal seconds).
    std::function<std::string()> stamp;
};

// The real driver, installers, shell, upload and publishing.
const Environment& production_environment();

// The environment new workers get (the production one unless a test set another; null
// restores it). The object must outlive every worker started with it.
void use_environment(const Environment* env);
const Environment& environment();

// Upload answers are kept whole up to this size; a longer one keeps this many first bytes.
constexpr size_t kUploadAnswerMax = 64u * 1024u;

// Logs that a record could not be built ("Memory allocation failed").
void record_not_built();

// A worker record with the request's identity and the current environment, completed by
// `fill`; null (logged) when memory ran out.
template <class R, class Fill>
std::unique_ptr<R> make_record(MQTTAsync client, const RequestCmd& request, Fill fill) {
    try {
        auto record = std::make_unique<R>();
        record->client = client;
        record->cmd = request.cmd;
        record->sn = request.sn;
        record->taskId = request.taskId;
        record->env = &environment();
        fill(*record);
        return record;
    } catch (...) {
        record_not_built();
        return nullptr;
    }
}

// Progress throttling of the task callbacks: true when a report of `text` (status "1")
// must be sent with the given step. Updates g_download_last_progress and resets the retry
// count when a percentage arrives.
bool progress_report_due(const char* status, const char* text, uint32_t step);

// One report of a download worker's callback: when progress_report_due lets it through with
// the record's step, the parameter `build()` makes is replied for the record with QoS 0
// (status "1"), or kept as the task's final reply (sent with QoS 2 when the task ends). A
// null record (no worker) sends nothing.
void send_report(const Record* record, uint32_t step, const char* status, const char* text,
                 const std::function<char*()>& build);

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

// The ledger's view of an environment's publishing.
Publisher publisher_of(const Environment& env);

// Held by a long task's worker: when it leaves without ending its task (finish, pause,
// wait_for_restart), the task is finished then.
class Ending {
public:
    Ending(EntryPtr entry, Publisher publisher) : entry_(std::move(entry)), publisher_(std::move(publisher)) {}
    Ending(const Ending&) = delete;
    Ending& operator=(const Ending&) = delete;
    ~Ending();

private:
    EntryPtr entry_;
    Publisher publisher_;
};

// The worker bodies, started through workers::start.
void run_apk_upgrade(ApkUpgradeWorker* record);
void run_ota_upgrade(OtaUpgradeWorker* record);
void run_get_log(GetLogWorker* record);

}  // namespace tasks
