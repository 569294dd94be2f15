// The "customResourcePoster" command: the display-resource list "config.json" of the
// payment application and the download of its poster files (log tags "mqtt_deal" for the
// handler, "mqtt_adeal" for the worker).
#pragma once

#include <MQTTAsync.h>
#include <stdint.h>

#include <atomic>
#include <string>

#include "json_utils.h"
#include "json_utils_poster.h"

#define POSTER_RESOURCE_DIR "res/advertisement"
#define POSTER_CONFIG_FILE "config.json"

// What a poster download hands to its worker; the worker owns it and frees it with
// release_mqtt_cmd_deal_thread_custom_resource_poster_param.
struct CustomResourcePosterThreadParam {
    MQTTAsync client = nullptr;  // replies go through it
    std::string cmd;
    std::string sn;
    std::string taskId;
    std::string url;
    std::string storedName;  // "<position>_<fileName>"
    uint64_t fileSize = 0;
    std::string md5sum;
    std::string localPath;   // where the poster is installed
    std::string oldPath;     // the replaced entry's file, "" for an insertion
    std::string configPath;  // "config.json"
    std::string newConfig;   // the list written after the installation
    uint32_t progress = 0;   // step in percent between progress replies
    bool sameFile = false;   // the new file takes the replaced entry's own name
};

// The running worker's record, null when none runs. Claimed by the handler under
// g_download_mutex before the worker starts, cleared by the worker as it ends.
extern std::atomic<CustomResourcePosterThreadParam*> g_crp_params;

extern "C" {

// The command handler: 0 accepted (a download started, reply "1"), -10002 finished (reply
// in `out`), -10000 nothing to publish, -2/-7/-8 failures answered by the dispatcher.
int mqtt_cmd_deal_custom_resource_poster(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);

// The worker's entry; `arg` is its CustomResourcePosterThreadParam.
void* mqtt_cmd_deal_thread_custom_resource_poster_method(void* arg);

// Progress and results of the download and of the worker.
void custom_resource_poster_callback(const char* status, const char* text);

// Frees the record; null is ignored.
void release_mqtt_cmd_deal_thread_custom_resource_poster_param(CustomResourcePosterThreadParam* param);

}  // extern "C"

namespace poster {

// The resource directory "<g_device_app_path>/res/advertisement".
std::string resource_dir();

}  // namespace poster
