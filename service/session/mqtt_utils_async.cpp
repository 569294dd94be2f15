// Publishing with the system's QoS rules, subscriptions, the connect request, and the
// backup files that carry QoS 2 replies across lost connections and restarts.
#include "session/mqtt_utils_async.h"

#include <sys/stat.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "c_handles.hpp"
#include "core/retry_spread.h"
#include "json/json_utils.h"
#include "session/final_ack.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

namespace {

constexpr int kConnectRetrySeconds = 30;
constexpr int kKeepAliveSeconds = 120;
constexpr int kMinRetrySeconds = 3;
constexpr int kMaxRetrySeconds = 60;
// The broker password of every terminal; a deployment sets its own with -DNIMBO_MQTT_PASSWORD=...
#ifdef NIMBO_MQTT_PASSWORD
constexpr const char* kPassword = NIMBO_MQTT_PASSWORD;
#else
constexpr const char* kPassword = "kestr.482";
#endif
// A backup holds one reply envelope (a few KiB); anything far larger is not ours.
constexpr size_t kMaxBackupBytes = 1u << 20;

std::atomic<bool> g_connect_aborted{false};
// QoS 2 messages handed to the library whose completion callback has not run yet, and
// completions since the heap was last trimmed.
std::atomic<int> g_qos2_outstanding{0};
std::atomic<int> g_qos2_since_trim{0};
// Completions that make a burst worth trimming after (one trim costs up to a millisecond).
constexpr int kTrimAfterCompletions = 64;
std::atomic<bool> g_use_tls{false};
std::atomic<bool> g_presence{false};

// Final replies the library holds: handed over (a token), neither confirmed nor failed yet. A
// reply queued just before the connection was lost stays queued in the library and goes out
// after the reconnection by itself; the recovery must not send its backup a second time.
// Bounded by what the library accepts at once; kMaxInFlight guards against a leak all the same.
constexpr size_t kMaxInFlight = 4096;
std::mutex g_in_flight_mutex;
std::map<int, std::string> g_in_flight;  // token -> taskId
// Completions that came before their send was registered: the library's thread may complete
// a message before MQTTAsync_sendMessage has returned its token to the sender.
constexpr size_t kMaxEarly = 64;
std::deque<int> g_done_early;

void in_flight_add(int token, const std::string& task_id) {
    if (token == 0 || task_id.empty()) return;
    std::lock_guard<std::mutex> lock(g_in_flight_mutex);
    auto early = std::find(g_done_early.begin(), g_done_early.end(), token);
    if (early != g_done_early.end()) {
        g_done_early.erase(early);
        return;
    }
    if (g_in_flight.size() < kMaxInFlight) g_in_flight[token] = task_id;
}

void in_flight_done(int token) {
    std::lock_guard<std::mutex> lock(g_in_flight_mutex);
    if (g_in_flight.erase(token) > 0) return;
    g_done_early.push_back(token);
    if (g_done_early.size() > kMaxEarly) g_done_early.pop_front();
}

bool in_flight(const std::string& task_id) {
    std::lock_guard<std::mutex> lock(g_in_flight_mutex);
    for (const auto& entry : g_in_flight)
        if (entry.second == task_id) return true;
    return false;
}

std::string presence_topic() { return std::string(MQTT_PRESENCE_TOPIC_PREFIX) + g_device_serialno; }

// The TLS library's own words on a refused handshake (a certificate that does not verify).
int log_tls_error(const char* text, size_t len, void* /*context*/) {
    LOG_E(TAG_MQTT, "TLS error: %.*s", static_cast<int>(len), text ? text : "");
    return 0;
}

const char* or_empty(const char* text) { return text ? text : ""; }

// A QoS 2 message completed. When it was the last one of a burst (the backed-up replies
// re-sent after a connection, say), the burst's freed heap pages (about 2 MiB after 1,000
// replies) go back to the system instead of staying in the service's private memory.
void qos2_done() {
    int done = ++g_qos2_since_trim;
    int left = --g_qos2_outstanding;
    if (left < 0) {
        g_qos2_outstanding = 0;  // a completion for a message sent before a restart of the count
        left = 0;
    }
#ifdef __GLIBC__
    if (left == 0 && done >= kTrimAfterCompletions) {
        g_qos2_since_trim = 0;
        malloc_trim(0);
    }
#else
    (void)done;
#endif
}

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// The taskId of a reply that qualifies for a backup, or "" when it does not.
std::string backup_task_id(int qos, const char* topic, const char* payload) {
    if (qos < 2 || topic == nullptr || payload == nullptr) return {};
    if (std::strcmp(topic, MQTT_REPLY_TOPIC) != 0) return {};
    char task_id[256] = {0};
    char cmd[256] = {0};
    if (json_utils_jsonstr_get_taskid_and_cmd(payload, task_id, cmd) != 0) return {};
    task_id[sizeof task_id - 1] = '\0';
    return task_id;
}

std::string data_path(const std::string& name) { return std::string(g_nimbo_data_path) + "/" + name; }

// The backup path of a reply, or "" when the payload does not qualify.
std::string backup_path_for(int qos, const char* topic, const char* payload) {
    std::string task_id = backup_task_id(qos, topic, payload);
    return task_id.empty() ? std::string() : data_path(mqtt_utils::backup_name(task_id));
}

// The name earlier versions stored the reply of `task_id` under ("" when they could not).
std::string legacy_backup_name(const std::string& task_id) {
    std::string name = MQTT_BACKUP_PREFIX + task_id;
    if (task_id.empty() || task_id.find('/') != std::string::npos || name.size() > NAME_MAX) return {};
    return name;
}

bool plain_name_char(unsigned char c) { return std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.'; }

// The stored reply: the whole file without its final line feed.
bool read_backup(const std::string& path, std::string* text) {
    if (!nimbo::read_file(path, text, kMaxBackupBytes, false)) {
        LOG_W(TAG_MQTT, "Error opening file for reading[%s]", path.c_str());
        return false;
    }
    if (!text->empty() && text->back() == '\n') text->pop_back();
    return !text->empty();
}

// Final replies whose backup file could not be stored (a full or failing data partition).
// Each is kept in memory, its store and its send retried at every connection and on a
// timer, and forgotten only when the broker confirms its delivery (backup_message_deal 0).
// Bounded: what exceeds the bound is refused with a log line (its file, if a later retry
// could write it, is all that is left of it).
constexpr size_t kMaxUnstoredReplies = 64;
constexpr size_t kMaxUnstoredBytes = 256u * 1024u;
constexpr int kUnstoredRetrySeconds = 60;

struct Unstored {
    std::string payload;
    MQTTAsync client = nullptr;  // the client it was last handed to
    int token = 0;               // of the send the library accepted; 0 while none is in flight
};

std::mutex g_unstored_mutex;
std::map<std::string, Unstored> g_unstored;  // by taskId
size_t g_unstored_bytes = 0;
bool g_unstored_timer = false;  // the retry thread runs

enum class Stored { not_a_backup, stored, failed };

// Stores a qualifying reply unless its file already exists (the first reply of a task id
// is the one kept).
Stored store_backup(int qos, const char* topic, const char* payload) {
    std::string path = backup_path_for(qos, topic, payload);
    if (path.empty()) return Stored::not_a_backup;
    if (file_exists(path)) return Stored::stored;
    if (nimbo::replace_file(path, std::string(payload) + "\n")) return Stored::stored;
    LOG_E(TAG_MQTT, "Error writing to file");
    return Stored::failed;
}

// One second of the retry timer; NIMBO_RETRY_SECOND_MS (1 to 1000) shortens it for tests.
std::chrono::milliseconds retry_second() {
    const char* text = std::getenv("NIMBO_RETRY_SECOND_MS");
    char* end = nullptr;
    long ms = text ? std::strtol(text, &end, 10) : 0;
    if (text == nullptr || end == text || *end != '\0' || ms < 1 || ms > 1000) ms = 1000;
    return std::chrono::milliseconds(ms);
}

void start_unstored_timer_locked();

// Keeps a reply whose backup failed; false when the bound refuses it.
bool keep_unstored(MQTTAsync client, const std::string& task_id, const char* payload) {
    std::lock_guard<std::mutex> lock(g_unstored_mutex);
    auto it = g_unstored.find(task_id);
    if (it != g_unstored.end()) {  // as with the files: the first reply of a task id is kept
        it->second.client = client;
        return true;
    }
    const size_t n = std::strlen(payload);
    if (g_unstored.size() >= kMaxUnstoredReplies || g_unstored_bytes + n > kMaxUnstoredBytes) {
        LOG_E(TAG_MQTT, "reply of task %s neither stored nor kept: %zu replies (%zu bytes) already held in memory",
              task_id.c_str(), g_unstored.size(), g_unstored_bytes);
        return false;
    }
    g_unstored[task_id] = Unstored{payload, client, 0};
    g_unstored_bytes += n;
    LOG_W(TAG_MQTT, "reply of task %s could not be stored, kept in memory until the broker confirms it",
          task_id.c_str());
    start_unstored_timer_locked();
    return true;
}

void forget_unstored(const std::string& task_id) {
    std::lock_guard<std::mutex> lock(g_unstored_mutex);
    auto it = g_unstored.find(task_id);
    if (it == g_unstored.end()) return;
    g_unstored_bytes -= it->second.payload.size();
    g_unstored.erase(it);
    LOG_I(TAG_MQTT, "reply of task %s confirmed, no longer held in memory", task_id.c_str());
}

// A completion failed: the reply may be sent again by the timer.
void unstored_send_failed(int token) {
    if (token == 0) return;
    std::lock_guard<std::mutex> lock(g_unstored_mutex);
    for (auto& entry : g_unstored)
        if (entry.second.token == token) entry.second.token = 0;
}

void log_send(int rc, int qos, int token, const char* topic, const char* payload) {
    if (rc != MQTTASYNC_SUCCESS) {
        if (qos > 0)
            LOG_E(TAG_MQTT, "send message failed, qos: %d, token: %d, topic: %s, payload: %s", qos, token, topic, payload);
        else
            LOG_E(TAG_MQTT, "send message failed, topic: %s, payload: %s", topic, payload);
    } else {
        if (qos > 0)
            LOG_I(TAG_MQTT, "send message ok, qos: %d, token: %d, topic: %s, payload: %s", qos, token, topic, payload);
        else
            LOG_I(TAG_MQTT, "send message ok, topic: %s, payload: %s", topic, payload);
    }
}

// Hands one message to the library: MQTTASYNC_SUCCESS or its refusal.
int publish(MQTTAsync client, const char* topic, const char* payload, int qos, int retained,
            MQTTAsync_responseOptions* opts) {
    MQTTAsync_message message = MQTTAsync_message_initializer;
    message.payload = const_cast<char*>(payload);
    message.payloadlen = static_cast<int>(std::strlen(payload));
    message.qos = qos;
    message.retained = retained;
    // No client yet (a signal before the session exists): the library would crash on it.
    return client ? MQTTAsync_sendMessage(client, topic, &message, opts) : MQTTASYNC_FAILURE;
}

// Sends one message: every publication but the presence goes through here. QoS >= 2 gets
// the completion callbacks and, for replies, a backup file written before the send (a
// refused send still leaves the file, and the reply goes out after the next connection).
int send(MQTTAsync client, const char* topic, const char* payload, int qos, bool qos_form) {
    if (topic == nullptr || payload == nullptr) {
        LOG_E(TAG_MQTT, "send message failed: empty topic or payload");
        return NIMBO_ERR_FAILED;
    }
    if (qos < 0 || qos > 2) {
        LOG_E(TAG_MQTT, "send message failed, invalid qos: %d, topic: %s", qos, topic);
        return NIMBO_ERR_FAILED;
    }
    MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
    opts.context = client;
    std::string unstored_task;
    if (qos_form && qos >= 2) {
        opts.onSuccess = publish_onSuccess;
        opts.onFailure = publish_onFailure;
        if (store_backup(qos, topic, payload) == Stored::failed) {
            unstored_task = backup_task_id(qos, topic, payload);
            if (!keep_unstored(client, unstored_task, payload)) unstored_task.clear();
        }
    }
    int rc = publish(client, topic, payload, qos, 0, &opts);
    if (qos_form && qos >= 2 && rc == MQTTASYNC_SUCCESS) {
        ++g_qos2_outstanding;
        in_flight_add(opts.token, backup_task_id(qos, topic, payload));
    }
    if (!unstored_task.empty() && rc == MQTTASYNC_SUCCESS) {
        std::lock_guard<std::mutex> lock(g_unstored_mutex);
        auto it = g_unstored.find(unstored_task);
        if (it != g_unstored.end()) it->second.token = opts.token ? opts.token : -1;
    }
    log_send(rc, qos, opts.token, topic, payload);
    return rc == MQTTASYNC_SUCCESS ? 0 : -8;
}

// Retries the replies held in memory: each store first (a file, once written, carries the
// reply across a restart and is what the connection's recovery sends), then, when `send`
// is set, the send of each one still without a file. `only_idle` leaves out the ones whose
// last send is still in flight (the timer; a new connection sends them all again).
void retry_unstored(bool send_them, bool only_idle) {
    std::vector<std::pair<MQTTAsync, std::string>> to_send;
    {
        std::lock_guard<std::mutex> lock(g_unstored_mutex);
        for (auto& entry : g_unstored) {
            const std::string& payload = entry.second.payload;
            std::string path = backup_path_for(2, MQTT_REPLY_TOPIC, payload.c_str());
            if (path.empty()) continue;
            if (!file_exists(path)) {
                if (nimbo::replace_file(path, payload + "\n")) {
                    LOG_I(TAG_MQTT, "reply of task %s stored now", entry.first.c_str());
                } else {
                    if (send_them && !(only_idle && entry.second.token != 0))
                        to_send.emplace_back(entry.second.client, payload);
                    continue;
                }
            }
        }
    }
    for (const auto& item : to_send) send(item.first, MQTT_REPLY_TOPIC, item.second.c_str(), 2, true);
}

// The retry timer: runs while replies are held, every kUnstoredRetrySeconds.
void unstored_timer_main() {
    for (;;) {
        for (int i = 0; i < kUnstoredRetrySeconds; ++i) {
            if (!g_run_flag.load()) break;
            std::this_thread::sleep_for(retry_second());
        }
        // Under the client's lock: a stop clears the run flag before it destroys the client,
        // so a retry never sends with a client that is gone.
        std::lock_guard<std::mutex> client_lock(mqtt_utils::client_mutex());
        {
            std::lock_guard<std::mutex> lock(g_unstored_mutex);
            if (g_unstored.empty() || !g_run_flag.load()) {
                g_unstored_timer = false;
                return;
            }
        }
        retry_unstored(g_flag_mqtt_connect.load() != 0, true);
    }
}

void start_unstored_timer_locked() {
    if (g_unstored_timer) return;
    try {
        std::thread(unstored_timer_main).detach();
        g_unstored_timer = true;
    } catch (...) {
        LOG_E(TAG_MQTT, "no retry timer for the replies held in memory (they are retried at each connection)");
    }
}

}  // namespace

std::mutex& mqtt_utils::client_mutex() {
    static std::mutex mutex;
    return mutex;
}

void mqtt_utils::abort_connect() { g_connect_aborted = true; }

void mqtt_utils::use_tls(bool on) { g_use_tls = on; }

void mqtt_utils::set_presence(bool on) { g_presence = on; }

void mqtt_utils::announce_presence(MQTTAsync client, bool online) {
    if (!g_presence || client == nullptr) return;
    const std::string topic = presence_topic();
    const char* text = online ? "online" : "offline";
    MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
    int rc = publish(client, topic.c_str(), text, 1, 1, &opts);
    if (rc != MQTTASYNC_SUCCESS) LOG_W(TAG_MQTT, "presence \"%s\" not published, return code %d", text, rc);
    else LOG_D(TAG_MQTT, "presence \"%s\" published on %s", text, topic.c_str());
}

std::string mqtt_utils::backup_name(const std::string& task_id) {
    std::string plain = MQTT_BACKUP_PREFIX + task_id;
    auto plain_char = [](char c) { return plain_name_char(static_cast<unsigned char>(c)); };
    if (!task_id.empty() && plain.size() <= NAME_MAX && std::all_of(task_id.begin(), task_id.end(), plain_char))
        return plain;
    // '=' never occurs in a plain name: the two forms cannot meet.
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(task_id.data(), task_id.size(), digest, &len, EVP_sha256(), nullptr) != 1) len = 0;
    static const char kHex[] = "0123456789abcdef";
    std::string name = MQTT_BACKUP_PREFIX "=";
    for (unsigned int i = 0; i < len; ++i) {
        name += kHex[digest[i] >> 4];
        name += kHex[digest[i] & 0xf];
    }
    return name;
}

extern "C" int mqtt_utils_async_publish_replay_message(MQTTAsync client, const char* payload) {
    return send(client, MQTT_REPLY_TOPIC, payload, 0, false);
}

extern "C" int mqtt_utils_async_publish_replay_message_with_qos(MQTTAsync client, const char* payload, int qos) {
    return send(client, MQTT_REPLY_TOPIC, payload, qos, true);
}

extern "C" int mqtt_utils_async_publish_report_message(MQTTAsync client, const char* payload) {
    return send(client, MQTT_REPORT_TOPIC, payload, 0, false);
}

extern "C" int mqtt_utils_async_publish_report_message_with_qos(MQTTAsync client, const char* payload, int qos) {
    return send(client, MQTT_REPORT_TOPIC, payload, qos, true);
}

extern "C" int mqtt_utils_async_publish_message(MQTTAsync client, const char* topic, const char* payload, int qos) {
    return send(client, topic, payload, qos, true);
}

extern "C" int mqtt_utils_async_subscribe_topic(MQTTAsync client, const char* topic, int qos) {
    MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
    opts.context = client;
    int rc = client ? MQTTAsync_subscribe(client, or_empty(topic), qos, &opts) : MQTTASYNC_FAILURE;
    if (rc != MQTTASYNC_SUCCESS) {
        LOG_W(TAG_MQTT, "Failed to subscribe to topic %s, return code %d", or_empty(topic), rc);
        return NIMBO_ERR_FAILED;
    }
    LOG_D(TAG_MQTT, "Subscribed to topic %s using QoS%d", topic, qos);
    return 0;
}

extern "C" int mqtt_utils_async_unsubscribe_topic(MQTTAsync client, const char* topic) {
    MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
    opts.context = client;
    int rc = client ? MQTTAsync_unsubscribe(client, or_empty(topic), &opts) : MQTTASYNC_FAILURE;
    if (rc != MQTTASYNC_SUCCESS) {
        LOG_W(TAG_MQTT, "Failed to unsubscribe from topic %s, return code %d", or_empty(topic), rc);
        return NIMBO_ERR_FAILED;
    }
    LOG_D(TAG_MQTT, "Unsubscribed from topic %s", topic);
    return 0;
}

extern "C" int mqtt_utils_async_connect(MQTTAsync client, const char* user_name, MQTTAsync_onFailure* on_failure) {
    // The library keeps pointers to these until the connection ends: static storage.
    static MQTTAsync_SSLOptions ssl_opts = MQTTAsync_SSLOptions_initializer;
    static MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
    static std::string will_topic;
    static std::string user;
    static std::string trust_store;
    for (;;) {
        int rc;
        {
            std::lock_guard<std::mutex> lock(mqtt_utils::client_mutex());
            if (g_connect_aborted || !g_run_flag) return NIMBO_ERR_FAILED;
            user = or_empty(user_name);
            MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer;
            opts.keepAliveInterval = kKeepAliveSeconds;
            opts.cleansession = 1;
            opts.username = user.c_str();
            opts.password = kPassword;
            opts.automaticReconnect = 1;
            // The library doubles the interval from the minimum up to the maximum: a spread
            // minimum puts terminals cut off together on different reconnection schedules.
            opts.minRetryInterval = nimbo::spread_delay(kMinRetrySeconds);
            opts.maxRetryInterval = nimbo::spread_delay(kMaxRetrySeconds);
            opts.context = client;
            opts.onSuccess = nullptr;
            opts.onFailure = on_failure;
            trust_store = nimbo_globals_ca_file();
            if (g_use_tls && !trust_store.empty()) {
                LOG_I(TAG_MQTT, "TLS: the broker is verified against the CA file %s", trust_store.c_str());
                // Verify the broker: its chain against the configured CA, its name against the URL.
                ssl_opts.trustStore = trust_store.c_str();
                ssl_opts.enableServerCertAuth = 1;
                ssl_opts.verify = 1;
                ssl_opts.ssl_error_cb = log_tls_error;
                ssl_opts.ssl_error_context = nullptr;
            }
            opts.ssl = g_use_tls ? &ssl_opts : nullptr;
            if (g_presence) {
                // The broker publishes this when it loses the session: the console sees "offline".
                will_topic = presence_topic();
                will.topicName = will_topic.c_str();
                will.message = "offline";
                will.qos = 1;
                will.retained = 1;
                opts.will = &will;
            }
            LOG_D(TAG_MQTT, "attempting to connect...");
            rc = MQTTAsync_connect(client, &opts);
        }
        if (rc == MQTTASYNC_SUCCESS) {
            LOG_I(TAG_MQTT, "connected successfully");
            return 0;
        }
        const int delay = nimbo::spread_delay(kConnectRetrySeconds);
        LOG_W(TAG_MQTT, "connect failed, retrying in %d seconds...", delay);
        for (int i = 0; i < delay; ++i) {
            if (g_connect_aborted || !g_run_flag) return NIMBO_ERR_FAILED;
            sleep(1);
        }
    }
}

extern "C" void publish_onSuccess(void* /*context*/, MQTTAsync_successData* response) {
    LOG_I(TAG_MQTT, "Message sent successfully! token: %d", response ? response->token : 0);
    if (response != nullptr) {
        in_flight_done(response->token);
        const MQTTAsync_message& message = response->alt.pub.message;
        if (message.qos >= 2 && message.payload != nullptr && response->alt.pub.destinationName != nullptr) {
            std::string payload(static_cast<const char*>(message.payload), static_cast<size_t>(message.payloadlen));
            // final_ack=1: the backup stays until the server acknowledges the reply.
            if (!final_ack::hold_backup(message.qos, response->alt.pub.destinationName, payload.c_str()))
                backup_message_deal(0, message.qos, response->alt.pub.destinationName, payload.c_str());
        }
    }
    qos2_done();
}

extern "C" void publish_onFailure(void* /*context*/, MQTTAsync_failureData* response) {
    // The backup file stays: the next connection sends it again.
    LOG_W(TAG_MQTT, "Message sending failed with code %d, token: %d", response ? response->code : 0,
          response ? response->token : 0);
    if (response != nullptr) {
        in_flight_done(response->token);
        unstored_send_failed(response->token);
    }
    qos2_done();
}

extern "C" void backup_message_deal(int operation, int qos, const char* topic, const char* payload) {
    if (operation == 0) {
        std::string task_id = backup_task_id(qos, topic, payload);
        if (task_id.empty()) return;
        // Confirmed: nothing of it is kept any more. Forgotten first, so that a retry of its
        // store cannot write the file again after it is deleted.
        forget_unstored(task_id);
        nimbo_utils_delete_file(data_path(mqtt_utils::backup_name(task_id)).c_str());
    } else if (operation == 1) {
        store_backup(qos, topic, payload);
    }
}

extern "C" void mqtt_utils_backup_message_recovery(MQTTAsync client) {
    {
        // The replies held in memory go to the new connection's client.
        std::lock_guard<std::mutex> lock(g_unstored_mutex);
        for (auto& entry : g_unstored) {
            entry.second.client = client;
            entry.second.token = 0;
        }
    }
    retry_unstored(false, false);  // stores first: what is stored now is sent with the files
    int count = 0;
    char** found = nimbo_utils_find_files_with_prefix(g_nimbo_data_path, MQTT_BACKUP_PREFIX, 1, &count);
    CTextArray paths(found, count > 0 ? static_cast<size_t>(count) : 0);
    LOG_I(TAG_MQTT, "found %d backup message", count);

    for (const char* entry : paths) {
        if (entry == nullptr) continue;
        std::string path = entry;
        LOG_D(TAG_MQTT, "recovery message from file: %s", path.c_str());
        std::string text;
        if (!read_backup(path, &text)) continue;
        // Only a reply stored under its own task id is ours to send (a leftover temporary
        // file or a copy elsewhere in the tree is not).
        const std::string task_id = backup_task_id(2, MQTT_REPLY_TOPIC, text.c_str());
        const std::string current = task_id.empty() ? std::string() : data_path(mqtt_utils::backup_name(task_id));
        const std::string legacy = legacy_backup_name(task_id);
        if (current.empty() || (path != current && (legacy.empty() || path != data_path(legacy)))) {
            LOG_W(TAG_MQTT, "%s does not hold a backed-up reply, skipped", path.c_str());
            continue;
        }
        if (in_flight(task_id)) {
            // Sent before the connection was lost and still queued in the library, which
            // sends it on this connection: a second copy would reach the server twice.
            LOG_I(TAG_MQTT, "reply of task %s still queued in the MQTT library, not sent again", task_id.c_str());
            continue;
        }
        if (path != current) {
            // Stored under the name of an earlier version: moved to the current one, which
            // the delivery's completion removes.
            backup_message_deal(1, 2, MQTT_REPLY_TOPIC, text.c_str());
            if (file_exists(current)) {
                LOG_I(TAG_MQTT, "backup %s moved to %s", path.c_str(), current.c_str());
                nimbo_utils_delete_file(path.c_str());
            }
        }
        send(client, MQTT_REPLY_TOPIC, text.c_str(), 2, true);
    }
    retry_unstored(true, false);  // then the ones still without a file
}

void mqtt_utils::forget_in_flight() {
    std::lock_guard<std::mutex> lock(g_in_flight_mutex);
    g_in_flight.clear();
    g_done_early.clear();
}

size_t mqtt_utils::unstored_replies() {
    std::lock_guard<std::mutex> lock(g_unstored_mutex);
    return g_unstored.size();
}
