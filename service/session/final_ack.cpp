// The server's acknowledgement of final replies: the waiting book, the re-send timer and the
// finalAck command.
#include "session/final_ack.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/kx_log.h"
#include "log_tags.h"
#include "session/mqtt_logic.h"
#include "session/mqtt_utils_async.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"
#include "result_codes.h"

namespace {

std::atomic<bool> g_enabled{false};
std::atomic<int> g_resend_seconds{final_ack::kDefaultResendSeconds};

final_ack::Book& book() {
    static final_ack::Book instance(g_resend_seconds.load());
    return instance;
}

long monotonic_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec);
}

// The taskId of a final reply, or "" when the message is not one.
std::string final_task_id(int qos, const char* topic, const char* payload) {
    if (qos < 2 || topic == nullptr || payload == nullptr || std::strcmp(topic, MQTT_REPLY_TOPIC) != 0) return {};
    char task_id[256] = {0};
    char cmd[256] = {0};
    if (json_utils_jsonstr_get_taskid_and_cmd(payload, task_id, cmd) != 0) return {};
    task_id[sizeof task_id - 1] = '\0';
    return task_id;
}

std::string backup_path(const std::string& task_id) {
    return std::string(g_nimbo_data_path) + "/" + mqtt_utils::backup_name(task_id);
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

final_ack::Book::Book(int resend_seconds) : base_(resend_seconds) {}

bool final_ack::Book::delivered(const std::string& task_id, long now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.count(task_id) != 0) return true;
    if (entries_.size() >= kMaxWaiting) return false;
    entries_[task_id] = Entry{now + base_, base_};
    return true;
}

bool final_ack::Book::acknowledged(const std::string& task_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.erase(task_id) != 0;
}

std::vector<std::string> final_ack::Book::due(long now) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (auto& [task_id, entry] : entries_) {
        if (entry.next > now) continue;
        out.push_back(task_id);
        entry.interval = std::min(entry.interval * 2, kMaxResendSeconds);
        entry.next = now + entry.interval;
    }
    return out;
}

size_t final_ack::Book::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

long final_ack::Book::next(const std::string& task_id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(task_id);
    return it == entries_.end() ? -1 : it->second.next;
}

void final_ack::Book::set_resend(int seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    base_ = seconds;
}

void final_ack::reset() {
    g_enabled = false;
    g_resend_seconds = kDefaultResendSeconds;
    book().set_resend(kDefaultResendSeconds);
}

void final_ack::configure(bool on) { g_enabled = on; }

void final_ack::apply(const nimbo::FinalAckSettings& settings) {
    reset();
    configure(settings.on);
    if (!settings.resend.empty()) parse_resend(settings.resend.c_str());
}

bool final_ack::parse_resend(const char* text) {
    char* end = nullptr;
    errno = 0;
    long v = text ? std::strtol(text, &end, 10) : 0;
    if (text == nullptr || errno != 0 || end == text || *end != '\0' || v < kMinResendSeconds ||
        v > kMaxResendSeconds) {
        LOG_W(TAG_MQTT, "final_ack_resend=%s is not %d to %d seconds, %d kept", text ? text : "", kMinResendSeconds,
              kMaxResendSeconds, g_resend_seconds.load());
        return false;
    }
    g_resend_seconds = static_cast<int>(v);
    book().set_resend(static_cast<int>(v));
    return true;
}

bool final_ack::enabled() { return g_enabled; }

int final_ack::resend_seconds() { return g_resend_seconds; }

bool final_ack::hold_backup(int qos, const char* topic, const char* payload) {
    if (!g_enabled) return false;
    const std::string task_id = final_task_id(qos, topic, payload);
    if (task_id.empty()) return false;
    // Acknowledged before the broker's completion reached us: nothing left to hold.
    if (!exists(backup_path(task_id))) return true;
    if (book().delivered(task_id, monotonic_seconds()))
        LOG_D(TAG_MQTT, "final reply of task %s kept until the server acknowledges it", task_id.c_str());
    else
        LOG_W(TAG_MQTT, "final reply of task %s kept; %zu replies wait already, re-sent at connections only",
              task_id.c_str(), kMaxWaiting);
    return true;
}

void final_ack::tick(MQTTAsync client) {
    if (!g_enabled || client == nullptr || !g_flag_mqtt_connect) return;
    for (const std::string& task_id : book().due(monotonic_seconds())) {
        const std::string path = backup_path(task_id);
        std::string text;
        if (!nimbo::read_file(path, &text, 1u << 20, false)) {
            book().acknowledged(task_id);  // removed meanwhile: nothing to re-send
            continue;
        }
        if (!text.empty() && text.back() == '\n') text.pop_back();
        LOG_I(TAG_MQTT, "final reply of task %s not acknowledged yet, sent again", task_id.c_str());
        mqtt_utils_async_publish_replay_message_with_qos(client, text.c_str(), 2);
    }
}

extern "C" int mqtt_cmd_deal_final_ack(MQTTAsync /*client*/, const RequestCmd* request, char* out, int* out_len) {
    if (!g_enabled) return NIMBO_ERR_NOT_SUPPORTED;
    if (out == nullptr || out_len == nullptr || request == nullptr || request->taskId[0] == '\0')
        return NIMBO_ERR_INVALID;
    const std::string task_id = request->taskId;
    const std::string path = backup_path(task_id);
    const bool waited = book().acknowledged(task_id);
    if (exists(path)) nimbo_utils_delete_file(path.c_str());
    LOG_I(TAG_MQTT, "final reply of task %s acknowledged by the server%s", task_id.c_str(),
          waited ? "" : " (not waiting)");
    return NIMBO_OK;
}
