// Process-wide globals of the service: paths, identity, flags and the build constants.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <string>

#include "nimbo_exports.h"  // g_device_app_path, g_nimbo_data_path (exported)

#define NIMBO_PROGRAM_NAME "nimboservice"
#define NIMBO_VERSION "1.5.26"
#define NIMBO_FULL_VERSION "V1.5.26_20250617095725"
#define NIMBO_VERSION_CODE 222
#define NIMBO_BUILD_TYPE "Release"
#define NIMBO_COMPILE_TIME "20250617095725"

#define NIMBO_DEFAULT_SERVER_URL "https://mdm.nimbo-terminal.com"

extern std::atomic<int> g_run_flag;

extern "C" {
extern char g_nimbo_server_url[256];
extern char g_device_userdata_path[256];
extern char g_device_log_path[256];
extern char g_nimbo_cmd_file_path[256];
extern char g_nimbo_download_path[256];
extern char g_nimbo_cache_path[256];
// The serial number is the identity (user name, client id, command topic, "sn"): all of
// its NIMBO_SERIALNO_MAX bytes are kept, with room for the terminator.
#define NIMBO_SERIALNO_MAX 32
extern char g_device_serialno[NIMBO_SERIALNO_MAX + 1];
extern char g_device_name[32];
}

// Reads the device serial number from the device-access library into g_device_serialno
// (at most NIMBO_SERIALNO_MAX bytes, terminated); 0, or the library's failure code.
int nimbo_globals_load_serialno();

// TLS: the CA file (PEM bundle) that HTTPS servers and an "ssl://" broker are verified
// against, host name included; "" (the default) verifies nothing over HTTPS and leaves the
// broker to the MQTT library's defaults. Read by every later transfer and connect request.
void nimbo_globals_set_ca_file(const std::string& path);
std::string nimbo_globals_ca_file();
extern int g_device_screen_width;
extern int g_device_screen_height;
extern int g_nimbo_lock_fd;
extern timer_t g_devlock_timer_id;
extern pthread_mutex_t g_download_mutex;

// Flags shared across threads.
extern std::atomic<unsigned char> g_flag_mqtt_connect;
extern std::atomic<unsigned char> g_flag_download_running;
extern std::atomic<unsigned char> g_flag_mqtt_sub_devorginfo;
