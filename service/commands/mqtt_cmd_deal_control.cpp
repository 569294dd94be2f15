// The control commands. They run on the MQTT message thread; the server switch starts a
// detached worker that owns its record (mqtt_cmd_deal_thread_switch_server_url_method, here
// with the switch queue it shares with the handler).
#include "commands/mqtt_cmd_deal_control.h"

#include <string.h>

#include <memory>
#include <mutex>

#include "c_handles.hpp"
#include "device/nimbo_utils_devlock.h"
#include "device/nimbo_utils_geofence.h"
#include "hwlink.h"
#include "json/json_utils.h"
#include "json/json_utils_control.h"
#include "log_tags.h"
#include "result_codes.h"
#include "session/nimbo_utils_bootstrap.h"
#include "session/nimbo_utils_reply.h"
#include "tasks/nimbo_workers.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"
#include "util/nimbo_utils_faildes.h"

namespace {

constexpr const char* kOffline = "App Alipay is offline";
constexpr size_t kMessageSize = 256;

const char* param_of(const RequestCmd* request) { return request ? request->param : ""; }

// The handler's arguments checked (mqtt_cmd_deal::args_ok) and the request's param parsed
// into `param`: 0, -8 for missing arguments, or the parse failure's code
// (mqtt_cmd_deal::parse_failure).
template <class Param>
int args_and_param(char* out, int* out_len, const RequestCmd* request, int (*parser)(const char*, Param*),
                   Param* param, const char* what) {
    if (!mqtt_cmd_deal::args_ok(out, out_len)) return NIMBO_ERR_FAILED;
    int rc = parser(param_of(request), param);
    return rc == 0 ? 0 : mqtt_cmd_deal::parse_failure(rc, what);
}

// The failure reply {"status":"3","failDes":fail_des}; 0, or -8 when it cannot be written.
int fail(char* out, int* out_len, const char* fail_des) {
    return mqtt_cmd_deal::reply_status(out, out_len, "3", fail_des, 0);
}

// The failure reply of a device call: its own message, or the text of its result.
int device_failure(char* out, int* out_len, char* msg, int rc) {
    if (msg[0] == '\0') nimbo_utils_errcode_converted_into_faildes(rc, msg);
    return fail(out, out_len, msg);
}

constexpr const char* kBusy = "Device is busy, please try again later.";

// The server switch in progress and the one request waiting for it.
struct SwitchQueue {
    std::mutex mutex;
    bool running = false;
    std::unique_ptr<SwitchServerUrlWorker> waiting;
};

SwitchQueue& switch_queue() {
    static SwitchQueue* queue = new SwitchQueue;  // never destroyed: the worker may outlive exit
    return *queue;
}

void switch_server(SwitchServerUrlWorker* worker);
void run_switches(SwitchServerUrlWorker* first);

}  // namespace

std::string mqtt_cmd_deal_control::restart_command(const std::string& dir) {
    return nimbo::shell_quote(dir) + "/nimboservice.sh restart";
}

extern "C" {

// ---- devLock ------------------------------------------------------------------------

int mqtt_cmd_deal_devlock(MQTTAsync, const RequestCmd* request, char* out, int* out_len) {
    DevLockParam param;
    if (int rc = args_and_param(out, out_len, request, json_utils_jsonstr_to_devlock_param, &param, "devLock"))
        return rc;
    LOG_V(TAG_DEAL, "lock_type: %s, pwd: %s", param.lockType, param.pwd);
    // A request that was not stored (full partition, refused folder) or not acted on fails
    // with the text of -8, "Operation failed".
    return nimbo_utils_devlock_deal(strcmp(param.lockType, "1") == 0 ? 1 : 0) == NIMBO_ERR_FAILED ? NIMBO_ERR_FAILED
                                                                                              : 0;
}

// ---- geofence -----------------------------------------------------------------------

int mqtt_cmd_deal_lbs_geofence(MQTTAsync client, const RequestCmd* request, char* out, int* out_len) {
    GeofenceParam param;
    if (int rc = args_and_param(out, out_len, request, json_utils_jsonstr_to_geofence_param, &param, "geofence"))
        return rc;
    std::string path = std::string(g_nimbo_data_path) + "/lbs_geofence";
    if (param.geofenceCoordinates[0] != '\0' && param.geofenceRadius[0] != '\0') {
        CText line{json_utils_geofence_param_to_jsonstr(&param)};
        if (!line) return NIMBO_ERR_FAILED;
        // A fence that was not stored fails the command ("Operation failed"); the old one stays.
        if (!nimbo::write_line_file(path.c_str(), line.get(), 0)) return NIMBO_ERR_FAILED;
    } else {
        nimbo_utils_delete_file(path.c_str());
    }
    nimbo_utils_geofence_deal(client, g_device_serialno);
    return 0;
}

// ---- reboot, onOff --------------------------------------------------------------------

int mqtt_cmd_deal_reboot(MQTTAsync, const RequestCmd* request, char* out, int* out_len) {
    RebootParam param;
    if (int rc = args_and_param(out, out_len, request, json_utils_jsonstr_to_reboot_param, &param, "reboot"))
        return rc;
    LOG_I(TAG_DEAL, "reboot_type: %s, time: %s, week_cycle: %s", param.rebootType, param.time, param.weekCycle);
    int type;
    if (strcmp(param.rebootType, "1") == 0)
        type = 1;
    else if (strcmp(param.rebootType, "2") == 0)
        type = 0;
    else
        return NIMBO_ERR_INVALID;
    char msg[kMessageSize] = {0};
    int rc = hwlink_reboot(type, msg);
    if (rc != NIMBO_ERR_FAILED) return rc;
    return device_failure(out, out_len, msg, rc);
}

int mqtt_cmd_deal_on_off_param(MQTTAsync, const RequestCmd* request, char* out, int* out_len) {
    OnOffParam param;
    if (int rc = args_and_param(out, out_len, request, json_utils_jsonstr_to_on_off_param, &param, "onOffParam"))
        return rc;
    LOG_V(TAG_DEAL, "offTime: %s, onTime: %s, weekCycle: %s", param.offTime, param.onTime, param.weekCycle);
    char msg[kMessageSize] = {0};
    int rc = hwlink_poweroff(msg);
    if (rc == 0) return 0;
    return device_failure(out, out_len, msg, rc);
}

// ---- setDevParam ----------------------------------------------------------------------

int mqtt_cmd_deal_set_dev_param(MQTTAsync, const RequestCmd* request, char* out, int* out_len) {
    DevParamBean bean;
    if (int rc = args_and_param(out, out_len, request, json_utils_jsonstr_to_dev_param_bean, &bean, "setDevParam"))
        return rc;
    std::unique_ptr<DevParamBean, CFree<nimbo_entities_free_DevParamBean>> owner{&bean};
    CText wifi{json_utils_wifiap_param_to_jsonstr(&bean, 1)};
    LOG_V(TAG_DEAL, "brightness: %d, systemVolume: %d, wifiap: %s", bean.brightness, bean.systemVolume,
          wifi ? wifi.get() : "(null)");
    int rc = hwlink_update_dev_param(bean.brightness, bean.systemVolume, wifi.get());
    if (rc == 0) return 0;
    return fail(out, out_len,
                rc == NIMBO_ERR_INVALID ? "Illegal parameter" : rc == NIMBO_ERR_NOT_FOUND ? kOffline : "");
}

// ---- antPayCode, antPayStatus ----------------------------------------------------------

int mqtt_cmd_ant_pay_deal(MQTTAsync, const RequestCmd* request, char* out, int* out_len) {
    if (!mqtt_cmd_deal::args_ok(out, out_len)) return NIMBO_ERR_FAILED;
    int type = request && strcmp(request->cmd, "antPayCode") == 0 ? 1 : 0;
    if (hwlink_ant_pay_deal(type, param_of(request)) == 0) return 0;
    return fail(out, out_len, kOffline);
}

// ---- switchServerUrl ---------------------------------------------------------------------

int mqtt_cmd_deal_switch_server_url(MQTTAsync client, const RequestCmd* request, char* out, int* out_len) {
    SwitchServerUrlParam param;
    if (int rc = args_and_param(out, out_len, request, json_utils_jsonstr_to_switch_server_url_param, &param,
                        "switchServerUrl"))
        return rc;
    if (param.url[0] == '\0' || param.resetFactoryType[0] == '\0') return NIMBO_ERR_INVALID;
    auto worker = tasks::make_record<SwitchServerUrlWorker>(client, *request, [&param](SwitchServerUrlWorker& w) {
        w.resetFactoryType = param.resetFactoryType;
        w.url = param.url;
    });
    if (!worker) return NIMBO_ERR_FAILED;
    // One switch at a time: while one runs, the newest request waits for it and replaces an
    // older waiting one, which is answered busy.
    std::unique_ptr<SwitchServerUrlWorker> superseded;
    {
        SwitchQueue& queue = switch_queue();
        std::lock_guard<std::mutex> lock(queue.mutex);
        if (queue.running) {
            superseded = std::move(queue.waiting);
            queue.waiting = std::move(worker);
        } else {
            if (!workers::start(workers::Kind::server_switch, worker, run_switches))
                return NIMBO_ERR_FAILED;  // the thread never started: the record is still ours
            queue.running = true;
        }
    }
    if (superseded) {
        LOG_W(TAG_DEAL, "switchServerUrl [%s] replaced by a newer request", superseded->taskId.c_str());
        if (nimbo_utils_replay_with_no_data_param(client, superseded->cmd.c_str(), superseded->sn.c_str(),
                                                  superseded->taskId.c_str(), "3", kBusy) != 0)
            LOG_E(TAG_DEAL, "replay failed");
    }
    return NIMBO_HANDLED;
}

}  // extern "C"

namespace {

// The server-switch worker: runs the switch it was started with, then every request that
// waited for it (each waiting record is freed here).
void run_switches(SwitchServerUrlWorker* first) {
    switch_server(first);
    for (;;) {
        std::unique_ptr<SwitchServerUrlWorker> next;
        {
            SwitchQueue& queue = switch_queue();
            std::lock_guard<std::mutex> lock(queue.mutex);
            if (g_run_flag.load() == 0) queue.waiting.reset();  // stopping: nobody will run it
            next = std::move(queue.waiting);
            if (!next) {
                queue.running = false;
                return;
            }
        }
        switch_server(next.get());
    }
}

void switch_server(SwitchServerUrlWorker* worker) {
    try {
        const char* cmd = worker->cmd.c_str();
        const char* sn = worker->sn.c_str();
        const char* task_id = worker->taskId.c_str();
        char answer[1024] = {0};
        int len = 0;
        int rc = nimbo_utils_request_api_v1_mqtt(worker->url.c_str(), answer, &len);
        if (rc != 0 || len <= 0 || answer[0] == '\0') {
            LOG_E(TAG_ADEAL, "new server url [%s] is not valid, result %d", worker->url.c_str(), rc);
            if (nimbo_utils_replay_with_no_data_param(worker->client, cmd, sn, task_id, "3", "URL is not valid") != 0)
                LOG_E(TAG_ADEAL, "replay failed");
            return;
        }
        int persistent = worker->resetFactoryType == "2" ? 1 : 0;
        bool stored = nimbo_utils_save_server_url(worker->url.c_str(), persistent) == 0;
        LOG_I(TAG_ADEAL, "switch server url to %s (%s), %s", worker->url.c_str(),
              persistent ? "persistent" : "not persistent", stored ? "stored" : "store failed");
        int replied = stored ? nimbo_utils_replay_with_no_data_param(worker->client, cmd, sn, task_id, "2", "OK")
                             : nimbo_utils_replay_with_no_data_param(worker->client, cmd, sn, task_id, "3",
                                                                     "backup url failed");
        if (replied != 0) LOG_E(TAG_ADEAL, "replay failed");

        char dir[1024] = {0};
        if (nimbo_utils_get_executable_folder_path(dir, sizeof dir) != 0) {
            LOG_E(TAG_ADEAL, "cannot find the program's directory, no restart");
            return;
        }
        std::string command = mqtt_cmd_deal_control::restart_command(dir);
        LOG_I(TAG_ADEAL, "restart: %s", command.c_str());
        nimbo_utils_run_commands_without_return(command.c_str());
    } catch (...) {
        LOG_E(TAG_ADEAL, "Memory allocation failed");
    }
}

}  // namespace
