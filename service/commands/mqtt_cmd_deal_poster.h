// The "customResourcePoster" command: the display-resource list "config.json" of the
// payment application and the download of its poster files (log tags "mqtt_deal" for the
// handler, "mqtt_adeal" for the worker).
#pragma once

#include <MQTTAsync.h>
#include <stdint.h>

#include <string>

#include "json/json_utils.h"
#include "json/json_utils_poster.h"
#include "tasks/mqtt_cmd_deal_thread.h"

#define POSTER_RESOURCE_DIR "res/advertisement"
#define POSTER_CONFIG_FILE "config.json"

// What a poster download hands to its worker; the worker owns it.
struct CustomResourcePosterThreadParam : tasks::Record {
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

extern "C" {

// The command handler: 0 accepted (a download started, reply "1"), -10002 finished (reply
// in `out`), -10000 nothing to publish, -2/-7/-8 failures answered by the dispatcher.
int mqtt_cmd_deal_custom_resource_poster(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);

// Progress and results of the download and of the worker; `context` is the worker's record.
// A final result is kept by the task's ledger entry and sent when the task ends.
void custom_resource_poster_callback(void* context, const char* status, const char* text);

}  // extern "C"

namespace mqtt_cmd_deal_poster {

// The resource directory "<g_device_app_path>/res/advertisement".
std::string resource_dir();

}  // namespace mqtt_cmd_deal_poster
