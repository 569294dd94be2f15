// The MQTT session: start, stop, the library's callbacks and the command dispatcher
// (log tag "mqtt_logic").
#pragma once

#include <MQTTAsync.h>

#include <atomic>
#include <string>

#include "json/json_utils.h"
#include "tasks/ledger.h"

// The reply buffer every handler writes into.
#define MQTT_DEAL_REPLY_SIZE 4096

// The one client of the process (null before the start and after the stop).
extern std::atomic<MQTTAsync> g_mqtt_client;
extern char client_id[261];    // "MT_" + serial number
extern char g_sub_topic[274];  // the device's command topic
extern std::atomic<int> g_delivered_token;

// Creates the one client of the process, connects (retrying until the library accepts
// the request) and starts the device-lock logic. Returns the device-lock start result.
int mqtt_logic_start(const char* broker_url);

// Disconnects (10 s time-out) and destroys the client. Safe when never started.
void mqtt_logic_stop(void);

extern "C" {

// Parses, admits, routes and answers one command request. 0 after a dispatch or a handled
// refusal, the publish result when a reply was sent, -8 for a text that is not a request.
int mf_mqtt_cmd_parse(MQTTAsync client, const char* text);

void mf_mqtt_conn(void* context, char* cause);
void mf_mqtt_conn_lost(void* context, char* cause);
int mf_mqtt_msgarrvd(void* context, char* topic_name, int topic_len, MQTTAsync_message* message);
void mf_mqtt_delivered(void* context, MQTTAsync_token token);
void mf_mqtt_conn_failure(void* context, MQTTAsync_failureData* response);

}  // extern "C"

namespace mqtt_logic {

// ---- the command table ----------------------------------------------------------------

// A command handler: (client, request, reply buffer of 4096 bytes zeroed by the
// dispatcher, reply length out zeroed) -> 0 done, -10000 no reply, -10002 reply with QoS 2,
// any other value a failure answered with that code's text.
using Handler = int (*)(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);

// What the dispatcher does before calling a row's handler.
enum class Gate {
    none,
    task,          // a long task: the task ledger admits it
    organisation,  // once per connection
};

struct Command {
    const char* name;
    Gate gate;
    Handler handler;
};

struct Table {
    const Command* rows;
    int count;
};

// The table the session's callbacks dispatch with (the commands' table, registered at start).
void use_command_table(const Table& table);

// Installs the session's publishing for the task ledger and the device modules.
void install_publishers();

// What the dispatcher decided to answer.
struct Outcome {
    enum class Kind {
        none,            // nothing is published; `code` is the dispatcher's result
        result,          // {"status","failDes"} with QoS 0
        param,           // the handler's reply text with `qos`
        poster_refusal,  // the poster's refusal reply
    };
    Kind kind = Kind::none;
    int code = 0;
    int qos = 0;
    std::string cmd, sn, task_id;
    std::string status, fail_des;
    std::string param;
};

// The dispatcher's decision for one request with the given command table; runs the
// handler. Publishes nothing itself.
Outcome dispatch(MQTTAsync client, const char* text, const Table& table);

// Publishes the outcome's reply; its publish result, or the outcome's code when none.
int answer(MQTTAsync client, const Outcome& outcome);

// The session's publishing as the task ledger uses it (installed by mqtt_logic_start):
// the backup store of final replies, the reply topic, the device's own command topic.
tasks::Publisher session_publisher();

// The incoming size limit: a request is a few KiB at most (the request record bounds its
// fields); larger payloads are refused unparsed.
constexpr size_t kMaxRequestBytes = 64u << 10;
// Bytes of an oversized payload read for its "cmd", "taskId" and "sn".
constexpr size_t kHeadBytes = 4096;

// The decision for one received payload of `len` bytes, terminated or not. The text ends
// at its first NUL byte (C publishers send the terminator); a NUL inside the JSON leaves
// text that does not parse. A payload over kMaxRequestBytes is refused without being
// parsed, and answered "Invalid parameter" when its head names "cmd" and "taskId".
Outcome receive(MQTTAsync client, const char* payload, size_t len, const Table& table);

// "cmd", "taskId" and "sn" (the device serial number when absent or empty) as string
// members at the top of the JSON object in the first kHeadBytes of `payload`, without
// parsing the rest. False unless "cmd" and "taskId" were read whole.
bool read_head(const char* payload, size_t len, RequestCmd* out);

}  // namespace mqtt_logic
