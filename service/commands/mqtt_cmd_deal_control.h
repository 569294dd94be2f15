// Handlers of the control commands: "devLock", "geofence", "reboot", "onOff",
// "setDevParam", "antPayCode"/"antPayStatus" and "switchServerUrl" with its worker
// (log tags "mqtt_deal" and "mqtt_adeal"). The handlers themselves are declared, with the
// dispatcher's contract, in mqtt_cmd_deal.h.
#pragma once

#include <MQTTAsync.h>

#include <string>

#include "commands/mqtt_cmd_deal.h"
#include "tasks/mqtt_cmd_deal_thread.h"

// The server-switch worker's record: private copies of what it needs. The worker validates
// the new server, stores it, replies and runs the restart script.
struct SwitchServerUrlWorker : tasks::Record {
    std::string resetFactoryType, url;
};

namespace mqtt_cmd_deal_control {

// The command that restarts the service from the program's directory `dir`.
std::string restart_command(const std::string& dir);

}  // namespace mqtt_cmd_deal_control
