// The server's end-to-end acknowledgement of final replies (nimboservice.ini final_ack=1, off
// by default; log tag "mqtt_utils").
//
// Without it a final reply's backup file is removed when the broker completes the QoS 2
// exchange: a broker that dies before it has passed the reply on (or saved it) loses it. With
// it the backup stays until the server names the reply's taskId in the command finalAck; until
// then the reply is sent again at every connection (the backup recovery) and on a timer,
// after final_ack_resend seconds (default 60) and then at doubling intervals up to ten
// minutes. The server takes a final reply once per taskId and acknowledges every copy.
// Off, finalAck is answered like an unknown command and nothing else changes.
#pragma once

#include <MQTTAsync.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/nimbo_config.h"
#include "json/json_utils.h"

namespace final_ack {

constexpr int kDefaultResendSeconds = 60;
constexpr int kMinResendSeconds = 5;
constexpr int kMaxResendSeconds = 600;
// Final replies waiting on the timer at most (one per task; a terminal has one long task at a
// time, so this is never reached in service). Beyond it a reply is re-sent at connections only.
constexpr size_t kMaxWaiting = 1024;

// Which final replies the broker has taken and the server has not acknowledged, and when each
// is sent again. Times are seconds on a monotonic clock, given by the caller. Thread-safe.
class Book {
public:
    explicit Book(int resend_seconds = kDefaultResendSeconds);
    // The broker completed a final reply of task_id (its first send or a re-send). A task
    // already waiting keeps its schedule. False when the book is full.
    bool delivered(const std::string& task_id, long now);
    // The server acknowledged task_id: true when it was waiting.
    bool acknowledged(const std::string& task_id);
    // The tasks whose re-send is due at `now`, each scheduled again at twice its last interval
    // (at most kMaxResendSeconds).
    std::vector<std::string> due(long now);
    size_t waiting() const;
    // When task_id is sent next (-1 when it does not wait).
    long next(const std::string& task_id) const;
    // The first interval of the tasks delivered from now on.
    void set_resend(int seconds);

private:
    struct Entry {
        long next;
        int interval;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Entry> entries_;
    int base_;
};

// From nimboservice.ini: final_ack ("1" on, anything else off) and final_ack_resend (seconds,
// kMinResendSeconds to kMaxResendSeconds; another value is refused with a warning).
void reset();  // off, default interval: before the ini is read
void configure(bool on);
// reset, then the ini's settings (the configuration step's FinalAckSettings).
void apply(const nimbo::FinalAckSettings& settings);
bool parse_resend(const char* text);
bool enabled();
int resend_seconds();

// publish_onSuccess asks before it removes a backup: true when the reply is a final reply
// (QoS 2, the reply topic, a taskId) whose backup now waits for the server's acknowledgement.
bool hold_backup(int qos, const char* topic, const char* payload);

// Once a second (the main thread): re-sends the final replies that are due, when connected.
void tick(MQTTAsync client);

}  // namespace final_ack

extern "C" {
// finalAck: the request's taskId names the final reply the server has taken; its backup is
// removed. 0 (answered "Success"), -2 without a taskId, -7 when final_ack is off.
int mqtt_cmd_deal_final_ack(MQTTAsync client, const RequestCmd* request, char* out, int* out_len);
}
