#include "device/nimbo_entities.h"

#include <stdlib.h>
#include <string.h>

#include "json/json_utils_control.h"
#include "result_codes.h"
#include "util/nimbo_globals.h"

namespace {

// The getters write at most 255 bytes into a zero-filled 256-byte field; the terminator is
// re-asserted so that a misbehaving getter can never leave a field unterminated.
template <size_t N>
int text(int (*getter)(char*, int*), char (&field)[N]) {
    int len = 0;
    int rc = getter(field, &len);
    field[N - 1] = '\0';
    return rc;
}

template <size_t N>
void copy(char (&field)[N], const char* value) {
    size_t n = strnlen(value, N - 1);
    memcpy(field, value, n);
    field[n] = '\0';
}

}  // namespace

int nimbo_entities_init_device_info(DeviceInfo* info, int location_mode) {
    if (info == nullptr) return NIMBO_ERR_INVALID;
    memset(info, 0, sizeof *info);
    LocationDataParam loc;
    memset(&loc, 0, sizeof loc);

    text(hwlink_get_firmware_version, info->fwVer);
    text(hwlink_get_system_version, info->sysVer);
    copy(info->model, g_device_name);
    text(hwlink_get_device_type, info->devType);
    text(hwlink_get_local_ip, info->devIP);
    int rc = location_mode == 1 ? hwlink_get_last_lbs_info(&loc) : hwlink_get_lbs_info(&loc);
    if (rc == 0) {
        loc.location[sizeof loc.location - 1] = '\0';
        loc.coordinates[sizeof loc.coordinates - 1] = '\0';
        copy(info->location, loc.location);
        copy(info->coordinates, loc.coordinates);
    }
    text(hwlink_get_mac_address, info->macAddr);
    text(hwlink_get_imei, info->imei);
    text(hwlink_get_imsi, info->imsi);
    info->enableNavbar = hwlink_get_nav_bar_enabled();
    info->enableStatusBar = hwlink_get_status_bar_enabled();
    info->enableAdb = hwlink_get_adb_enabled();
    hwlink_get_apk_list(info->apps, &info->appCount);
    if (info->appCount < 0 || info->appCount > NIMBO_MAX_APPS) info->appCount = 0;
    hwlink_get_hw_list(info->hardware, &info->hwCount);
    if (info->hwCount < 0 || info->hwCount > NIMBO_MAX_HW) info->hwCount = 0;
    info->devFunc = hwlink_get_dev_func();
    info->userCount = 0;
    info->swipeCardCount = 0;
    info->doorStatus = 0;
    int bind = 0;
    rc = hwlink_get_alibankApp_state(&bind, nullptr);
    info->activeStatus = bind;
    return rc;
}

int nimbo_entities_init_sys_status_param(SysStatusParam* status) {
    if (status == nullptr) return NIMBO_ERR_INVALID;
    memset(status, 0, sizeof *status);
    copy(status->status, "2");
    text(hwlink_get_battery_percent, status->batteryPercent);
    text(hwlink_get_battery_status, status->batteryStatus);
    text(hwlink_get_cpu_temperature, status->cpuTemp);
    if (status->cpuTemp[0] == '\0') copy(status->cpuTemp, "NA");
    text(hwlink_get_cpu_usage, status->cpuUsage);
    if (strncmp(status->cpuUsage, "0.00", 4) == 0) copy(status->cpuUsage, "NA");
    text(hwlink_get_device_current, status->devI);
    text(hwlink_get_device_uptime, status->devUpTime);
    text(hwlink_get_device_voltage, status->devV);
    text(hwlink_get_memory_usage, status->memoryUsage);
    text(hwlink_get_network_type, status->networkType);
    int len = 0;
    int rc = hwlink_get_device_signal_level(status->networkType, status->devSi, &len);
    status->devSi[sizeof status->devSi - 1] = '\0';
    return rc;
}

