/* libhwlink.so.1: the device-access library's C API.
 *
 * Text getters fill a caller-supplied buffer (callers pass 256-byte zero-filled fields)
 * and a length; unless a getter's comment says otherwise no terminating zero is written.
 * A value that would not fit a 256-byte field with its terminator is refused (-8), never
 * cut. Results: 0 success, -2 invalid parameter, -3 not found, -7 not supported,
 * -8 failed. */
#ifndef HWLINK_H
#define HWLINK_H

#include "nimbo_exports.h" /* LocationDataParam */

#ifdef __cplusplus
extern "C" {
#endif

#define HWLINK_API __attribute__((visibility("default")))

/* Size of the callers' text fields. */
#define HWLINK_FIELD_SIZE 256

/* One listed application (from its "AppManifest"). */
typedef struct {
    char apkName[256];
    char pkgName[256];
    int size; /* bytes used by its directory (low 32 bits) */
    char version[256];
    int apkEnable;
} AppInfo;

/* One hardware component (the device reports none). */
typedef struct {
    char hwName[256];
    char version[256];
} HwInfo;

/* Signal of the current Wi-Fi connection. */
typedef struct {
    int rssi; /* dBm */
} WifiSignalInfo;

/* When non-zero, hwlink_get_last_lbs_info reads "lbs_info_bak" in the data directory. */
HWLINK_API extern int g_hwlink_lbs_init_flag;

/* ---- device information (text getters) ------------------------------------------ */
HWLINK_API int hwlink_get_device_serialno(char* out, int* len);
HWLINK_API int hwlink_get_device_model(char* out, int* len);
HWLINK_API int hwlink_get_device_type(char* out, int* len);
HWLINK_API int hwlink_get_firmware_version(char* out, int* len);
HWLINK_API int hwlink_get_system_version(char* out, int* len);
/* Both write a single zero byte, length 1. */
HWLINK_API int hwlink_get_location(char* out, int* len);
HWLINK_API int hwlink_get_coordinates(char* out, int* len);
HWLINK_API int hwlink_get_local_ip(char* out, int* len);
/* Fallback "02:00:00:00:00:00" with its zero, length 18. */
HWLINK_API int hwlink_get_mac_address(char* out, int* len);
/* Text and a zero; "NA" + zero (length 3) when the device state has no value. */
HWLINK_API int hwlink_get_imei(char* out, int* len);
HWLINK_API int hwlink_get_imsi(char* out, int* len);

/* ---- location --------------------------------------------------------------------- */
/* "longitude,latitude" from the device state into coordinates; -8 when either is missing. */
HWLINK_API int hwlink_get_lbs_info(LocationDataParam* info);
HWLINK_API int hwlink_get_last_lbs_info(LocationDataParam* info);
/* No location source of its own: -2 for a null argument, otherwise -7 (not supported). */
HWLINK_API int get_lbs_by_kx_sdk(void* arg);

/* ---- settings and lists ------------------------------------------------------------ */
HWLINK_API int hwlink_get_nav_bar_enabled(void);
HWLINK_API int hwlink_get_status_bar_enabled(void);
HWLINK_API int hwlink_get_adb_enabled(void);
HWLINK_API int hwlink_get_dev_func(void);
/* At most 8 entries; *count = number filled. */
HWLINK_API int hwlink_get_apk_list(AppInfo* list, int* count);
HWLINK_API int hwlink_get_hw_list(HwInfo* list, int* count);

/* ---- sensors and load (the "zero" ones write a terminating zero too) ---------------- */
HWLINK_API int hwlink_get_cpu_temperature(char* out, int* len); /* "41.50℃" + zero */
HWLINK_API int hwlink_get_cpu_usage(char* out, int* len);       /* "12.35%" + zero; blocks 100 ms */
HWLINK_API int hwlink_get_device_signal_level(const char* network_type, char* out, int* len);
HWLINK_API int hwlink_get_device_uptime(char* out, int* len);   /* "100:00:05" + zero */
HWLINK_API int hwlink_get_battery_percent(char* out, int* len); /* "87.00%" */
HWLINK_API int hwlink_get_battery_status(char* out, int* len);  /* "1" charging, "2" not */
HWLINK_API int hwlink_get_device_current(char* out, int* len);  /* "NA" + zero */
HWLINK_API int hwlink_get_device_voltage(char* out, int* len);  /* "3.95V" */
HWLINK_API int hwlink_get_memory_usage(char* out, int* len);    /* "43.10%" + zero */
/* "4G" (3), "WIFI" (5) or the 64-byte interface-name field (64); -8 without default route. */
HWLINK_API int hwlink_get_network_type(char* out, int* len);

/* ---- installation and the payment application's signals --------------------------- */
/* Sends `sig` to every process named `name`: 0 when at least one was signalled, -2 for a
 * bad name, -3 when none runs, -8 when every send failed. */
HWLINK_API int hwlink_send_signal_to_other_process(const char* name, int sig);
/* `number` is the protocol number 89..99 (mapped to the host's signal). */
HWLINK_API int hwlink_send_signal_to_alibankApp(int number);
/* Moves the package to "<app_dir>/download/<app_name>.zip". The version and the two
 * option words are not used. err: 256-byte buffer, *err_len its text length. */
HWLINK_API int hwlink_install_app(const char* package_path, const char* app_dir, const char* app_name,
                                  const char* app_version, int option1, int option2, char* err,
                                  int* err_len);
/* Unpacks the package into "<work_dir>/ota" and runs the device's update script. */
HWLINK_API int hwlink_install_firmware(const char* package_path, const char* data_dir,
                                       const char* work_dir, char* err, int* err_len);
/* type 0: signal 97, type 1: signal 98. msg (optional) receives "App Alipay is offline". */
HWLINK_API int hwlink_reboot(int type, char* msg);
HWLINK_API int hwlink_poweroff(char* msg);

/* ---- payment application and device parameters ----------------------------------- */
/* brightness/volume below 0 = not given; wifi may be null or empty. */
HWLINK_API int hwlink_update_dev_param(int brightness, int volume, const char* wifi);
/* type 1: payment code (signal 89), other: payment status (signal 90). */
HWLINK_API int hwlink_ant_pay_deal(int type, const char* text);
/* bind: 1 unbound/unknown, 2 ("1"), 3 ("2"); lock: 1 when "lockState=1". */
HWLINK_API int hwlink_get_alibankApp_state(int* bind_state, int* lock_state);
HWLINK_API int hwlink_cleanup_of_space(void);
/* flag 1 installs `handler` for the payment application's signal 92 (once); any other
 * flag restores the default action. */
HWLINK_API int hwlink_register_signal_update_info(int flag, void (*handler)(int));
/* 1 while a handler for signal 92 is installed by hwlink_register_signal_update_info. */
HWLINK_API extern int g_sig_update_flag;

#ifdef __cplusplus
}
#endif

#endif
