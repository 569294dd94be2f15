// Handlers of the control commands: "devLock", "geofence", "reboot", "onOff",
// "setDevParam", "antPayCode"/"antPayStatus" and "switchServerUrl" with its worker
// (log tags "mqtt_deal" and "mqtt_adeal"). The handlers themselves are declared, with the
// dispatcher's contract, in mqtt_cmd_deal.h.
#pragma once

#include <MQTTAsync.h>

#include <string>

#include "mqtt_cmd_deal.h"

// The server-switch worker's record: the client and private copies of what it needs.
struct SwitchServerUrlWorker {
    MQTTAsync client = nullptr;
    std::string cmd, sn, taskId;
    std::string resetFactoryType, url;
};

extern "C" {

// The server-switch worker: validates the new server, stores it, replies and runs the
// restart script. Owns and frees its record.
void* mqtt_cmd_deal_thread_switch_server_url_method(void* arg);
void release_mqtt_cmd_deal_thread_switch_server_url_param(SwitchServerUrlWorker* param);

}  // extern "C"

namespace mqtt_cmd_deal_control {

// The command that restarts the service from the program's directory `dir`.
std::string restart_command(const std::string& dir);

}  // namespace mqtt_cmd_deal_control
