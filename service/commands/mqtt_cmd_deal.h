// Command handlers and the command table (log tag "mqtt_deal").
//
// Handler contract: (client, request, reply buffer of 4096 bytes zeroed by the dispatcher,
// reply length out zeroed) -> 0 done (the buffer, when not empty, is the reply's "param"),
// -10000 no reply from the dispatcher, -10002 reply the buffer with QoS 2, any other value a
// failure answered with that code's text.
//
// Every handler below is defined once, by the module that builds its command; there are no
// defaults (a missing handler is a link error, and a check of the build keeps weak
// definitions out).
#pragma once

#include <MQTTAsync.h>

#include <string>
#include <vector>

#include "json/json_utils.h"
#include "session/mqtt_logic.h"

extern "C" {

int mqtt_cmd_deal_query_sys_status(char* out, int* out_len);
int mqtt_cmd_deal_capture_log_query(const char* param, char* out, int* out_len);
int mqtt_cmd_deal_capture_log_get(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);
int mqtt_cmd_deal_apkupgrade(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);
int mqtt_cmd_deal_otaupgrade(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);
int mqtt_cmd_deal_custom_resource_poster(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);
int mqtt_cmd_deal_devorginfo(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);
int mqtt_cmd_deal_reboot(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);
int mqtt_cmd_deal_switch_server_url(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);
int mqtt_cmd_deal_lbs_geofence(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);
int mqtt_cmd_deal_devlock(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);
int mqtt_cmd_deal_set_dev_param(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);
int mqtt_cmd_deal_on_off_param(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);
int mqtt_cmd_ant_pay_deal(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);

}  // extern "C"

namespace mqtt_cmd_deal {

using Handler = mqtt_logic::Handler;
using Gate = mqtt_logic::Gate;
using Command = mqtt_logic::Command;
using Table = mqtt_logic::Table;

// The service's command table, in lookup order (first match wins).
Table command_table();

// The handler's argument check: false, after the error log "out_data couldn't be empty",
// when the reply buffer or the length out is null.
bool args_ok(char* out, int* out_len);
// The same, and false as well without a client, a request or a param text.
bool args_ok(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);

// Takes a heap reply text (freed here) into the reply buffer with its terminator, and its
// length into `out_len`. False when the text is null or does not fit MQTT_DEAL_REPLY_SIZE.
bool put_reply(char* text, char* out, int* out_len);
// The one rule for a param that does not parse, whatever the command: a value that does not
// fit its field (-6 from the parser) is an invalid parameter (-2, "Invalid parameter"); a text
// that is not JSON, or of the wrong shape, fails the operation (-8, "Operation failed").
// Logs "parse <what> param failed".
int parse_failure(int rc, const char* what);
// The reply {"status","failDes"} into the buffer: `rc`, or -8 when it cannot be written.
int reply_status(char* out, int* out_len, const char* status, const char* fail_des, int rc);

// The organisation topics for the identifiers, in subscription order. Empty when the
// organisation is empty or an identifier would name a wildcard or another topic level.
std::vector<std::string> organisation_topics(const DevOrgInfoParam& param);

}  // namespace mqtt_cmd_deal
