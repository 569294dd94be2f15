#include "util/nimbo_globals.h"

#include <string.h>

#include <mutex>

#include "hwlink.h"

std::atomic<int> g_run_flag{1};

extern "C" {
char g_nimbo_server_url[256];
char g_device_userdata_path[256];
char g_device_app_path[256];
char g_device_log_path[256];
char g_nimbo_data_path[256];
char g_nimbo_cmd_file_path[256];
char g_nimbo_download_path[256];
char g_nimbo_cache_path[256];
char g_device_serialno[NIMBO_SERIALNO_MAX + 1];
char g_device_name[32];
}
int g_device_screen_width = 480;
int g_device_screen_height = 800;
int g_nimbo_lock_fd = -1;
timer_t g_devlock_timer_id;
pthread_mutex_t g_download_mutex;

std::atomic<unsigned char> g_flag_mqtt_connect{0};
std::atomic<unsigned char> g_flag_download_running{0};
std::atomic<unsigned char> g_flag_mqtt_sub_devorginfo{0};

namespace {
std::mutex g_ca_mutex;
std::string g_ca_file;
}  // namespace

void nimbo_globals_set_ca_file(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_ca_mutex);
    g_ca_file = path;
}

std::string nimbo_globals_ca_file() {
    std::lock_guard<std::mutex> lock(g_ca_mutex);
    return g_ca_file;
}

int nimbo_globals_load_serialno() {
    char serial[HWLINK_FIELD_SIZE] = {0};
    int len = 0;
    int rc = hwlink_get_device_serialno(serial, &len);
    size_t n = strnlen(serial, NIMBO_SERIALNO_MAX);
    memcpy(g_device_serialno, serial, n);
    g_device_serialno[n] = '\0';
    return rc;
}
