// The configuration step: "nimboservice.ini" beside the program, the persisted server URL
// and the path globals (log tag "nimbo_utils").
#include "core/nimbo_config.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include "c_handles.hpp"
#include "core/ini_utils.h"
#include "core/retry_spread.h"
#include "device_files.h"
#include "hwlink.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

namespace {

using IniSectionsPtr = std::unique_ptr<IniSection, CFree<ini_utils_free_config>>;

std::atomic<bool> g_presence{false};
nimbo::FinalAckSettings g_final_ack;  // written by the configuration step, before any thread

using nimbo::copy_field;
using nimbo::join;
using nimbo::strip_one;

void set_path(char (&dst)[256], const std::string& value) { snprintf(dst, sizeof dst, "%s", value.c_str()); }

// ---- configuration -----------------------------------------------------------------

struct IniValues {
    std::string server_url, data_path, device_name, ca_file;
    bool presence = false;
    nimbo::FinalAckSettings final_ack;
};

bool parse_dimension(const char* key, const char* text, int* out) {
    char* end = nullptr;
    errno = 0;
    long v = ::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v <= 0 || v > 100000) {
        LOG_W(TAG_UTILS, "%s=%s is not a screen size, %d kept", key, text, *out);
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

void parse_retry_spread(const char* text) {
    char* end = nullptr;
    errno = 0;
    long v = ::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > nimbo::kRetrySpreadMax) {
        LOG_W(TAG_UTILS, "retry_spread=%s is not a percentage of 0 to %d, %d kept", text, nimbo::kRetrySpreadMax,
              nimbo::retry_spread());
        return;
    }
    nimbo::set_retry_spread(static_cast<int>(v));
}

IniValues read_ini_values(const std::string& dir) {
    IniValues values;
    nimbo::set_retry_spread(0);
    if (dir.empty()) return values;
    std::string ini = dir + "/nimboservice.ini";
    IniConfig config = ini_utils_parse_config_file(ini.c_str());
    IniSectionsPtr sections{config.sections};
    ini_utils_print_configs(config.sections, config.count);
    for (int i = 0; i < config.count; ++i) {
        const IniSection& s = config.sections[i];
        for (int j = 0; j < s.entry_count; ++j) {
            const char* key = s.entries[j].key;
            const char* value = s.entries[j].value;
            if (strcmp(key, "server_url") == 0) {
                values.server_url = value;
            } else if (strcmp(key, "data_path") == 0) {
                values.data_path = value;
                strip_one(&values.data_path, '/');
            } else if (strcmp(key, "device_name") == 0) {
                values.device_name = value;
            } else if (strcmp(key, "ca_file") == 0) {
                values.ca_file = value;
            } else if (strcmp(key, "presence") == 0) {
                values.presence = strcmp(value, "1") == 0;
            } else if (strcmp(key, "screen_width") == 0) {
                parse_dimension(key, value, &g_device_screen_width);
            } else if (strcmp(key, "screen_height") == 0) {
                parse_dimension(key, value, &g_device_screen_height);
            } else if (strcmp(key, "retry_spread") == 0) {
                parse_retry_spread(value);
            } else if (strcmp(key, "final_ack") == 0) {
                values.final_ack.on = strcmp(value, "1") == 0;
            } else if (strcmp(key, "final_ack_resend") == 0) {
                values.final_ack.resend = value;
            }
        }
    }
    return values;
}

}  // namespace

extern "C" {

void nimbo_utils_ini_config_deal(void) {
    char dir[4080];
    if (nimbo_utils_get_executable_folder_path(dir, sizeof dir) != 0) dir[0] = '\0';
    try {
        nimbo::configure_from(dir);
    } catch (...) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
    }
}

}  // extern "C"

void nimbo::configure_from(const std::string& ini_dir) {
    IniValues values = read_ini_values(ini_dir);

    std::string root = values.data_path.empty() ? nimbo::device_path(nimbo::dev::kUserData)
                                                : values.data_path;
    strip_one(&root, '/');
    if (!copy_field(g_device_userdata_path, root)) {
        LOG_E(TAG_UTILS, "user data path longer than %zu characters: %s", sizeof g_device_userdata_path - 1,
              root.c_str());
        copy_field(g_device_userdata_path, std::string(nimbo::dev::kUserData));
    }

    char model[256];
    memset(model, 0, sizeof model);
    int model_len = 0;
    hwlink_get_device_model(model, &model_len);
    model_len = std::max(0, std::min(model_len, static_cast<int>(sizeof model) - 1));
    std::string name(model, strnlen(model, static_cast<size_t>(model_len)));
    if (name.empty()) name = values.device_name.empty() ? std::string(NIMBO_PROGRAM_NAME) : values.device_name;
    if (name.size() >= sizeof g_device_name) {
        LOG_W(TAG_UTILS, "device name %s cut to %zu characters", name.c_str(), sizeof g_device_name - 1);
        name.resize(sizeof g_device_name - 1);
    }
    copy_field(g_device_name, name);

    // TLS: servers are verified only when the operator names a CA file (relative to the
    // program's directory when not absolute). An unreadable file still turns verification
    // on: connections then fail, never fall back to unverified ones.
    std::string ca = values.ca_file;
    if (!ca.empty() && ca[0] != '/') ca = ini_dir + "/" + ca;
    if (!ca.empty()) {
        if (::access(ca.c_str(), R_OK) != 0)
            LOG_E(TAG_UTILS, "ca_file %s cannot be read (%s): TLS connections will be refused", ca.c_str(),
                  strerror(errno));
        else
            LOG_I(TAG_UTILS, "TLS servers are verified against the CA file %s", ca.c_str());
    }
    nimbo_globals_set_ca_file(ca);
    g_presence = values.presence;
    g_final_ack = values.final_ack;

    char stored[NIMBO_SERVER_URL_SIZE];
    int stored_len = 0;
    std::string url;
    if (nimbo_utils_get_server_url(stored, &stored_len) == 0)
        url.assign(stored, static_cast<size_t>(stored_len));
    else if (!values.server_url.empty())
        url = values.server_url;
    else
        url = NIMBO_DEFAULT_SERVER_URL;
    strip_one(&url, '/');
    if (!copy_field(g_nimbo_server_url, url)) copy_field(g_nimbo_server_url, std::string(NIMBO_DEFAULT_SERVER_URL));
}

bool nimbo::presence_configured() { return g_presence.load(); }

nimbo::FinalAckSettings nimbo::final_ack_configured() { return g_final_ack; }

void nimbo::build_paths() {
    set_path(g_device_app_path, join(g_device_userdata_path, "app"));
    LOG_V(TAG_UTILS, "device app path: %s", g_device_app_path);
    set_path(g_device_log_path, join(g_device_userdata_path, "log"));
    LOG_V(TAG_UTILS, "device log path: %s", g_device_log_path);
    set_path(g_nimbo_data_path, std::string(g_device_app_path) + "/nimboservice/data");
    LOG_V(TAG_UTILS, "nimbo data path: %s", g_nimbo_data_path);
    nimbo_utils_ensure_directory_exists(g_nimbo_data_path);
    set_path(g_nimbo_cmd_file_path, join(g_nimbo_data_path, "task_cmd"));
    LOG_V(TAG_UTILS, "nimbo cmd file path: %s", g_nimbo_cmd_file_path);
    set_path(g_nimbo_download_path, std::string(g_device_app_path) + "/nimboservice/download");
    LOG_V(TAG_UTILS, "nimbo download path: %s", g_nimbo_download_path);
    nimbo_utils_ensure_directory_exists(g_nimbo_download_path);
    set_path(g_nimbo_cache_path, std::string(g_device_app_path) + "/nimboservice/cache");
    LOG_V(TAG_UTILS, "nimbo cache path: %s", g_nimbo_cache_path);
    nimbo_utils_clear_directory(g_nimbo_cache_path);
    nimbo_utils_ensure_directory_exists(g_nimbo_cache_path);
}
