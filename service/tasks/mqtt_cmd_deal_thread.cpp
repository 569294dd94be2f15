// Workers of the long tasks: application upgrade, firmware upgrade, log upload.
#include "tasks/mqtt_cmd_deal_thread.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "c_handles.hpp"
#include "hwlink.h"
#include "json/json_utils_tasks.h"
#include "log_tags.h"
#include "result_codes.h"
#include "tasks/ledger.h"
#include "tasks/mqtt_cmd_deal_thread_download.h"
#include "tasks/nimbo_utils_task.h"
#include "tasks/nimbo_workers.h"
#include "util/kx_log.h"
#include "util/nimbo_archive.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"
#include "util/nimbo_utils_faildes.h"

namespace {

constexpr const char* kInstalling = "Installing";
constexpr const char* kApkUnknown = "An unknown error occurred in application installation";
constexpr const char* kOtaUnknown = "An unknown error occurred in OTA installation";
constexpr const char* kOtaWaiting = "Installation successful, waiting for restart";
constexpr const char* kDmesgName = "dmesg.log";
constexpr const char* kAppLogName = "app_log.tar.gz";
constexpr size_t kErrorText = 256;

std::string package_path(const char* name) { return std::string(g_nimbo_download_path) + "/" + name; }

// The installer's error text (len bytes, not necessarily terminated).
struct InstallerError {
    char text[kErrorText + 1] = {};
    int len = 0;
    // The text, or `fallback` when there is none.
    std::string or_else(const char* fallback) const {
        if (len <= 0) return fallback;
        size_t n = strnlen(text, std::min(static_cast<size_t>(len), kErrorText));
        return n > 0 ? std::string(text, n) : std::string(fallback);
    }
};

// Fetches an upgrade package through the environment's driver: its result, after the
// callback got "3" for a refused task or the pause text for a paused one.
int fetch(const tasks::Environment& env, const std::string& url, const std::string& path, DownloadCallback callback,
          void* context, uint64_t size, const std::string& md5) {
    DownloadTask task;
    int rc = curl_utils_download_task_init(&task, url.c_str(), path.c_str(), callback, context, size, md5.c_str());
    if (rc != 0) {
        LOG_E(TAG_ADEAL, "download task of [%s] refused", url.c_str());
        callback(context, "3", "Invalid parameter");
        return rc;
    }
    rc = env.download(task);
    if (rc == NIMBO_PAUSED || rc == NIMBO_DOWNLOAD_BUSY) callback(context, "1", TASK_PAUSED_TEXT);
    return rc;
}

bool paused(int rc) { return rc == NIMBO_PAUSED || rc == NIMBO_DOWNLOAD_BUSY; }

int run_command(const std::string& command) {
    std::vector<std::string> lines;
    int status = -1;
    if (!nimbo::run_collect(command, &lines, &status)) return -1;
    return status;
}

tasks::Environment make_production() {
    tasks::Environment env;
    env.download = download_logic;
    env.install_app = hwlink_install_app;
    env.install_firmware = hwlink_install_firmware;
    env.firmware_version = hwlink_get_firmware_version;
    env.system_version = hwlink_get_system_version;
    env.run = run_command;
    env.upload = [](const char* url, const char* path, const char* name, std::string* answer) {
        return curl_utils::post_file(url, path, name, CURL_UTILS_UPLOAD_KEY, answer, tasks::kUploadAnswerMax);
    };
    // The session's own publishing, installed in the ledger when the session starts.
    env.reply = [](MQTTAsync client, const char* cmd, const char* sn, const char* task_id, const char* param,
                   int qos) {
        tasks::Publisher session = tasks::ledger().publisher();
        return session.publish ? session.publish(client, cmd, sn, task_id, param, qos) : NIMBO_ERR_FAILED;
    };
    env.connected = [] { return g_flag_mqtt_connect.load() != 0; };
    env.republish = [](MQTTAsync client, const std::string& text) {
        tasks::Publisher session = tasks::ledger().publisher();
        if (session.republish) session.republish(client, text);
    };
    env.store_reply = [](const std::string& envelope) {
        tasks::Publisher session = tasks::ledger().publisher();
        if (session.store) session.store(envelope);
    };
    env.sleep = [](unsigned seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); };
    env.stamp = [] { return std::string(nimbo_utils_get_current_timeinfo(2).timestamp_str); };
    return env;
}

std::atomic<const tasks::Environment*> g_environment{nullptr};
const tasks::Environment& env_of(const tasks::Environment* env) { return env ? *env : tasks::environment(); }

}  // namespace

// Ends the task however its worker leaves (an exception included): a task that neither
// finished, paused nor awaits its restart is answered as failed.
tasks::Ending::~Ending() {
    try {
        ledger().finish(entry_, publisher_);
    } catch (...) {
        LOG_E(TAG_ADEAL, "task[%s] could not be ended: out of memory", entry_ ? entry_->task_id.c_str() : "");
    }
}

// ---- environment, helpers -------------------------------------------------------

const tasks::Environment& tasks::production_environment() {
    static const Environment env = make_production();
    return env;
}

void tasks::use_environment(const Environment* env) { g_environment.store(env); }

const tasks::Environment& tasks::environment() {
    const Environment* env = g_environment.load();
    return env ? *env : production_environment();
}

tasks::Publisher tasks::publisher_of(const Environment& env) {
    Publisher p;
    p.store = env.store_reply;
    p.publish = env.reply;
    p.republish = env.republish;
    p.connected = env.connected;
    return p;
}

void tasks::record_not_built() { LOG_E(TAG_DEAL, "Memory allocation failed"); }

bool tasks::progress_report_due(const char* status, const char* text, uint32_t step) {
    if (status == nullptr || text == nullptr) return false;
    if (strcmp(status, "1") != 0 || strchr(text, '%') == nullptr) return true;
    if (g_download_logic_retry_count.load() > 0) {
        g_download_logic_retry_count = 0;
        LOG_V(TAG_ADEAL, "breakpoint successful, clear retryCount");
    }
    if (step >= 100) return false;
    int percent = 0;
    if (sscanf(text, "%d", &percent) != 1) return true;
    // Unsigned: a download started again from 0 reports at once.
    if (static_cast<uint32_t>(percent - g_download_last_progress.load()) < step) return false;
    g_download_last_progress = percent;
    return true;
}

void tasks::send_report(const Record* record, uint32_t step, const char* status, const char* text,
                        const std::function<char*()>& build) {
    if (!progress_report_due(status, text, step)) return;
    if (record == nullptr || record->client == nullptr) return;
    CText param{build()};
    if (!param) {
        LOG_E(TAG_ADEAL, "replay failed");
        return;
    }
    int qos = strcmp(status, "1") == 0 ? 0 : 2;
    if (qos == 2 && record->entry) {
        ledger().set_final(record->entry, param.get());  // sent when the task ends
        return;
    }
    if (env_of(record->env).reply(record->client, record->cmd.c_str(), record->sn.c_str(), record->taskId.c_str(),
                                  param.get(), qos) != 0)
        LOG_E(TAG_ADEAL, "replay failed");
}

bool tasks::plan_log_upload(const std::string& download_url, const std::string& file_path, const std::string& stamp,
                            LogUpload* out) {
    LogUpload plan;
    std::string from, to;
    if (nimbo_utils_string_end_with(file_path.c_str(), kDmesgName) == 0) {
        plan.dmesg = true;
        plan.name = "dmesg_" + stamp + ".log";
        from = kDmesgName;
        to = plan.name;
    } else if (nimbo_utils_string_end_with(file_path.c_str(), kAppLogName) == 0) {
        plan.name = "app_log_" + stamp + ".tar.gz";
        from = kAppLogName;
        to = plan.name;
    } else {
        return false;
    }
    CText replaced{nimbo_utils_string_replace(file_path.c_str(), from.c_str(), to.c_str())};
    if (!replaced) return false;
    plan.file_path = replaced.get();
    plan.upload_url = download_url + plan.file_path;
    size_t slash = plan.upload_url.rfind('/');
    if (slash != std::string::npos) plan.upload_url.erase(slash);
    *out = std::move(plan);
    return true;
}

// ---- application upgrade ----------------------------------------------------------------

extern "C" void apkupdate_callback(void* context, const char* status, const char* text) {
    auto* r = static_cast<ApkUpgradeWorker*>(context);
    tasks::send_report(r, r ? r->progress : 100, status, text, [&] {
        return json_utils_apkupgrade_param_to_jsonstr2(status, text, r->apkVersion.c_str(), r->applicationName.c_str());
    });
}

namespace {

// The installation journal of the application upgrade, "apk_install_journal" in the data
// directory: "installing <taskId>" while the installer runs, "replied <taskId>" once the
// final reply is stored. A power loss after the package was moved into place and before the
// task file was removed would otherwise fetch and install the package a second time when the
// task resumes. The installer moves the package with a rename, so a missing package file
// under an "installing" entry means the move happened.
std::string apk_journal_path() { return std::string(g_nimbo_data_path) + "/apk_install_journal"; }

void write_apk_journal(const char* state, const std::string& task_id) {
    if (!nimbo::replace_file(apk_journal_path(), std::string(state) + " " + task_id + "\n"))
        LOG_E(TAG_ADEAL, "could not write the installation journal");
}

// What the journal says about this task: "" (nothing), "installing" or "replied".
std::string apk_journal_state(const std::string& task_id) {
    std::string text;
    if (!nimbo::read_file(apk_journal_path(), &text, 4096, false)) return "";
    for (const char* state : {"installing", "replied"}) {
        if (text == std::string(state) + " " + task_id + "\n") return state;
    }
    return "";
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

void tasks::run_apk_upgrade(ApkUpgradeWorker* record) {
    const Environment& env = env_of(record->env);
    const Publisher publisher = publisher_of(env);
    const EntryPtr& entry = record->entry;
    const Ending ending(entry, publisher);
    const std::string package = package_path(TASK_APK_PACKAGE_NAME);
    const std::string journal_path = apk_journal_path();

    // A task that comes back after a power loss during or after its installation.
    const std::string journal = apk_journal_state(record->taskId);
    const Publisher session = ledger().publisher();
    const bool reply_pending = session.reply_stored && session.reply_stored(record->taskId);
    if (journal == "replied" || (journal == "installing" && !file_exists(package))) {
        LOG_W(TAG_ADEAL, "task[%s] was installed before the restart, not installed again", record->taskId.c_str());
        // The final reply is stored (and re-sent on connection) unless it was already delivered.
        if (journal == "installing" && !reply_pending)
            apkupdate_callback(record, "2", "");
        else
            ledger().mark_answered(entry);
        ledger().remove_at_end(entry, package);
        ledger().remove_at_end(entry, journal_path);
        ledger().finish(entry, publisher);
        return;
    }

    int rc = fetch(env, record->apkDownloadUrl, package, apkupdate_callback, record, record->apkSize, record->md5sum);
    if (paused(rc)) {
        ledger().pause(entry, publisher);  // the partial package stays for the resumption
        return;
    }
    bool installed_or_failed = false;
    if (rc == 0) {
        apkupdate_callback(record, "1", kInstalling);
        InstallerError err;
        write_apk_journal("installing", record->taskId);
        int installed = env.install_app(package.c_str(), g_device_app_path, record->applicationName.c_str(),
                                        record->apkVersion.c_str(), record->option1, record->option2, err.text,
                                        &err.len);
        if (installed == 0)
            apkupdate_callback(record, "2", "");
        else
            apkupdate_callback(record, "3", err.or_else(kApkUnknown).c_str());
        installed_or_failed = true;
    }
    ledger().remove_at_end(entry, package);
    ledger().remove_at_end(entry, journal_path);
    ledger().finish(entry, publisher, [&] {
        if (installed_or_failed) write_apk_journal("replied", record->taskId);
    });
}

// ---- firmware upgrade ---------------------------------------------------------------------

extern "C" void otaupdate_callback(void* context, const char* status, const char* text) {
    auto* r = static_cast<OtaUpgradeWorker*>(context);
    tasks::send_report(r, r ? r->progress : 100, status, text, [&] {
        return json_utils_otaupgrade_param_to_jsonstr2(status, text, r->otaVersion.c_str(), r->packageName.c_str());
    });
}

void tasks::run_ota_upgrade(OtaUpgradeWorker* record) {
    const Environment& env = env_of(record->env);
    const Publisher publisher = publisher_of(env);
    const EntryPtr& entry = record->entry;
    const Ending ending(entry, publisher);
    const std::string package = package_path(TASK_OTA_PACKAGE_NAME);

    int rc = fetch(env, record->otaDownloadUrl, package, otaupdate_callback, record, record->otaSize, record->md5sum);
    if (paused(rc)) {
        ledger().pause(entry, publisher);
        return;
    }
    if (rc == 0) {
        otaupdate_callback(record, "1", kInstalling);
        InstallerError err;
        int installed =
            env.install_firmware(package.c_str(), g_nimbo_data_path, g_nimbo_cache_path, err.text, &err.len);
        if (installed == 0) {
            // What the installer wrote reaches the disk before the server hears it is done: a
            // power loss after this reply must not undo the installation.
            ::sync();
            // The result is judged after the restart, on the command delivered again.
            otaupdate_callback(record, "1", kOtaWaiting);
            nimbo_utils_delete_file(package.c_str());
            ledger().wait_for_restart(entry);
            return;
        }
        otaupdate_callback(record, "3", err.or_else(kOtaUnknown).c_str());
    }
    ledger().remove_at_end(entry, package);
    ledger().finish(entry, publisher);
}

// ---- log upload ----------------------------------------------------------------------------

namespace {

// A directory of its own under the cache for one upload: two uploads started within the
// same second never share a local file. Made (mode 0700) and removed with its content
// through the held cache folder: a link in place of the cache folder is refused.
class PrivateDir {
public:
    bool create() {
        cache_ = nimbo::open_folder(g_nimbo_cache_path, true, TAG_ADEAL);
        if (cache_) {
            static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
            std::random_device random;
            for (int attempt = 0; attempt < 100; ++attempt) {
                std::string name = "log_";
                for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
                if (::mkdirat(cache_.get(), name.c_str(), 0700) == 0) {
                    name_ = name;
                    fd_.reset(::openat(cache_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                    if (!fd_) break;
                    path_ = std::string(g_nimbo_cache_path) + "/" + name;
                    return true;
                }
                if (errno != EEXIST) break;
            }
        }
        LOG_E(TAG_ADEAL, "cannot create a directory under %s", g_nimbo_cache_path);
        return false;
    }
    ~PrivateDir() {
        if (!name_.empty()) nimbo::remove_tree_at(cache_.get(), name_.c_str());
    }
    const std::string& path() const { return path_; }
    int fd() const { return fd_.get(); }

private:
    UniqueFd cache_, fd_;
    std::string name_, path_;
};

void reply_get_log(const GetLogWorker& record, const tasks::Environment& env, const char* status,
                   const char* fail_des) {
    GetLogParam param;
    memset(&param, 0, sizeof param);
    snprintf(param.status, sizeof param.status, "%s", status);
    snprintf(param.failDes, sizeof param.failDes, "%s", fail_des);
    snprintf(param.downloadFileUrl, sizeof param.downloadFileUrl, "%s", record.downloadFileUrl.c_str());
    snprintf(param.filePath, sizeof param.filePath, "%s", record.filePath.c_str());
    CText text{json_utils_get_log_param_to_jsonstr(&param)};
    if (!text || env.reply(record.client, record.cmd.c_str(), record.sn.c_str(), record.taskId.c_str(), text.get(),
                           0) != 0)
        LOG_E(TAG_ADEAL, "replay failed");
}

}  // namespace

void tasks::run_get_log(GetLogWorker* record) {
    const Environment& env = env_of(record->env);
    LogUpload plan;
    if (!plan_log_upload(record->downloadFileUrl, record->filePath, env.stamp(), &plan)) {
        char text[256] = {0};
        nimbo_utils_errcode_converted_into_faildes(-2, text);
        reply_get_log(*record, env, "3", text);
        return;
    }
    record->filePath = plan.file_path;

    PrivateDir dir;
    if (!dir.create()) {
        char text[256] = {0};
        nimbo_utils_errcode_converted_into_faildes(-8, text);
        reply_get_log(*record, env, "3", text);
        return;
    }
    std::string local = dir.path() + "/" + plan.name;
    int status;
    if (plan.dmesg) {
        status = env.run("dmesg > " + nimbo::shell_quote(local) + ";sync");
    } else {
        // Archived in-process from the held log folder into the private folder: a link in
        // place of the log folder is refused, never archived and uploaded.
        UniqueFd logs = nimbo::open_folder(g_device_log_path, false, TAG_ADEAL);
        if (!logs && errno != ENOENT) {
            char text[256] = {0};
            nimbo_utils_errcode_converted_into_faildes(-8, text);
            reply_get_log(*record, env, "3", text);
            return;
        }
        UniqueFd archive{
            logs ? nimbo::nofollow_openat(dir.fd(), plan.name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600, nullptr) : -1};
        status = archive && nimbo::write_tar_gz(logs.get(), archive.get()) ? 0 : -1;
    }
    if (status != 0) LOG_W(TAG_ADEAL, "collecting %s ended with status %d", plan.name.c_str(), status);

    LOG_V(TAG_ADEAL, "url: %s", plan.upload_url.c_str());
    std::string answer;
    HttpResult result = env.upload(plan.upload_url.c_str(), local.c_str(), plan.name.c_str(), &answer);
    nimbo_utils_delete_file(local.c_str());

    if (result.code != 0) {
        reply_get_log(*record, env, "3", result.message);
        return;
    }
    // A long answer is kept only in part (the buffer is bounded): its verdict comes from
    // the members that arrived whole.
    PostFileResult parsed;
    int rc = answer.size() < kUploadAnswerMax ? json_utils_jsonstr_to_post_file_result(answer.c_str(), &parsed)
                                              : json_utils::post_file_result_from_head(answer.c_str(), &parsed);
    if (rc == 0 && parsed.success == 1)
        reply_get_log(*record, env, "2", "");
    else
        reply_get_log(*record, env, "3", parsed.desc);
}
