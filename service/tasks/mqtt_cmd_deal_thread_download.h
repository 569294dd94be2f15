// The download driver of the long tasks (log tag "mqtt_adeal").
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>

#include "tasks/curl_utils.h"

// Attempts of the current download; the task callbacks reset it when a resumed attempt
// makes progress.
extern std::atomic<int> g_download_logic_retry_count;
// Failed MD5 checks of the current download.
extern std::atomic<int> g_download_logic_md5_failed_count;
// Last percentage a task callback reported; 0 when a download starts.
extern std::atomic<int> g_download_last_progress;

#define DOWNLOAD_MAX_ATTEMPTS 30
#define DOWNLOAD_MAX_MD5_FAILURES 4

// Fetches one file with retries, resumption and the MD5 check. 0 complete (and verified
// when an MD5 was given); -8 failed (the callback got "3" and the reason); -10001 paused
// because the MQTT session was down after an attempt; -10011 another download is running.
int download_logic(DownloadTask task);

namespace download {

// What the driver needs from the world; tests replace each piece.
struct Environment {
    std::function<HttpResult(DownloadTask*, const char* key)> transfer;
    std::function<void(unsigned seconds)> sleep;
    std::function<bool()> mqtt_connected;
    std::function<uint64_t(const char* path)> directory_size;
    std::function<int(const char* path, uint64_t threshold)> check_free_space;
};

// The real transfer, sleep, session flag and storage checks.
Environment production_environment();

// download_logic with the given environment.
int run(DownloadTask task, const Environment& env);

// Space to ask for: twice the bytes still missing (none missing when the directory already
// holds the expected size), saturating instead of wrapping.
uint64_t required_space(uint64_t expected_size, uint64_t used);

}  // namespace download
