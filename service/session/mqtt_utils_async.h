// Publishing, subscribing, connecting and the offline backup of final replies
// (log tag "mqtt_utils").
#pragma once

#include <MQTTAsync.h>

#include <mutex>
#include <string>

#define MQTT_REPLY_TOPIC "/e/default/ma/d/plat"
#define MQTT_REPORT_TOPIC "/e/default/rp/d/plat"
#define MQTT_CMD_TOPIC_PREFIX "/e/default/ma/d/"
#define MQTT_BACKUP_PREFIX "message_"

extern "C" {

// Each returns 0 when the MQTT library accepted the message, -8 when it refused it.
// QoS 2 replies carrying a taskId are stored as backup files before they are sent.
int mqtt_utils_async_publish_replay_message(MQTTAsync client, const char* payload);
int mqtt_utils_async_publish_replay_message_with_qos(MQTTAsync client, const char* payload, int qos);
int mqtt_utils_async_publish_report_message(MQTTAsync client, const char* payload);
int mqtt_utils_async_publish_report_message_with_qos(MQTTAsync client, const char* payload, int qos);
int mqtt_utils_async_publish_message(MQTTAsync client, const char* topic, const char* payload, int qos);

// 0 or -8.
int mqtt_utils_async_subscribe_topic(MQTTAsync client, const char* topic, int qos);
int mqtt_utils_async_unsubscribe_topic(MQTTAsync client, const char* topic);

// Blocks until the library accepts a connect request (retrying every 30 seconds), or until
// the service stops (g_run_flag cleared or mqtt_utils::abort_connect called): 0 when
// accepted, -8 when given up.
int mqtt_utils_async_connect(MQTTAsync client, const char* user_name, MQTTAsync_onFailure* on_failure);

// Completion callbacks of the QoS >= 2 publications.
void publish_onSuccess(void* context, MQTTAsync_successData* response);
void publish_onFailure(void* context, MQTTAsync_failureData* response);

// Operation 1 stores a qualifying reply in the data directory under the name of its taskId
// (mqtt_utils::backup_name; an existing file is kept), operation 0 deletes it. Qualifying:
// qos >= 2, the reply topic, a non-empty taskId.
void backup_message_deal(int operation, int qos, const char* topic, const char* payload);

// Re-sends every backup file with QoS 2 (called on every connection). A backup under the
// name an earlier version gave it ("message_" + any taskId without "/") is moved to its
// current name first. Replies whose backup could not be stored (a full partition) are held
// in memory: each connection tries their store again and sends the ones still unstored.
void mqtt_utils_backup_message_recovery(MQTTAsync client);

}  // extern "C"

#define MQTT_PRESENCE_TOPIC_PREFIX "/e/default/st/d/"

namespace mqtt_utils {

// Held while a connect request is made and while the client is destroyed, so that a stop
// never pulls the client from under a connect attempt.
std::mutex& client_mutex();
// Makes mqtt_utils_async_connect give up (the service is stopping). Call before taking
// client_mutex() to destroy the client.
void abort_connect();
// Connect requests carry the library's TLS options (for "ssl://" broker addresses). With a
// CA file (nimbo_globals_set_ca_file) the broker's certificate must chain to it, with its
// host name checked; without one the library's defaults hold.
void use_tls(bool on);
// Presence (presence=1 in the ini): the session gets a retained last will "offline" on
// MQTT_PRESENCE_TOPIC_PREFIX + serial number, and announce_presence() publishes a retained
// "online" (after each connection) or "offline" (before an orderly stop). Off: nothing.
void set_presence(bool on);
void announce_presence(MQTTAsync client, bool online);

// The backup file name of the reply of `task_id` (not empty): "message_" followed by the
// taskId when it is made of letters, digits, '-', '_' and '.' and the name fits a file
// name; otherwise "message_=" followed by the SHA-256 of the taskId in hexadecimal (the
// taskId itself is in the stored reply). Every taskId can be stored.
std::string backup_name(const std::string& task_id);

// Final replies held in memory because their backup could not be stored (at most 64 and
// 256 KiB; a reply beyond that is refused with a log line). Each stays until the broker
// confirms its delivery; its store and send are retried at every connection and every
// 60 seconds (NIMBO_RETRY_SECOND_MS shortens the second) while the session is connected.
size_t unstored_replies();
// The session's client is gone (destroyed at a stop): what it held in flight never completes.
void forget_in_flight();

}  // namespace mqtt_utils
