// Wi-Fi signal of the current connection, asked from the supplicant (log tag "dev_utils").
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "device_files.h"
#include "device_path.h"
#include "elog.h"
#include "hwlink_private.h"
#include "log_tags.h"
#include "result_codes.h"
#include "wpa_ctrl.h"

using WpaCtrlPtr = std::unique_ptr<WpaCtrl, CFree<wpa_ctrl_close>>;

extern "C" int device_utils_get_wifi_signal(WifiSignalInfo* info) {
    if (info == nullptr) return NIMBO_ERR_INVALID;
    char sock_path[NIMBO_PATH_MAX];
    if (!hw::dev_path(nimbo::dev::kWpaSupplicantWlan0, sock_path, sizeof sock_path)) return NIMBO_ERR_FAILED;
    struct stat st;
    if (stat(sock_path, &st) != 0) {
        LOG_E(TAG_DEV, "%s not found", sock_path);
        return NIMBO_ERR_NOT_FOUND;
    }
    WpaCtrlPtr client(wpa_ctrl_open(sock_path));
    if (client.get() == nullptr) {
        LOG_E(TAG_DEV, "wpa_ctrl_open => failed");
        return NIMBO_ERR_FAILED;
    }
    const char* cmd = "SIGNAL_POLL";
    char reply[4096];
    memset(reply, 0, sizeof reply);
    size_t reply_len = sizeof reply - 1;
    int ret = wpa_ctrl_request(client.get(), cmd, strlen(cmd), reply, &reply_len, nullptr);
    if (ret == 0) reply[reply_len] = '\0';
    if (ret != 0 || strstr(reply, "FAIL") != nullptr) {
        LOG_E(TAG_DEV, "%s => failed, reply: %s", cmd, reply);
        return NIMBO_ERR_FAILED;
    }
    LOG_V(TAG_DEV, "%s => successful, reply: \n%s", cmd, reply);
    for (char* line = reply; *line != '\0';) {
        char* end = strchr(line, '\n');
        if (end) *end = '\0';
        if (strncmp(line, "RSSI=", 5) == 0) {
            int rssi = (int)strtol(line + 5, nullptr, 10);
            LOG_V(TAG_DEV, "current network average rssi: %d", rssi);
            info->rssi = rssi;
            return 0;
        }
        if (end == nullptr) break;
        line = end + 1;
    }
    LOG_E(TAG_DEV, "failed to obtain current network average rssi");
    return NIMBO_ERR_FAILED;
}
