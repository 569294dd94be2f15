// Benchmark driver: runs one of the service's own operations once and prints what it cost
// as "key=value" pairs on one line (bench/run parses them).
//
//   nimbo_bench md5 FILE
//   nimbo_bench download URL DEST MD5 SIZE [--fast-retry]
//   nimbo_bench upload URL FILE NAME
//   nimbo_bench report APP_DIR [REPEAT]
//
// Device paths resolve under NIMBO_DEVICE_ROOT as in the service.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <curl/curl.h>

#include "c_handles.hpp"
#include "device/json_utils_report.h"
#include "device/nimbo_entities.h"
#include "tasks/crypto_utils.h"
#include "tasks/curl_utils.h"
#include "tasks/mqtt_cmd_deal_thread_download.h"
#include "util/nimbo_globals.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A "Vm..." line of /proc/self/status in KiB, or -1.
long status_kib(const char* key) {
    FilePtr f{std::fopen("/proc/self/status", "r")};
    if (!f) return -1;
    char line[256];
    size_t klen = std::strlen(key);
    while (std::fgets(line, sizeof line, f.get()) != nullptr) {
        if (std::strncmp(line, key, klen) == 0 && line[klen] == ':') return std::strtol(line + klen + 1, nullptr, 10);
    }
    return -1;
}

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void set_path(char (&field)[256], const std::string& value) {
    std::snprintf(field, sizeof field, "%s", value.c_str());
}

std::string dir_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

int cmd_md5(const char* path) {
    char hex[33];
    double cpu0 = cpu_seconds();
    auto t0 = Clock::now();
    int rc = crypto_utils_calculate_md5_hex_for_file(path, hex);
    double secs = seconds_since(t0);
    std::printf("rc=%d seconds=%.6f cpu=%.6f md5=%s\n", rc, secs, cpu_seconds() - cpu0, rc == 0 ? hex : "-");
    return rc == 0 ? 0 : 1;
}

int cmd_download(const char* url, const char* dest, const char* md5, const char* size, bool fast_retry) {
    // The driver checks space under the user-data root and sums its download directory.
    set_path(g_device_userdata_path, dir_of(dest));
    set_path(g_nimbo_download_path, dir_of(dest));
    g_flag_mqtt_connect = 1;
    DownloadTask task;
    if (curl_utils_download_task_init(&task, url, dest, nullptr, nullptr, std::strtoull(size, nullptr, 10), md5) != 0) {
        std::fprintf(stderr, "bad download arguments\n");
        return 2;
    }
    download::Environment env = download::production_environment();
    // The retry pauses (10 to 60 s) are policy, not cost: a resume benchmark skips them.
    if (fast_retry) env.sleep = [](unsigned) { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };
    double cpu0 = cpu_seconds();
    auto t0 = Clock::now();
    int rc = download::run(task, env);
    double secs = seconds_since(t0);
    std::printf("rc=%d seconds=%.6f cpu=%.6f attempts=%d\n", rc, secs, cpu_seconds() - cpu0,
                g_download_logic_retry_count.load());
    return rc == 0 ? 0 : 1;
}

int cmd_upload(const char* url, const char* path, const char* name) {
    curl_global_init(CURL_GLOBAL_ALL);
    char answer[4096];
    size_t count = 0;
    // A first small upload loads the libraries and the TLS/MIME code, so that the figure
    // below is what the file's size costs, not what the first transfer of a process costs.
    std::string warm = dir_of(path) + "/warm-up.txt";
    {
        FilePtr f{std::fopen(warm.c_str(), "w")};
        if (f) std::fputs("warm-up\n", f.get());
    }
    curl_utils_post_file(url, warm.c_str(), "warm-up.txt", CURL_UTILS_UPLOAD_KEY, answer, sizeof answer, &count);
    ::unlink(warm.c_str());

    long rss0 = status_kib("VmRSS");
    long hwm0 = status_kib("VmHWM");
    double cpu0 = cpu_seconds();
    auto t0 = Clock::now();
    HttpResult r = curl_utils_post_file(url, path, name, CURL_UTILS_UPLOAD_KEY, answer, sizeof answer, &count);
    double secs = seconds_since(t0);
    long hwm1 = status_kib("VmHWM");
    std::printf("rc=%d http=%ld seconds=%.6f cpu=%.6f rss_kib=%ld hwm_before_kib=%ld hwm_after_kib=%ld "
                "hwm_growth_kib=%ld\n",
                r.code, r.http_status, secs, cpu_seconds() - cpu0, rss0, hwm0, hwm1, hwm1 - hwm0);
    curl_global_cleanup();
    return r.code == 0 && r.http_status == 200 ? 0 : 1;
}

int cmd_report(const char* app_dir, int repeat) {
    set_path(g_device_app_path, app_dir);
    auto info = std::make_unique<DeviceInfo>();
    double best = 1e9;
    double total = 0;
    size_t bytes = 0;
    int apps = 0;
    for (int i = 0; i < repeat; ++i) {
        auto t0 = Clock::now();
        nimbo_entities_init_device_info(info.get(), 1);
        CText json{json_utils_device_info_to_jsonstr(info.get())};
        double secs = seconds_since(t0);
        bytes = json ? std::strlen(json.get()) : 0;
        apps = info->appCount;
        total += secs;
        if (secs < best) best = secs;
    }
    std::printf("rc=0 seconds=%.6f best=%.6f apps=%d json_bytes=%zu\n", total / repeat, best, apps, bytes);
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: nimbo_bench md5 FILE\n"
                 "       nimbo_bench download URL DEST MD5 SIZE [--fast-retry]\n"
                 "       nimbo_bench upload URL FILE NAME\n"
                 "       nimbo_bench report APP_DIR [REPEAT]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string cmd = argv[1];
    if (cmd == "md5") return cmd_md5(argv[2]);
    if (cmd == "download" && argc >= 6)
        return cmd_download(argv[2], argv[3], argv[4], argv[5], argc >= 7 && std::strcmp(argv[6], "--fast-retry") == 0);
    if (cmd == "upload" && argc >= 5) return cmd_upload(argv[2], argv[3], argv[4]);
    if (cmd == "report") return cmd_report(argv[2], argc >= 4 ? std::atoi(argv[3]) : 1);
    return usage();
}
