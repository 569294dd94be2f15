// Device information getters (log tag "hwlink").
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "device_files.h"
#include "device_path.h"
#include "elog.h"
#include "hwlink_private.h"
#include "log_tags.h"
#include "result_codes.h"

extern char** environ;

extern "C" {
HWLINK_API int g_hwlink_lbs_init_flag = 0;
}

namespace {

// First line of a fixed device file, through the program's line reader (caller frees).
char* first_line(const char* abs) {
    char path[NIMBO_PATH_MAX];
    if (!hw::dev_path(abs, path, sizeof path)) return nullptr;
    return nimbo_utils_read_line_from_file(path);
}

// Value of `key` in the device-state file (caller frees), or null.
char* devstate_value(const char* key) {
    char path[NIMBO_PATH_MAX];
    if (!hw::dev_path(nimbo::dev::kDevState, path, sizeof path)) return nullptr;
    return nimbo_utils_get_value_by_key(path, key);
}

// Opens a fixed device file for reading.
FILE* open_device_file(const char* abs) {
    char path[NIMBO_PATH_MAX];
    if (!hw::dev_path(abs, path, sizeof path)) return nullptr;
    return fopen(path, "r");
}

// Opens a counter or sensor file for reading; logs "Failed to open <what>" when it cannot.
FilePtr open_counter(const char* abs, const char* what) {
    FilePtr f(open_device_file(abs));
    if (!f) LOG_E(TAG_HWLINK, "Failed to open %s", what);
    return f;
}

// Logs "Failed to read <what>": the failure of a getter.
int read_failed(const char* what) {
    LOG_E(TAG_HWLINK, "Failed to read %s", what);
    return NIMBO_ERR_FAILED;
}

int first_line_getter(const char* what, const char* abs, const char* fallback_abs, char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    CText line(first_line(abs));
    if (!line && fallback_abs) return first_line_getter(what, fallback_abs, nullptr, out, len);
    if (!line) return 0;  // optional file: nothing written
    return hw::put_field(what, line.get(), strlen(line.get()), out, len);
}

// Writes `text` and its terminating zero; the length excludes the zero.
int put_text_zero(const char* what, const char* text, char* out, int* len) {
    size_t n = strlen(text);
    int r = hw::put_field(what, text, n, out, len);
    if (r == 0) out[n] = '\0';
    return r;
}

void strip_line_feed(char* s) {
    size_t n = strlen(s);
    if (n > 0 && s[n - 1] == '\n') s[n - 1] = '\0';
}

// Reads the first line of a device file into `buf` (one trailing line feed removed).
// False when the file cannot be opened; an empty file gives an empty text.
bool read_first_line(const char* abs, char* buf, size_t size) {
    FilePtr f(open_device_file(abs));
    if (!f) return false;
    buf[0] = '\0';
    if (fgets(buf, (int)size, f.get()) == nullptr) buf[0] = '\0';
    strip_line_feed(buf);
    return true;
}

// Finds the line of os-release that begins with `prefix`; copies its rest (line feed kept).
// False when the file cannot be opened; `found` tells whether the line exists.
bool os_release_value(const char* prefix, char* buf, size_t size, bool* found) {
    FilePtr f(open_device_file(nimbo::dev::kOsRelease));
    *found = false;
    buf[0] = '\0';
    if (!f) return false;
    char line[1024];
    size_t plen = strlen(prefix);
    while (fgets(line, sizeof line, f.get()) != nullptr) {
        if (strncmp(line, prefix, plen) == 0) {
            snprintf(buf, size, "%s", line + plen);
            *found = true;
            break;
        }
    }
    return true;
}

bool device_file_exists(const char* abs) {
    char path[NIMBO_PATH_MAX];
    return hw::dev_path(abs, path, sizeof path) && access(path, F_OK) == 0;
}

}  // namespace

extern "C" {

HWLINK_API int hwlink_get_device_serialno(char* out, int* len) {
    return first_line_getter("serial number", nimbo::dev::kSerialNumber, nimbo::dev::kNandSerial, out, len);
}

HWLINK_API int hwlink_get_device_model(char* out, int* len) {
    return first_line_getter("model", nimbo::dev::kBuildModel, nullptr, out, len);
}

HWLINK_API int hwlink_get_device_type(char* out, int* len) { return hwlink_get_device_model(out, len); }

HWLINK_API int hwlink_get_firmware_version(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    char result[1024];
    memset(result, 0, sizeof result);
    if (read_first_line(nimbo::dev::kBuildVersion, result, sizeof result)) {
        // taken as it is
    } else if (read_first_line(nimbo::dev::kOtaInfo, result, sizeof result)) {
        const char* eq = strchr(result, '=');
        if (eq) snprintf(result, sizeof result, "%d", (int)strtol(eq + 1, nullptr, 10));
    } else {
        char value[1024];
        bool found = false;
        if (os_release_value("VERSION=", value, sizeof value, &found) && found) {
            const char* v = value[0] == '"' ? value + 1 : value;
            snprintf(result, sizeof result, "%.*s", (int)strcspn(v, "\n"), v);
        }
    }
    size_t n = strlen(result);
    if (n > 0 && result[n - 1] == '"') --n;  // a closing quote is never copied
    return hw::put_field("firmware version", result, n, out, len);
}

HWLINK_API int hwlink_get_system_version(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    CText line(first_line(nimbo::dev::kDriverBuildVersion));
    if (line) return hw::put_field("system version", line.get(), strlen(line.get()), out, len);
    char value[1024];
    bool found = false;
    if (!os_release_value("PRETTY_NAME=", value, sizeof value, &found)) {
        char path[NIMBO_PATH_MAX];
        hw::dev_path(nimbo::dev::kOsRelease, path, sizeof path);
        LOG_E(TAG_HWLINK, "Failed to open %s", path);
        return NIMBO_ERR_FAILED;
    }
    size_t n = strlen(value);
    bool had_lf = n > 0 && value[n - 1] == '\n';
    if (had_lf) value[--n] = '\0';
    const char* v = value;
    if (had_lf && n >= 2 && value[0] == '"' && value[n - 1] == '"') {
        v = value + 1;
        n -= 2;
    }
    return hw::put_field("system version", v, n, out, len);
}

HWLINK_API int hwlink_get_location(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    out[0] = '\0';
    *len = 1;
    return 0;
}

HWLINK_API int hwlink_get_coordinates(char* out, int* len) { return hwlink_get_location(out, len); }

HWLINK_API int hwlink_get_lbs_info(LocationDataParam* info) {
    if (info == nullptr) return NIMBO_ERR_INVALID;
    CText lon(devstate_value("longitude"));
    CText lat(devstate_value("latitude"));
    if (!lon || !lat) return NIMBO_ERR_FAILED;
    size_t need = strlen(lon.get()) + strlen(lat.get()) + 2;
    if (need > sizeof info->coordinates) {
        LOG_E(TAG_HWLINK, "coordinates too long (%zu bytes), not reported", need);
        return NIMBO_ERR_FAILED;
    }
    // The length is checked above; using the result keeps -O2 builds free of a truncation warning.
    if (snprintf(info->coordinates, need, "%s,%s", lon.get(), lat.get()) < 0) return NIMBO_ERR_FAILED;
    return 0;
}

HWLINK_API int hwlink_get_last_lbs_info(LocationDataParam* info) {
    if (info == nullptr) return NIMBO_ERR_INVALID;
    if (g_hwlink_lbs_init_flag != 0) {
        char path[256];
        if (hw::format(path, sizeof path, "%s/%s", g_nimbo_data_path, "lbs_info_bak") &&
            access(path, R_OK) == 0) {
            CText line(nimbo_utils_read_line_from_file(path));
            if (!line) return NIMBO_ERR_FAILED;
            return json_utils_jsonstr_to_location_data_param(line.get(), info);
        }
    }
    return hwlink_get_lbs_info(info);
}

HWLINK_API int hwlink_get_local_ip(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) == -1) {
        LOG_E(TAG_HWLINK, "getifaddrs");
        return NIMBO_ERR_FAILED;
    }
    int result = 0;
    bool found = false;
    for (struct ifaddrs* ifa = list; ifa != nullptr && !found; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
        if (strcmp(ifa->ifa_name, "lo") == 0 || !(ifa->ifa_flags & IFF_UP)) continue;
        char host[NI_MAXHOST];
        int s = getnameinfo(ifa->ifa_addr, sizeof(struct sockaddr_in), host, sizeof host, nullptr, 0,
                            NI_NUMERICHOST);
        if (s != 0) {
            LOG_E(TAG_HWLINK, "getnameinfo() failed: %s", gai_strerror(s));
            result = NIMBO_ERR_FAILED;
        } else {
            result = hw::put_field("IP address", host, strlen(host), out, len);
        }
        found = true;
    }
    freeifaddrs(list);
    if (!found) *len = 0;
    return result;
}

HWLINK_API int hwlink_get_mac_address(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    CText mac(first_line(nimbo::dev::kNandMac));
    if (!mac) {
        CText file_mac(first_line(nimbo::dev::kMacFile));
        if (file_mac) return hw::put_field("MAC address", file_mac.get(), strlen(file_mac.get()), out, len);
        static const char kDefault[] = "02:00:00:00:00:00";
        memcpy(out, kDefault, sizeof kDefault);
        *len = (int)sizeof kDefault;  // the terminating zero is counted
        return 0;
    }
    return hw::put_field("MAC address", mac.get(), strlen(mac.get()), out, len);
}

namespace {
int devstate_text_zero(const char* key, char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    CText value(devstate_value(key));
    if (!value) {
        memcpy(out, "NA", 3);
        *len = 3;
        return 0;
    }
    return put_text_zero(key, value.get(), out, len);
}
}  // namespace

HWLINK_API int hwlink_get_imei(char* out, int* len) { return devstate_text_zero("imei1", out, len); }

HWLINK_API int hwlink_get_imsi(char* out, int* len) { return devstate_text_zero("imsi1", out, len); }

HWLINK_API int hwlink_get_nav_bar_enabled(void) { return 1; }

HWLINK_API int hwlink_get_status_bar_enabled(void) { return 1; }

HWLINK_API int hwlink_get_adb_enabled(void) {
    return device_file_exists(nimbo::dev::kEnableAdbEtc) || device_file_exists(nimbo::dev::kEnableAdbTmp) ||
                   device_file_exists(nimbo::dev::kEnableAdbData)
               ? 1
               : 0;
}

HWLINK_API int hwlink_get_dev_func(void) { return 0; }

HWLINK_API int hwlink_get_apk_list(AppInfo* list, int* count) {
    if (list == nullptr || count == nullptr) return NIMBO_ERR_INVALID;
    int n = app_utils_get_app_info(g_device_app_path, 8, list);
    *count = n < 0 ? 0 : n;
    return 0;
}

HWLINK_API int hwlink_get_hw_list(HwInfo* list, int* count) {
    if (count) *count = 0;
    if (list == nullptr || count == nullptr) return NIMBO_ERR_INVALID;
    return 0;
}

HWLINK_API int hwlink_get_cpu_temperature(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    FilePtr f = open_counter(nimbo::dev::kCpuTemperature, "temperature file");
    if (!f) return NIMBO_ERR_FAILED;
    char raw[10];
    size_t n = fread(raw, 1, 9, f.get());
    if (n == 0) return read_failed("temperature file");
    raw[n] = '\0';
    long milli = strtol(raw, nullptr, 10);
    char text[64];
    snprintf(text, sizeof text, "%.2f\xE2\x84\x83", milli / 1000.0);  // U+2103 DEGREE CELSIUS
    return put_text_zero("CPU temperature", text, out, len);
}

namespace {
struct CpuSample {
    uint32_t total;
    uint32_t idle;
};

int read_cpu_sample(CpuSample* s) {
    FilePtr f = open_counter(nimbo::dev::kProcStat, nimbo::dev::kProcStat);
    if (!f) return NIMBO_ERR_FAILED;
    char line[1024];
    unsigned long v[7];
    if (fgets(line, sizeof line, f.get()) == nullptr ||
        sscanf(line, "cpu %lu %lu %lu %lu %lu %lu %lu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6]) != 7)
        return read_failed(nimbo::dev::kProcStat);
    uint32_t total = 0;
    for (unsigned long x : v) total += (uint32_t)x;
    s->total = total;
    s->idle = (uint32_t)v[3] + (uint32_t)v[4];
    return 0;
}
}  // namespace

HWLINK_API int hwlink_get_cpu_usage(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    CpuSample a, b;
    if (read_cpu_sample(&a) != 0) return NIMBO_ERR_FAILED;
    struct timespec pause = {0, 100 * 1000 * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    if (read_cpu_sample(&b) != 0) return NIMBO_ERR_FAILED;
    uint32_t total_diff = b.total - a.total;
    uint32_t idle_diff = b.idle - a.idle;
    if (total_diff == 0) {
        LOG_E(TAG_HWLINK, "Total CPU time difference is zero");
        return NIMBO_ERR_FAILED;
    }
    if (idle_diff > total_diff) return read_failed(nimbo::dev::kProcStat);  // counters went backwards
    double usage = (double)(total_diff - idle_diff) * 100.0 / (double)total_diff;
    char text[64];
    snprintf(text, sizeof text, "%.2f%c", usage, '%');
    return put_text_zero("CPU usage", text, out, len);
}

HWLINK_API int hwlink_get_device_signal_level(const char* network_type, char* out, int* len) {
    if (network_type == nullptr || out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    char text[HWLINK_FIELD_SIZE + 16];
    if (strcmp(network_type, "WIFI") == 0) {
        WifiSignalInfo info;
        if (device_utils_get_wifi_signal(&info) == 0) {
            snprintf(text, sizeof text, "%ddBm", info.rssi);
            return put_text_zero("signal level", text, out, len);
        }
    } else if (strcmp(network_type, "4G") == 0) {
        CText lte(devstate_value("ltesignal"));
        if (lte && hw::format(text, sizeof text, "%sdBm", lte.get()) && strlen(text) < HWLINK_FIELD_SIZE)
            return put_text_zero("signal level", text, out, len);
    }
    memcpy(out, "NA", 2);
    *len = 2;
    return 0;
}

HWLINK_API int hwlink_get_device_uptime(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    FilePtr f = open_counter(nimbo::dev::kProcUptime, nimbo::dev::kProcUptime);
    if (!f) return NIMBO_ERR_FAILED;
    double uptime = 0;
    // A value that does not fit the hour counter is no uptime either.
    if (fscanf(f.get(), "%lf", &uptime) != 1 || !(uptime >= 0.0 && uptime < 2147483647.0 * 3600.0))
        return read_failed(nimbo::dev::kProcUptime);
    int hours = (int)(uptime / 3600);
    int minutes = (int)((uptime - hours * 3600.0) / 60);
    int seconds = (int)(uptime - (hours * 3600.0 + minutes * 60.0));
    char text[64];
    snprintf(text, sizeof text, "%02d:%02d:%02d", hours, minutes, seconds);
    return put_text_zero("uptime", text, out, len);
}

namespace {
// Reads one integer from a power-supply node; the failures go to standard error
// ("Failed to open <what> file for reading", "Failed to read <what>").
bool read_int_node(const char* abs, const char* what, int* value) {
    char err[96];
    FilePtr f(open_device_file(abs));
    if (!f) {
        snprintf(err, sizeof err, "Failed to open %s file for reading", what);
    } else if (fscanf(f.get(), "%d", value) != 1) {
        snprintf(err, sizeof err, "Failed to read %s", what);
    } else {
        return true;
    }
    perror(err);
    return false;
}
}  // namespace

HWLINK_API int hwlink_get_battery_percent(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    int capacity = 0;
    if (!read_int_node(nimbo::dev::kBatteryCapacity, "battery level", &capacity)) return NIMBO_ERR_FAILED;
    char text[32];
    snprintf(text, sizeof text, "%d.00%c", capacity, '%');
    return hw::put_field("battery level", text, strlen(text), out, len);
}

HWLINK_API int hwlink_get_battery_status(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    int online = 0;
    if (!read_int_node(nimbo::dev::kAcOnline, "battery status", &online)) return NIMBO_ERR_FAILED;
    out[0] = online == 1 ? '1' : '2';
    *len = 1;
    return 0;
}

HWLINK_API int hwlink_get_device_current(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    memcpy(out, "NA", 3);
    *len = 3;
    return 0;
}

HWLINK_API int hwlink_get_device_voltage(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    int microvolts = 0;
    if (!read_int_node(nimbo::dev::kBatteryVoltage, "battery level", &microvolts)) return NIMBO_ERR_FAILED;
    float volts = (float)microvolts / 1000000.0f;
    char text[32];
    snprintf(text, sizeof text, "%.2f%c", (double)volts, 'V');
    return hw::put_field("voltage", text, strlen(text), out, len);
}

HWLINK_API int hwlink_get_memory_usage(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    FilePtr f = open_counter(nimbo::dev::kProcMeminfo, nimbo::dev::kProcMeminfo);
    if (!f) return NIMBO_ERR_FAILED;
    unsigned long total = 0, free_kb = 0, buffers = 0, cached = 0;
    char line[256];
    while (fgets(line, sizeof line, f.get()) != nullptr) {
        if (sscanf(line, "MemTotal: %lu kB", &total) == 1) continue;
        if (sscanf(line, "MemFree: %lu kB", &free_kb) == 1) continue;
        if (sscanf(line, "Buffers: %lu kB", &buffers) == 1) continue;
        sscanf(line, "Cached: %lu kB", &cached);
    }
    if (total == 0) {
        LOG_E(TAG_HWLINK, "Total memory is zero");
        return NIMBO_ERR_FAILED;
    }
    // Inconsistent counters would wrap around: no usage can be told then.
    if (free_kb > total || buffers > total - free_kb || cached > total - free_kb - buffers) {
        LOG_E(TAG_HWLINK, "Memory counters exceed the total");
        return NIMBO_ERR_FAILED;
    }
    double usage = (double)(total - free_kb - buffers - cached) * 100.0 / (double)total;
    char text[64];
    snprintf(text, sizeof text, "%.2f%c", usage, '%');
    return put_text_zero("memory usage", text, out, len);
}

}  // extern "C"

namespace {

// Starts "ip route" with its standard output on a pipe. The child starts with the default
// signal mask and dispositions (the program blocks its signals in every thread). Under a
// device root, the root's own "/bin/ip" is used when it has one.
bool spawn_ip_route(pid_t* pid, int* read_fd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    UniqueFd rd(fds[0]), wr(fds[1]);
    char ip_path[NIMBO_PATH_MAX];
    bool own_ip = nimbo::device_root()[0] != '\0' && hw::dev_path(nimbo::dev::kIpCommand, ip_path, sizeof ip_path) &&
                  access(ip_path, X_OK) == 0;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_adddup2(&actions, wr.get(), STDOUT_FILENO);
    char arg0[] = "ip", arg1[] = "route";
    char* argv[] = {arg0, arg1, nullptr};
    int rc = own_ip ? posix_spawn(pid, ip_path, &actions, &attr, argv, environ)
                    : posix_spawnp(pid, "ip", &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    *read_fd = rd.release();  // the caller owns the reading end; our writing end closes here
    return true;
}

}  // namespace

extern "C" HWLINK_API int hwlink_get_network_type(char* out, int* len) {
    if (out == nullptr || len == nullptr) return NIMBO_ERR_INVALID;
    pid_t pid = -1;
    int fd = -1;
    if (!spawn_ip_route(&pid, &fd)) {
        LOG_E(TAG_HWLINK, "Failed to run command");
        return NIMBO_ERR_FAILED;
    }
    char name[64];
    memset(name, 0, sizeof name);
    {
        UniqueFd owned(fd);
        FilePtr output(fdopen(fd, "r"));
        if (output) {
            (void)owned.release();  // closed with the stream
            char line[1024];
            while (fgets(line, sizeof line, output.get()) != nullptr) {
                const char* dev = strstr(line, "dev");
                if (strstr(line, "default") == nullptr || dev == nullptr) continue;
                if (strlen(dev) >= 4) sscanf(dev + 4, "%63s", name);
                break;
            }
        }
    }  // the rest of the output is not read: closing the pipe ends the command
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (name[0] == '\0') {
        LOG_E(TAG_HWLINK, "Default route not found");
        return NIMBO_ERR_FAILED;
    }
    if (strncmp(name, "usb", 3) == 0) {
        memcpy(out, "4G", 3);
        *len = 3;
    } else if (strncmp(name, "wlan", 4) == 0) {
        memcpy(out, "WIFI", 5);
        *len = 5;
    } else {
        memcpy(out, name, sizeof name);
        *len = (int)sizeof name;
    }
    return 0;
}

// The vendor location SDK is not on this device.
extern "C" int get_lbs_by_kx_sdk(void* arg) { return arg == nullptr ? -2 : -7; }
