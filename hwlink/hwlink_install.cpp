// Installation of application packages and firmware, and the signals to the payment
// application (log tag "hwlink").
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/types.h>

#include "device_files.h"
#include "device_path.h"
#include "c_handles.hpp"
#include "elog.h"
#include "folder_handle.h"
#include "hwlink_private.h"
#include "log_tags.h"
#include "pay_signals.h"
#include "result_codes.h"

namespace {

const int kCommandMax = 1024;
const int kMaxPids = 32;
const char kAppInstallFailed[] = "App install failed";
const char kUnzipFailed[] = "Package unzip failed, please check the package";
const char kOffline[] = "App Alipay is offline";
const char kOldVersionName[] = "ota_old_version";

// Process names reach the process lookup's command line: plain names only.
bool plain_process_name(const char* name) {
    for (const char* p = name; *p; ++p) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

// An application name becomes a file name under the download directory.
bool valid_app_name(const char* name) {
    return name != nullptr && name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0;
}

// Runs a command whose "%s" fields are filled with quoted values; -1 when it cannot be built.
int run(const char* fmt, const char* const* values, int count) {
    char command[kCommandMax];
    if (!hw::shell_command(command, sizeof command, fmt, values, count)) {
        LOG_E(TAG_HWLINK, "command too long: %s", fmt);
        return -1;
    }
    return nimbo_utils_run_command_by_popen(command);
}

int app_install_failed(char* err, int* err_len) {
    memcpy(err, kAppInstallFailed, sizeof kAppInstallFailed - 1);
    *err_len = (int)(sizeof kAppInstallFailed - 1);
    return NIMBO_ERR_FAILED;
}

// The held handle of a folder of the installation, logged when refused (a link where a
// folder must be is never followed).
UniqueFd install_folder(const char* path, bool create) {
    nimbo::FolderError error;
    UniqueFd fd(nimbo::folder_handle(path, create, &error));
    if (!fd) {
        if (error.why == nimbo::FolderRefusal::link || error.why == nimbo::FolderRefusal::not_folder)
            LOG_E(TAG_HWLINK, "%s %s: folder refused, nothing followed", error.where,
                  nimbo::folder_refusal_text(error.why));
        else
            LOG_E(TAG_HWLINK, "folder %s could not be opened: %s", error.where, strerror(error.err));
    }
    return fd;
}

int signal_result_for_caller(int r, char* msg) {
    if (r != NIMBO_ERR_NOT_FOUND) return r;
    if (msg == nullptr) return NIMBO_ERR_NOT_FOUND;
    memcpy(msg, kOffline, sizeof kOffline - 1);
    return NIMBO_ERR_FAILED;
}

}  // namespace

extern "C" {

HWLINK_API int hwlink_send_signal_to_other_process(const char* name, int sig) {
    if (name == nullptr || name[0] == '\0') return NIMBO_ERR_INVALID;
    if (!plain_process_name(name)) {
        LOG_E(TAG_HWLINK, "invalid process name: %s", name);
        return NIMBO_ERR_INVALID;
    }
    int pids[kMaxPids];
    int count = 0;
    if (nimbo_utils_find_pid_by_name(name, pids, kMaxPids, &count) != 0 || count <= 0) {
        LOG_W(TAG_HWLINK, "%s process not found", name);
        return NIMBO_ERR_NOT_FOUND;
    }
    if (count > kMaxPids) count = kMaxPids;
    int delivered = 0, gone = 0;
    for (int i = 0; i < count; ++i) {
        LOG_V(TAG_HWLINK, "send %d signal to pid[%d]", sig, pids[i]);
        if (kill((pid_t)pids[i], sig) == 0) {
            ++delivered;
        } else {
            int e = errno;
            if (e == ESRCH) ++gone;
            LOG_W(TAG_HWLINK, "send %d signal to pid[%d] failed: %s", sig, pids[i], strerror(e));
        }
    }
    if (delivered > 0) return 0;
    if (gone == count) {
        LOG_W(TAG_HWLINK, "%s process not found", name);
        return NIMBO_ERR_NOT_FOUND;
    }
    return NIMBO_ERR_FAILED;
}

HWLINK_API int hwlink_send_signal_to_alibankApp(int number) {
    int sig = nimbo_pay_signal(number);
    if (sig < 0) {
        LOG_E(TAG_HWLINK, "no payment-application signal %d", number);
        return NIMBO_ERR_INVALID;
    }
    return hwlink_send_signal_to_other_process("alibankApp", sig);
}

HWLINK_API int hwlink_install_app(const char* package_path, const char* app_dir, const char* app_name,
                                  const char* app_version, int option1, int option2, char* err, int* err_len) {
    (void)app_version;
    (void)option1;
    (void)option2;
    if (err == nullptr || err_len == nullptr) return NIMBO_ERR_INVALID;
    if (package_path == nullptr || package_path[0] == '\0' || app_dir == nullptr || app_dir[0] == '\0' ||
        !valid_app_name(app_name)) {
        LOG_E(TAG_HWLINK, "refused to install package %s as application \"%s\"", package_path ? package_path : "",
              app_name ? app_name : "");
        return app_install_failed(err, err_len);
    }
    // Moved in-process between the held folders: the package's own and "download" under the
    // application folder (made when missing).
    char download_dir[kCommandMax], package_dir[kCommandMax], target[kCommandMax];
    const char* package_name = nimbo::split_path(package_path, package_dir, sizeof package_dir);
    if (package_name == nullptr || !hw::format(download_dir, sizeof download_dir, "%s/download", app_dir) ||
        !hw::format(target, sizeof target, "%s.zip", app_name)) {
        LOG_E(TAG_HWLINK, "package %s or application folder %s refused", package_path, app_dir);
        return app_install_failed(err, err_len);
    }
    UniqueFd to = install_folder(download_dir, true);
    UniqueFd from = to ? install_folder(package_dir, false) : UniqueFd();
    if (!from) return app_install_failed(err, err_len);
    if (nimbo::move_at(from.get(), package_name, to.get(), target) != 0) {
        LOG_E(TAG_HWLINK, "moving %s to %s/%s failed: %s", package_path, download_dir, target, strerror(errno));
        return app_install_failed(err, err_len);
    }
    LOG_I(TAG_HWLINK, "package %s installed as %s/%s", package_path, download_dir, target);
    if (strcmp(app_name, "Alipay") == 0) hwlink_send_signal_to_alibankApp(96);
    *err_len = 0;
    return 0;
}

HWLINK_API int hwlink_install_firmware(const char* package_path, const char* data_dir, const char* work_dir,
                                       char* err, int* err_len) {
    if (err == nullptr || err_len == nullptr) return NIMBO_ERR_INVALID;
    // An empty work directory would make "rm -rf /ota" of the commands below.
    if (package_path == nullptr || package_path[0] == '\0' || data_dir == nullptr || data_dir[0] == '\0' ||
        work_dir == nullptr || work_dir[0] == '\0') {
        LOG_E(TAG_HWLINK, "firmware installation: missing package, data or work directory");
        return NIMBO_ERR_INVALID;
    }
    // The package is unpacked into a fresh private folder made here, in-process, inside the
    // held work folder: what stood at "ota" (a link included) is removed, never followed.
    {
        UniqueFd work = install_folder(work_dir, true);
        if (!work) {
            *err_len = 0;
            return NIMBO_ERR_FAILED;
        }
        if (nimbo::remove_tree_at(work.get(), "ota") != 0)
            LOG_W(TAG_HWLINK, "%s/ota could not be removed completely: %s", work_dir, strerror(errno));
        UniqueFd ota(nimbo::mkdir_at(work.get(), "ota", 0700));
        if (!ota) {
            LOG_E(TAG_HWLINK, "%s/ota could not be created: %s", work_dir, strerror(errno));
            *err_len = 0;
            return NIMBO_ERR_FAILED;
        }
    }
    const char* unzip_args[] = {package_path, work_dir};
    if (run("unzip -o %s -d %s/ota", unzip_args, 2) != 0) {
        memcpy(err, kUnzipFailed, sizeof kUnzipFailed);
        *err_len = (int)(sizeof kUnzipFailed - 1);
        return NIMBO_ERR_FAILED;
    }
    char config[kCommandMax];
    bool oem = hw::format(config, sizeof config, "%s/ota/ota_config.in", work_dir) &&
               nimbo_utils_line_matching_in_file(config, "type=oem") == 0;

    // Record the running version before the script runs: a script (or the payment
    // application on signal 95) may restart the device before control comes back.
    char version[HWLINK_FIELD_SIZE];
    memset(version, 0, sizeof version);
    int version_len = 0;
    if (oem)
        hwlink_get_system_version(version, &version_len);
    else
        hwlink_get_firmware_version(version, &version_len);
    char record[HWLINK_FIELD_SIZE + 16];
    snprintf(record, sizeof record, oem ? "%s\ntype=oem" : "%s", version);
    char data_record[kCommandMax], tmp_record[NIMBO_PATH_MAX];
    bool have_data_record = hw::format(data_record, sizeof data_record, "%s/%s", data_dir, kOldVersionName);
    bool have_tmp_record = hw::dev_path(nimbo::dev::kOtaOldVersion, tmp_record, sizeof tmp_record);
    if (have_data_record) nimbo_utils_write_line_to_file(data_record, record, 0);  // both lines at once
    if (have_tmp_record) nimbo_utils_write_line_to_file(tmp_record, version, 0);

    char script[NIMBO_PATH_MAX];
    int status = -1;
    if (hw::dev_path(oem ? nimbo::dev::kOtaUpdateOemScript : nimbo::dev::kOtaUpdateScript, script, sizeof script)) {
        const char* script_args[] = {script, work_dir};
        status = run("%s %s/ota", script_args, 2);
    }
    if (status != 0) {
        // Nothing was updated: no restart is pending and there is nothing to judge.
        if (have_data_record) nimbo_utils_delete_file(data_record);
        if (have_tmp_record) nimbo_utils_delete_file(tmp_record);
    }
    hwlink_send_signal_to_alibankApp(95);
    nimbo_utils_clear_directory(work_dir);
    if (status != 0) {
        char text[1024];
        memset(text, 0, sizeof text);
        int len = 0;
        device_err_install_firmware_deal(status, text, &len);
        if (len > HWLINK_FIELD_SIZE) len = HWLINK_FIELD_SIZE;
        memcpy(err, text, (size_t)len);
        *err_len = len;
        return NIMBO_ERR_FAILED;
    }
    return 0;
}

HWLINK_API int hwlink_reboot(int type, char* msg) {
    int number;
    if (type == 0)
        number = 97;
    else if (type == 1)
        number = 98;
    else
        return NIMBO_ERR_INVALID;
    return signal_result_for_caller(hwlink_send_signal_to_alibankApp(number), msg);
}

HWLINK_API int hwlink_poweroff(char* msg) { return signal_result_for_caller(hwlink_send_signal_to_alibankApp(91), msg); }

}  // extern "C"
