// Device parameters and payment data handed to the payment application, its state, the
// storage clean-up and the registration of the update-signal handler (log tag "hwlink").
#include <cjson/cJSON.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device_files.h"
#include "device_path.h"
#include "elog.h"
#include "hwlink_private.h"
#include "log_tags.h"
#include "pay_signals.h"
#include "result_codes.h"

namespace {

void append_line(const char* path, const char* text) { nimbo_utils_write_line_to_file(path, text, 1); }

// The order id names a file in the payment directory: it must stay a plain file name.
bool valid_order_id(const char* id) {
    return id[0] != '\0' && strchr(id, '/') == nullptr && strcmp(id, ".") != 0 && strcmp(id, "..") != 0;
}

}  // namespace

extern "C" {

// 1 while a handler for the payment application's signal 92 is installed.
HWLINK_API int g_sig_update_flag = 0;

HWLINK_API int hwlink_update_dev_param(int brightness, int volume, const char* wifi) {
    char path[NIMBO_PATH_MAX];
    if (!hw::dev_path(nimbo::dev::kDevConfig, path, sizeof path)) return NIMBO_ERR_FAILED;
    nimbo_utils_delete_file(path);
    bool has_wifi = wifi != nullptr && wifi[0] != '\0';
    bool wrote = false;
    char line[32];
    if (brightness >= 0) {
        snprintf(line, sizeof line, "%s=%d", "brightness", brightness);
        append_line(path, line);
        wrote = true;
    }
    if (volume >= 0) {
        snprintf(line, sizeof line, "%s=%d", "volume", volume);
        append_line(path, line);
        wrote = true;
    }
    if (has_wifi) {
        size_t size = strlen(wifi) + 6;
        CText wifi_line((char*)malloc(size));
        if (wifi_line) {
            snprintf(wifi_line.get(), size, "wifi=%s", wifi);
            append_line(path, wifi_line.get());
            wrote = true;
        }
    }
    if (!wrote) return NIMBO_ERR_INVALID;
    append_line(path, "");
    // The payment application must not be told about a file that is not there.
    if (access(path, R_OK) != 0) {
        LOG_E(TAG_HWLINK, "Failed to write %s", path);
        return NIMBO_ERR_FAILED;
    }
    return hwlink_send_signal_to_alibankApp(92);
}

HWLINK_API int hwlink_ant_pay_deal(int type, const char* text) {
    if (text == nullptr || text[0] == '\0') return NIMBO_ERR_INVALID;
    JsonPtr root(cJSON_Parse(text));
    if (root.get() == nullptr) {
        const char* where = cJSON_GetErrorPtr();
        if (where != nullptr) LOG_E(TAG_HWLINK, "original: [%s], Error before: %s", text, where);
        return NIMBO_ERR_INVALID;
    }
    const cJSON* order = cJSON_GetObjectItemCaseSensitive(root.get(), "orderId");
    if (!cJSON_IsString(order) || order->valuestring == nullptr || order->valuestring[0] == '\0') return NIMBO_ERR_INVALID;
    if (!valid_order_id(order->valuestring)) {
        LOG_E(TAG_HWLINK, "invalid orderId: %s", order->valuestring);
        return NIMBO_ERR_INVALID;
    }
    char dir[NIMBO_PATH_MAX];
    if (!hw::dev_path(type == 1 ? nimbo::dev::kPayCodeDir : nimbo::dev::kPayStatusDir, dir, sizeof dir)) return NIMBO_ERR_FAILED;
    if (nimbo_utils_ensure_directory_exists(dir) != 0) return NIMBO_ERR_FAILED;
    char path[4096];
    if (!hw::format(path, sizeof path, "%s/%s", dir, order->valuestring)) {
        LOG_E(TAG_HWLINK, "orderId too long: %s", order->valuestring);
        return NIMBO_ERR_INVALID;
    }
    nimbo_utils_write_line_to_file(path, text, 0);
    if (access(path, R_OK) != 0) {
        LOG_E(TAG_HWLINK, "Failed to write %s", path);
        return NIMBO_ERR_FAILED;
    }
    return hwlink_send_signal_to_alibankApp(type == 1 ? 89 : 90);
}

HWLINK_API int hwlink_get_alibankApp_state(int* bind_state, int* lock_state) {
    if (bind_state == nullptr && lock_state == nullptr) return NIMBO_ERR_INVALID;
    char path[NIMBO_PATH_MAX];
    bool have_path = hw::dev_path(nimbo::dev::kDevState, path, sizeof path);
    if (bind_state != nullptr) {
        CText value(have_path ? nimbo_utils_get_value_by_key(path, "bindState") : nullptr);
        if (value && strcmp(value.get(), "1") == 0)
            *bind_state = 2;
        else if (value && strcmp(value.get(), "2") == 0)
            *bind_state = 3;
        else
            *bind_state = 1;
    }
    if (lock_state != nullptr)
        *lock_state = have_path && nimbo_utils_line_matching_in_file(path, "lockState=1") == 0 ? 1 : 0;
    return 0;
}

HWLINK_API int hwlink_cleanup_of_space(void) {
    char path[4096];
    if (!hw::format(path, sizeof path, "%s/%s", g_device_app_path, "product_test")) return NIMBO_ERR_FAILED;
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return NIMBO_ERR_FAILED;
    hwlink_send_signal_to_other_process("product_test", SIGTERM);
    nimbo_utils_clear_directory(path);
    return 0;
}

HWLINK_API int hwlink_register_signal_update_info(int flag, void (*handler)(int)) {
    int sig = nimbo_pay_signal(92);
    if (flag == 1) {
        if (__atomic_load_n(&g_sig_update_flag, __ATOMIC_ACQUIRE) == 1) {
            LOG_W(TAG_HWLINK, "update sig has registered");
            return 0;
        }
        if (handler == nullptr) return NIMBO_ERR_INVALID;
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = handler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        if (sigaction(sig, &sa, nullptr) != 0) {
            LOG_E(TAG_HWLINK, "Failed to register SIGCHLD signal");
            return NIMBO_ERR_FAILED;
        }
        __atomic_store_n(&g_sig_update_flag, 1, __ATOMIC_RELEASE);
        return 0;
    }
    signal(sig, SIG_DFL);
    __atomic_store_n(&g_sig_update_flag, 0, __ATOMIC_RELEASE);
    return 0;
}

}  // extern "C"
