// The command path from the MQTT payload to the reply: the request parser, the admission
// rules, the gates, the result mapping and the reply builders. The command table's
// handlers are replaced by ones that run the real parameter parser of their command
// (the real handlers would start downloads, reboot or lock the terminal), and the
// publisher is replaced: every reply must be a JSON object addressed to the reply topic.
#include <MQTTAsync.h>
#include <cJSON.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "c_handles.hpp"
#include "commands/mqtt_cmd_deal.h"
#include "fuzz_support.h"
#include "json/json_utils.h"
#include "json/json_utils_control.h"
#include "json/json_utils_poster.h"
#include "json/json_utils_tasks.h"
#include "session/mqtt_logic.h"
#include "session/mqtt_utils_async.h"
#include "util/nimbo_globals.h"

// The publisher, replaced at link time: the service's objects call this definition.
extern "C" int MQTTAsync_sendMessage(MQTTAsync, const char* topic, const MQTTAsync_message* msg,
                                     MQTTAsync_responseOptions*) {
    if (topic == nullptr || msg == nullptr || msg->payload == nullptr || msg->payloadlen < 0) abort();
    if (strcmp(topic, MQTT_REPLY_TOPIC) != 0 && strncmp(topic, MQTT_CMD_TOPIC_PREFIX, strlen(MQTT_CMD_TOPIC_PREFIX)) != 0)
        abort();
    std::string payload(static_cast<const char*>(msg->payload), static_cast<size_t>(msg->payloadlen));
    JsonPtr root{cJSON_Parse(payload.c_str())};
    if (!root || !cJSON_IsObject(root.get())) abort();  // a reply the server cannot read
    const cJSON* cmd = cJSON_GetObjectItemCaseSensitive(root.get(), "cmd");
    if (!cJSON_IsString(cmd)) abort();
    return MQTTASYNC_SUCCESS;
}

namespace {

int code_of(int parsed) { return parsed == 0 ? 0 : -2; }

int h_apk(MQTTAsync, const RequestCmd* r, char*, int*) {
    ApkUpgradeParam p;
    int rc = json_utils_jsonstr_to_apk_upgrade_param(r->param, &p);
    fuzz::require_terminated(p.apkDownloadUrl);
    fuzz::require_terminated(p.apkFileName);
    fuzz::require_terminated(p.md5sum);
    return code_of(rc);
}

int h_ota(MQTTAsync, const RequestCmd* r, char*, int*) {
    OtaUpgradeParam p;
    int rc = json_utils_jsonstr_to_ota_upgrade_param(r->param, &p);
    fuzz::require_terminated(p.otaDownloadUrl);
    fuzz::require_terminated(p.packageName);
    return code_of(rc);
}

int h_poster(MQTTAsync, const RequestCmd* r, char* out, int* out_len) {
    CustomResourcePosterParam p;
    int rc = json_utils_jsonstr_to_custom_resource_poster_param(r->param, &p);
    fuzz::require_terminated(p.fileName);
    fuzz::require_terminated(p.url);
    CText reply{json_utils_poster_resources_param_to_jsonstr2("2", "Success", r->param)};
    if (reply) {
        int n = snprintf(out, MQTT_DEAL_REPLY_SIZE, "%s", reply.get());
        *out_len = n;
    }
    return rc == 0 ? -10002 : -2;
}

int h_query_log(MQTTAsync, const RequestCmd* r, char*, int*) {
    QueryLogParam p;
    int rc = json_utils_jsonstr_to_query_log_param(r->param, &p);
    fuzz::require_terminated(p.filePath);
    return code_of(rc);
}

int h_get_log(MQTTAsync, const RequestCmd* r, char*, int*) {
    GetLogParam p;
    int rc = json_utils_jsonstr_to_get_log_param(r->param, &p);
    fuzz::require_terminated(p.dirPath);
    fuzz::require_terminated(p.filePath);
    return code_of(rc);
}

int h_org(MQTTAsync, const RequestCmd* r, char*, int*) {
    DevOrgInfoParam p;
    int rc = json_utils_jsonstr_to_dev_org_info_param(r->param, &p);
    if (rc != 0) return -2;
    for (const std::string& topic : mqtt_cmd_deal::organisation_topics(p)) {
        // A subscription that names a wildcard or another level would widen what we receive.
        if (topic.find_first_of("+#") != std::string::npos || topic.find('\0') != std::string::npos) abort();
    }
    return 0;
}

int h_reboot(MQTTAsync, const RequestCmd* r, char*, int*) {
    RebootParam p;
    return code_of(json_utils_jsonstr_to_reboot_param(r->param, &p));
}

int h_switch(MQTTAsync, const RequestCmd* r, char*, int*) {
    SwitchServerUrlParam p;
    return code_of(json_utils_jsonstr_to_switch_server_url_param(r->param, &p));
}

int h_geofence(MQTTAsync, const RequestCmd* r, char*, int*) {
    GeofenceParam p;
    int rc = json_utils_jsonstr_to_geofence_param(r->param, &p);
    if (rc == 0) {
        CText text{json_utils_geofence_param_to_jsonstr(&p)};
        if (text) {
            JsonPtr back{cJSON_Parse(text.get())};
            if (!back) abort();  // the stored fence must read back
        }
    }
    return code_of(rc);
}

int h_devlock(MQTTAsync, const RequestCmd* r, char*, int*) {
    DevLockParam p;
    return code_of(json_utils_jsonstr_to_devlock_param(r->param, &p));
}

int h_dev_param(MQTTAsync, const RequestCmd* r, char*, int*) {
    DevParamBean p;
    int rc = json_utils_jsonstr_to_dev_param_bean(r->param, &p);
    if (rc == 0) {
        for (int i = 0; i < p.wifiAPCount; ++i) {
            fuzz::require_terminated(p.wifiAP[i].ssid);
            fuzz::require_terminated(p.wifiAP[i].pwd);
        }
        CText list{json_utils_wifiap_param_to_jsonstr(&p, 0)};
    }
    nimbo_entities_free_DevParamBean(&p);
    return code_of(rc);
}

int h_on_off(MQTTAsync, const RequestCmd* r, char*, int*) {
    OnOffParam p;
    return code_of(json_utils_jsonstr_to_on_off_param(r->param, &p));
}

int h_status(MQTTAsync, const RequestCmd*, char* out, int* out_len) {
    *out_len = snprintf(out, MQTT_DEAL_REPLY_SIZE, "%s", R"({"status":"2","failDes":"Success"})");
    return 0;
}

using mqtt_cmd_deal::Gate;
const mqtt_cmd_deal::Command kRows[] = {
    {"querySysStatus", Gate::none, h_status},
    {"queryLog", Gate::none, h_query_log},
    {"getLog", Gate::none, h_get_log},
    {"apkUpgrade", Gate::task, h_apk},
    {"otaUpgrade", Gate::task, h_ota},
    {"customResourcePoster", Gate::task, h_poster},
    {"devOrgInfo", Gate::organisation, h_org},
    {"reboot", Gate::none, h_reboot},
    {"switchServerUrl", Gate::none, h_switch},
    {"geofence", Gate::none, h_geofence},
    {"devLock", Gate::none, h_devlock},
    {"setDevParam", Gate::none, h_dev_param},
    {"onOff", Gate::none, h_on_off},
};
const mqtt_cmd_deal::Table kTable{kRows, static_cast<int>(sizeof kRows / sizeof kRows[0])};

// Nothing may appear in the scratch directory but the data directory, the device root and
// the log: a file elsewhere came from a server-provided name that escaped its directory.
void require_contained() {
    DIR* dir = opendir(fuzz::scratch().c_str());
    if (dir == nullptr) abort();
    while (const dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name == "data" || name == "root" || name.rfind("fuzz.log", 0) == 0) continue;
        abort();
    }
    closedir(dir);
}

// Any non-null handle: only the replaced publisher sees it.
MQTTAsync fake_client() {
    static int token;
    return &token;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::init_process();
    std::string data = fuzz::scratch() + "/data";
    if (mkdir(data.c_str(), 0700) != 0) abort();
    snprintf(g_nimbo_data_path, sizeof g_nimbo_data_path, "%s", data.c_str());
    snprintf(g_nimbo_cmd_file_path, sizeof g_nimbo_cmd_file_path, "%s/task_cmd", data.c_str());
    snprintf(g_device_serialno, sizeof g_device_serialno, "%s", "NB00000001");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = fuzz::text(data, size);

    RequestCmd request;
    unsigned overflow = 0;
    json_utils::parse_request(text.c_str(), g_device_serialno, &request, &overflow);
    fuzz::require_terminated(request.cmd);
    fuzz::require_terminated(request.taskId);
    fuzz::require_terminated(request.sn);
    fuzz::require_terminated(request.param);

    // Each input starts from the same state: no pending task or backup, organisation not
    // subscribed.
    nimbo_utils_clear_directory(g_nimbo_data_path);
    g_flag_mqtt_sub_devorginfo = 0;
    g_flag_download_running = 0;
    mqtt_logic::Outcome o = mqtt_logic::dispatch(fake_client(), text.c_str(), kTable);
    mqtt_logic::answer(fake_client(), o);
    require_contained();
    return 0;
}
