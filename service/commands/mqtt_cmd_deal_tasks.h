// Handlers of the long tasks (log tag "mqtt_deal"): "apkUpgrade", "otaUpgrade", "queryLog"
// and "getLog". Their C signatures, with the dispatcher's contract, are declared in
// mqtt_cmd_deal.h; the workers they start are in mqtt_cmd_deal_thread.h.
#pragma once

#include "commands/mqtt_cmd_deal.h"

namespace mqtt_cmd_deal_tasks {

// An application name becomes a file name of the installer: not empty, not "." or "..",
// no "/".
bool valid_application_name(const char* name);
// An expected MD5 is empty (no check) or exactly 32 hexadecimal digits: anything else could
// never match, and would only cost four downloads and four minutes before failing.
bool valid_md5_text(const char* md5);

}  // namespace mqtt_cmd_deal_tasks
