// The download driver: space check, one download at a time, retries chosen by the kind of
// failure, resumption from the bytes on disk, MD5 verification.
#include "tasks/mqtt_cmd_deal_thread_download.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "c_handles.hpp"
#include "log_tags.h"
#include "result_codes.h"
#include "tasks/crypto_utils.h"
#include "tasks/nimbo_workers.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

std::atomic<int> g_download_logic_retry_count{0};
std::atomic<int> g_download_logic_md5_failed_count{0};
std::atomic<int> g_download_last_progress{0};

namespace {

constexpr size_t kMessageSize = 768;
constexpr unsigned kSslDelay = 10;
constexpr unsigned kTimeoutDelay = 15;
constexpr unsigned kRetryDelay = 60;
constexpr unsigned kThrottledDelay = 180;

void report_failure(const DownloadTask& task, const char* message) {
    LOG_E(TAG_ADEAL, "[%s] %s", task.file_path, message);
    if (task.callback != nullptr) task.callback(task.callback_context, "3", message);
}

bool md5_matches(const DownloadTask& task) {
    if (task.md5_known) return crypto_utils_compare_md5(task.md5, task.expected_md5) == 0;
    unsigned char digest[16];
    if (crypto_utils_calculate_md5_value_for_file(task.file_path, digest) != 0) return false;
    return crypto_utils_compare_md5(digest, task.expected_md5) == 0;
}

// One second of the retry delays. Fault-injection tests shorten it through
// NIMBO_RETRY_SECOND_MS (1 to 1000 milliseconds); anything else keeps the real second.
// The service is stopping: the download ends as paused, the task and its bytes stay for
// the next start.
bool stopping() {
    if (g_run_flag.load() != 0) return false;
    LOG_W(TAG_ADEAL, "service stopping, the download task is kept for the next start");
    return true;
}

std::chrono::milliseconds retry_second() {
    static const std::chrono::milliseconds unit = [] {
        const char* text = std::getenv("NIMBO_RETRY_SECOND_MS");
        char* end = nullptr;
        long ms = text ? std::strtol(text, &end, 10) : 0;
        if (text == nullptr || end == text || *end != '\0' || ms < 1 || ms > 1000) ms = 1000;
        return std::chrono::milliseconds(ms);
    }();
    return unit;
}

}  // namespace

namespace download {

uint64_t required_space(uint64_t expected_size, uint64_t used) {
    uint64_t missing = expected_size > used ? expected_size - used : 0;
    if (missing > std::numeric_limits<uint64_t>::max() / 2) return std::numeric_limits<uint64_t>::max();
    return 2 * missing;
}

Environment production_environment() {
    Environment env;
    env.transfer = curl_utils_download_file;
    env.sleep = [](unsigned seconds) { workers::sleep_for(seconds * retry_second()); };
    env.mqtt_connected = [] { return g_flag_mqtt_connect.load() != 0; };
    env.directory_size = nimbo_utils_get_directory_size;
    env.check_free_space = nimbo_utils_check_and_report_free_space;
    return env;
}

int run(DownloadTask task, const Environment& env) {
    char message[kMessageSize];
    uint64_t used = env.directory_size(g_nimbo_download_path);
    if (used != 0) LOG_I(TAG_ADEAL, "has download size: %lld", static_cast<long long>(used));
    if (env.check_free_space(g_device_userdata_path, required_space(task.expected_size, used)) != 0) {
        std::snprintf(message, sizeof message, "Device does not have enough space for downloads and tasks");
        LOG_E(TAG_ADEAL, "%s", message);
        report_failure(task, message);
        return NIMBO_ERR_FAILED;
    }
    workers::DownloadSlot slot;
    if (!slot.acquire()) {
        LOG_E(TAG_ADEAL, "%s", "The download task has already begun");
        return NIMBO_DOWNLOAD_BUSY;
    }
    g_download_logic_retry_count = 0;
    g_download_logic_md5_failed_count = 0;
    g_download_last_progress = 0;

    for (;;) {
        if (stopping()) return NIMBO_PAUSED;
        int attempt = ++g_download_logic_retry_count;
        if (attempt > DOWNLOAD_MAX_ATTEMPTS) {
            std::snprintf(message, sizeof message, "%d retries have been made and the download task end.",
                          DOWNLOAD_MAX_ATTEMPTS);
            report_failure(task, message);
            return NIMBO_ERR_FAILED;
        }
        if (g_download_logic_md5_failed_count >= DOWNLOAD_MAX_MD5_FAILURES) {
            std::snprintf(message, sizeof message, "md5 failed more than %d times and the download task end.",
                          DOWNLOAD_MAX_MD5_FAILURES - 1);
            report_failure(task, message);
            return NIMBO_ERR_FAILED;
        }
        HttpResult result = env.transfer(&task, CURL_UTILS_DOWNLOAD_KEY);
        if (result.code != 0) LOG_E(TAG_ADEAL, "code: %d, %s", result.code, result.message);
        if (stopping()) return NIMBO_PAUSED;
        if (!env.mqtt_connected()) {
            LOG_E(TAG_ADEAL, "mqtt offline, temporary storage task");
            return NIMBO_PAUSED;
        }
        if (result.code != 0) {
            switch (result.code) {
                case CURLE_UNSUPPORTED_PROTOCOL:
                case CURLE_SSL_CONNECT_ERROR:
                case CURLE_SSL_ENGINE_NOTFOUND:
                case CURLE_SSL_ENGINE_SETFAILED:
                case CURLE_PEER_FAILED_VERIFICATION:
                    LOG_W(TAG_ADEAL, "download failed[SSL: %s], try again in %d seconds, retryCount: %d",
                          result.message, kSslDelay, attempt);
                    env.sleep(kSslDelay);
                    continue;
                case CURLE_WRITE_ERROR:
                case CURLE_URL_MALFORMAT:  // a URL or file name that no retry can mend
                    report_failure(task, result.message);
                    return NIMBO_ERR_FAILED;
                case CURLE_COULDNT_RESOLVE_HOST:
                case CURLE_COULDNT_CONNECT:
                    LOG_W(TAG_ADEAL,
                          "download failed because the network was not available, try again in %d seconds, "
                          "count: %d",
                          kRetryDelay, attempt);
                    env.sleep(kRetryDelay);
                    continue;
                case CURLE_OPERATION_TIMEDOUT:
                    LOG_W(TAG_ADEAL, "download timeout, try again in %d seconds", kTimeoutDelay);
                    env.sleep(kTimeoutDelay);
                    continue;
                default:
                    LOG_W(TAG_ADEAL, "download failed[%s], try again in %d seconds, retryCount: %d", result.message,
                          kRetryDelay, attempt);
                    env.sleep(kRetryDelay);
                    continue;
            }
        }
        const long status = result.http_status;
        if (status == 429) {
            LOG_W(TAG_ADEAL, "download failed[HTTP429], try again in %d seconds", kThrottledDelay);
            env.sleep(kThrottledDelay);
            g_download_logic_retry_count = 0;  // throttling never uses up attempts
            continue;
        }
        if (status == 401 || status == 403 || status == 404) {
            std::snprintf(message, sizeof message, "Download failed[HTTP%ld], task end.", status);
            report_failure(task, message);
            return NIMBO_ERR_FAILED;
        }
        if (status != 200 && status != 206 && status != 416) {
            LOG_W(TAG_ADEAL, "download failed[HTTP%ld], try again in %d seconds, retryCount: %d", status, kRetryDelay,
                  attempt);
            env.sleep(kRetryDelay);
            continue;
        }
        if (task.expected_md5 == nullptr || task.expected_md5[0] == '\0') {
            LOG_I(TAG_ADEAL, "param md5 is empty, download end.");
            return 0;
        }
        if (md5_matches(task)) {
            LOG_I(TAG_ADEAL, "MD5 verification passed");
            return 0;
        }
        LOG_W(TAG_ADEAL, "MD5 verification failed, delete file and restart download task in %d seconds, md5 failed count: %d",
              kRetryDelay, g_download_logic_md5_failed_count.load());
        nimbo_utils_delete_file(task.file_path);
        ++g_download_logic_md5_failed_count;
        env.sleep(kRetryDelay);
    }
}

}  // namespace download

int download_logic(DownloadTask task) { return download::run(task, download::production_environment()); }
