// The MQTT session and the command dispatcher.
//
// Callbacks run on the MQTT library's threads while it holds the client's lock: they only
// make non-waiting library calls (subscribe, send), never create or destroy the client and
// never wait for it. The dispatcher and the short handlers run there one request at a time;
// long handlers start detached workers that own their records.
#include "session/mqtt_logic.h"

#include <string.h>
#include <sys/stat.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "device/device_publisher.h"
#include "device/nimbo_utils_alert.h"
#include "device/nimbo_utils_devlock.h"
#include "device/nimbo_utils_geofence.h"
#include "device/nimbo_utils_paylock.h"
#include "device/nimbo_utils_report.h"
#include "hwlink.h"
#include "json/json_utils.h"
#include "log_tags.h"
#include "pay_signals.h"
#include "result_codes.h"
#include "session/mqtt_utils_async.h"
#include "session/nimbo_utils_reply.h"
#include "tasks/ledger.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"
#include "util/nimbo_utils_faildes.h"

std::atomic<MQTTAsync> g_mqtt_client{nullptr};
char client_id[261];
char g_sub_topic[274];
std::atomic<int> g_delivered_token{0};

namespace {

constexpr int kDisconnectTimeoutMs = 10000;
using mqtt_logic::kMaxRequestBytes;

const char* const kLockedRule[] = {"customResourcePoster", "setDevParam"};
const char* const kPayingRule[] = {"customResourcePoster", "reboot", "devLock", "setDevParam"};
const char* const kDownloadingRule[] = {"customResourcePoster", "setDevParam"};

constexpr const char* kLockedText = "Device is locked, please unlock it and try again.";
constexpr const char* kBusyText = "Device is busy, please try again later.";

std::mutex g_dispatch_mutex;

template <size_t N>
bool listed(const char* cmd, const char* const (&names)[N]) {
    return nimbo_utils_check_string_in_array(cmd, names, static_cast<int>(N)) == 1;
}

std::string fail_text(int code) {
    char buffer[256] = {0};
    nimbo_utils_errcode_converted_into_faildes(code, buffer);
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

mqtt_logic::Outcome addressed(const RequestCmd& request) {
    mqtt_logic::Outcome o;
    o.cmd = request.cmd;
    o.sn = request.sn;
    o.task_id = request.taskId;
    return o;
}

mqtt_logic::Outcome failure(const RequestCmd& request, const std::string& fail_des) {
    mqtt_logic::Outcome o = addressed(request);
    o.kind = mqtt_logic::Outcome::Kind::result;
    o.status = "3";
    o.fail_des = fail_des;
    return o;
}

// The admission rules, in order; a refusal is answered with the rule's text.
bool refused(const RequestCmd& request, mqtt_logic::Outcome* out) {
    const char* cmd = request.cmd;
    const char* text = nullptr;
    if (listed(cmd, kLockedRule) && nimbo_utils_get_devlock_state() != 0) {
        LOG_E(TAG_LOGIC, "cmd[%s] was refused, because device is locked", cmd);
        text = kLockedText;
    } else if (listed(cmd, kPayingRule) && nimbo_utils_check_paylock_state() != 0) {
        LOG_E(TAG_LOGIC, "cmd[%s] was refused, because device is paying", cmd);
        text = kBusyText;
    } else if (listed(cmd, kDownloadingRule) && g_flag_download_running.load() != 0) {
        LOG_E(TAG_LOGIC, "cmd[%s] was refused, because device is downloading", cmd);
        text = kBusyText;
    }
    if (text == nullptr) return false;
    *out = failure(request, text);
    if (strcmp(cmd, "customResourcePoster") == 0) {
        out->kind = mqtt_logic::Outcome::Kind::poster_refusal;
        out->param = request.param;
    }
    return true;
}

// The handler's result as the reply the dispatcher owes.
mqtt_logic::Outcome map_result(const RequestCmd& request, int rc, const char* reply) {
    mqtt_logic::Outcome o = addressed(request);
    bool has_reply = reply[0] != '\0';
    if (rc == 0) {
        if (has_reply) {
            o.kind = mqtt_logic::Outcome::Kind::param;
            o.param = reply;
        } else {
            o.kind = mqtt_logic::Outcome::Kind::result;
            o.status = "2";
            o.fail_des = "Success";
        }
    } else if (rc == NIMBO_HANDLED) {
        o.kind = mqtt_logic::Outcome::Kind::none;
    } else if (rc == NIMBO_REPLY_QOS2) {
        if (has_reply) {
            o.kind = mqtt_logic::Outcome::Kind::param;
            o.param = reply;
            o.qos = 2;
        } else {
            o = failure(request, fail_text(NIMBO_ERR_FAILED));
        }
    } else {
        o = failure(request, fail_text(rc));
    }
    return o;
}

// A bounded reader of the members at the top of a JSON object; it never reads past `end`.
class HeadReader {
public:
    HeadReader(const char* begin, const char* end) : p_(begin), end_(end) {}

    bool literal(char c) {
        space();
        if (p_ >= end_ || *p_ != c) return false;
        ++p_;
        return true;
    }

    bool at_string() {
        space();
        return p_ < end_ && *p_ == '"';
    }

    // A string into `out` when given (fewer than `cap` bytes); false when malformed, cut
    // by the end, longer, or (when kept) holding a \u escape.
    bool string(std::string* out, size_t cap) {
        if (!at_string()) return false;
        ++p_;
        while (p_ < end_) {
            char c = *p_++;
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') {
                if (p_ >= end_) return false;
                switch (char e = *p_++) {
                case '"': case '\\': case '/': c = e; break;
                case 'b': c = '\b'; break;
                case 'f': c = '\f'; break;
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case 't': c = '\t'; break;
                case 'u':
                    if (out != nullptr || end_ - p_ < 4) return false;
                    p_ += 4;
                    continue;
                default:
                    return false;
                }
            }
            if (out != nullptr) {
                if (out->size() + 1 >= cap) return false;
                out->push_back(c);
            }
        }
        return false;
    }

    // Any value, nested ones by their brackets; false when cut by the end.
    bool skip_value() {
        space();
        if (p_ >= end_) return false;
        if (*p_ == '"') return string(nullptr, 0);
        if (*p_ == '{' || *p_ == '[') {
            int depth = 0;
            while (p_ < end_) {
                if (*p_ == '"') {
                    if (!string(nullptr, 0)) return false;
                    continue;
                }
                char c = *p_++;
                if (c == '{' || c == '[') ++depth;
                if ((c == '}' || c == ']') && --depth == 0) return true;
            }
            return false;
        }
        const char* start = p_;
        while (p_ < end_ && (isalnum(static_cast<unsigned char>(*p_)) || *p_ == '-' || *p_ == '+' || *p_ == '.'))
            ++p_;
        return p_ > start && p_ < end_;
    }

private:
    void space() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }

    const char* p_;
    const char* end_;
};

// The disconnect's completion, waited for by mqtt_logic_stop (static: a late callback
// after the wait gave up still finds it).
struct DisconnectWait {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
};
DisconnectWait g_disconnect;

void on_disconnected(void*, MQTTAsync_successData*) {
    std::lock_guard<std::mutex> lock(g_disconnect.mutex);
    g_disconnect.done = true;
    g_disconnect.done_cv.notify_all();
}

void on_disconnect_failed(void*, MQTTAsync_failureData* response) {
    LOG_W(TAG_LOGIC, "disconnect failed, code: %d", response ? response->code : 0);
    on_disconnected(nullptr, nullptr);
}

}  // namespace

namespace {

std::mutex g_table_mutex;
mqtt_logic::Table g_table{nullptr, 0};

mqtt_logic::Table registered_table() {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    return g_table;
}

}  // namespace

void mqtt_logic::use_command_table(const Table& table) {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    g_table = table;
}

// ---- dispatcher -------------------------------------------------------------------------

mqtt_logic::Outcome mqtt_logic::dispatch(MQTTAsync client, const char* text, const mqtt_logic::Table& table) {
    Outcome none;
    none.code = -8;
    RequestCmd request;
    unsigned overflow = json_utils::kOverflowNone;
    int rc = json_utils::parse_request(text, g_device_serialno, &request, &overflow);
    if (rc == NIMBO_ERR_INVALID) {
        LOG_E(TAG_LOGIC, "failed to parse json");
        return none;
    }
    if (rc != 0) {
        // Never cut and executed: refused, and answered when the reply can be addressed.
        LOG_E(TAG_LOGIC, "request refused, a field exceeds its size (cmd: %s, taskId: %s)", request.cmd, request.taskId);
        if (overflow == json_utils::kOverflowParam && request.cmd[0] != '\0') return failure(request, fail_text(NIMBO_ERR_INVALID));
        return none;
    }
    LOG_D(TAG_LOGIC, "cmd: %s, param: %s", request.cmd, request.param);

    Outcome out;
    if (refused(request, &out)) return out;

    const mqtt_logic::Command* row = nullptr;
    for (int i = 0; i < table.count; ++i) {
        if (strcmp(table.rows[i].name, request.cmd) == 0) {
            row = &table.rows[i];
            break;
        }
    }
    if (row == nullptr) return failure(request, fail_text(NIMBO_ERR_NOT_SUPPORTED));

    char reply[MQTT_DEAL_REPLY_SIZE];
    memset(reply, 0, sizeof reply);
    int reply_len = 0;
    Outcome done;  // code 0, nothing published

    switch (row->gate) {
    case mqtt_logic::Gate::task: {
        // The ledger decides: a new task, the same one again, a copy of a finished one,
        // another one pending, or the running one's taskId under another command.
        const tasks::Admission admission = tasks::ledger().admit(request, text, client);
        // A task that could not be recorded would not resume after a restart: it fails now
        // ("Operation failed"), nothing started.
        if (admission == tasks::Admission::unrecorded) return failure(request, fail_text(NIMBO_ERR_FAILED));
        if (!tasks::admitted(admission)) return done;
        rc = row->handler(client, &request, reply, &reply_len);
        reply[sizeof reply - 1] = '\0';
        // What the handler left unsettled: a task no worker took ends, stays stored or is
        // released; a reply that ends it is stored before the task is forgotten.
        tasks::ledger().handler_returned(request.taskId, rc, reply);
        break;
    }
    case mqtt_logic::Gate::organisation:
        if (g_flag_mqtt_sub_devorginfo.load() != 0) {
            LOG_V(TAG_LOGIC, "devorginfo has subscribed");
            return done;
        }
        rc = row->handler(client, &request, reply, &reply_len);
        reply[sizeof reply - 1] = '\0';
        if (rc == 0 || rc == NIMBO_HANDLED) g_flag_mqtt_sub_devorginfo = 1;
        break;
    case mqtt_logic::Gate::none:
        rc = row->handler(client, &request, reply, &reply_len);
        reply[sizeof reply - 1] = '\0';
        break;
    }
    return map_result(request, rc, reply);
}

int mqtt_logic::answer(MQTTAsync client, const Outcome& o) {
    switch (o.kind) {
    case Outcome::Kind::none:
        return o.code;
    case Outcome::Kind::result:
        return nimbo_utils_replay_with_no_data_param(client, o.cmd.c_str(), o.sn.c_str(), o.task_id.c_str(),
                                                     o.status.c_str(), o.fail_des.c_str());
    case Outcome::Kind::param: {
        return nimbo_utils_replay_with_param_with_qos(client, o.cmd.c_str(), o.sn.c_str(), o.task_id.c_str(),
                                                      o.param.c_str(), o.qos);
    }
    case Outcome::Kind::poster_refusal:
        return nimbo_utils_replay_with_custom_resources_param(client, o.cmd.c_str(), o.sn.c_str(),
                                                              o.task_id.c_str(), o.status.c_str(),
                                                              o.fail_des.c_str(), o.param.c_str());
    }
    return o.code;
}

bool mqtt_logic::read_head(const char* payload, size_t len, RequestCmd* out) {
    memset(out, 0, sizeof *out);
    snprintf(out->sn, sizeof out->sn, "%s", g_device_serialno);
    if (payload == nullptr) return false;
    HeadReader reader(payload, payload + (len < kHeadBytes ? len : kHeadBytes));
    if (!reader.literal('{')) return false;
    bool have_cmd = false, have_task = false;
    std::string key, value;
    do {
        key.clear();
        if (!reader.string(&key, sizeof out->cmd) || !reader.literal(':')) break;
        char* field = key == "cmd" ? out->cmd : key == "taskId" ? out->taskId : key == "sn" ? out->sn : nullptr;
        if (field != nullptr && reader.at_string()) {
            value.clear();
            if (!reader.string(&value, sizeof out->cmd)) return false;  // cut or too long: not addressable
            if (field != out->sn || !value.empty()) snprintf(field, sizeof out->cmd, "%s", value.c_str());
            have_cmd = have_cmd || field == out->cmd;
            have_task = have_task || field == out->taskId;
        } else if (!reader.skip_value()) {
            break;
        }
    } while (reader.literal(','));
    return have_cmd && out->cmd[0] != '\0' && have_task;
}

mqtt_logic::Outcome mqtt_logic::receive(MQTTAsync client, const char* payload, size_t len,
                                        const mqtt_logic::Table& table) {
    if (payload == nullptr) len = 0;
    if (len > kMaxRequestBytes) {
        LOG_E(TAG_LOGIC, "message of %zu bytes refused, a request is at most %zu", len, kMaxRequestBytes);
        RequestCmd head;
        if (read_head(payload, len, &head)) return failure(head, fail_text(NIMBO_ERR_INVALID));
        Outcome none;
        none.code = -8;
        return none;
    }
    const void* nul = len ? memchr(payload, '\0', len) : nullptr;
    std::string text(payload ? payload : "", nul ? static_cast<size_t>(static_cast<const char*>(nul) - payload) : len);
    LOG_V(TAG_LOGIC, "message: %s", text.c_str());
    return dispatch(client, text.c_str(), table);
}

extern "C" int mf_mqtt_cmd_parse(MQTTAsync client, const char* text) {
    if (text == nullptr) {
        LOG_E(TAG_LOGIC, "failed to parse json");
        return NIMBO_ERR_FAILED;
    }
    try {
        std::lock_guard<std::mutex> lock(g_dispatch_mutex);
        mqtt_logic::Outcome outcome = mqtt_logic::dispatch(client, text, registered_table());
        return mqtt_logic::answer(client, outcome);
    } catch (...) {
        LOG_E(TAG_LOGIC, "request dropped: out of memory");
        return NIMBO_ERR_FAILED;
    }
}

// ---- callbacks ----------------------------------------------------------------------------

extern "C" void mf_mqtt_conn(void* context, char* /*cause*/) {
    MQTTAsync client = context;
    LOG_V(TAG_LOGIC, "connection callback");
    g_flag_mqtt_connect = 1;
    if (mqtt_utils_async_subscribe_topic(client, g_sub_topic, 0) != 0) LOG_E(TAG_LOGIC, "subscribe main topic failed");
    mqtt_utils::announce_presence(client, true);
    if (nimbo_utils_report_device_info(client, g_device_serialno, 0) != 0) LOG_E(TAG_LOGIC, "report device info failed");
    if (nimbo_utils_geofence_deal(client, g_device_serialno) != 0) LOG_E(TAG_LOGIC, "geofence deal failed");
    try {
        // The pending long task comes back on the command topic and resumes.
        tasks::ledger().connected(client, tasks::ledger().publisher());
        mqtt_utils_backup_message_recovery(client);
    } catch (...) {
        LOG_E(TAG_LOGIC, "recovery after connection failed: out of memory");
    }
#ifdef __GLIBC__
    // Start-up and the report leave freed heap pages behind; give them back to the system
    // before the service goes idle (about 130 KiB of private memory on the host).
    malloc_trim(0);
#endif
}

extern "C" void mf_mqtt_conn_lost(void* /*context*/, char* cause) {
    LOG_W(TAG_LOGIC, "mqtt connection lost, cause: %s", cause ? cause : "(null)");
    g_flag_mqtt_connect = 0;
    g_flag_mqtt_sub_devorginfo = 0;
    nimbo_alert::update_throttle().reset();  // the first update signal after a loss reports at once
}

extern "C" int mf_mqtt_msgarrvd(void* context, char* topic_name, int /*topic_len*/, MQTTAsync_message* message) {
    MQTTAsync client = context;
    // The payload is read where the library left it: an oversized one is never copied.
    const char* payload = message ? static_cast<const char*>(message->payload) : nullptr;
    size_t len = (message && message->payloadlen > 0) ? static_cast<size_t>(message->payloadlen) : 0;
    LOG_D(TAG_LOGIC, "Message arrived");
    LOG_V(TAG_LOGIC, "  topic: %s", topic_name ? topic_name : "");
    try {
        std::lock_guard<std::mutex> lock(g_dispatch_mutex);
        mqtt_logic::Outcome outcome = mqtt_logic::receive(client, payload, len, registered_table());
        mqtt_logic::answer(client, outcome);
    } catch (...) {
        LOG_E(TAG_LOGIC, "message dropped: out of memory");
    }
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic_name);
#ifdef __GLIBC__
    if (len > mqtt_logic::kMaxRequestBytes) malloc_trim(0);  // the library's copy of it is gone now
#endif
    return 1;
}

extern "C" void mf_mqtt_delivered(void* /*context*/, MQTTAsync_token token) {
    LOG_I(TAG_LOGIC, "Message with token[%d] delivery confirmed", token);
    g_delivered_token = token;
}

extern "C" void mf_mqtt_conn_failure(void* /*context*/, MQTTAsync_failureData* response) {
    LOG_E(TAG_LOGIC, "mqtt connection fail, error code: %d, error message:%s", response ? response->code : 0,
          (response && response->message) ? response->message : "(null)");
}

// ---- session ------------------------------------------------------------------------------

tasks::Publisher mqtt_logic::session_publisher() {
    tasks::Publisher p;
    p.store = [](const std::string& envelope) { backup_message_deal(1, 2, MQTT_REPLY_TOPIC, envelope.c_str()); };
    p.publish = nimbo_utils_replay_with_param_with_qos;
    p.republish = [](MQTTAsync client, const std::string& text) {
        if (mqtt_utils_async_publish_message(client, g_sub_topic, text.c_str(), 1) != 0)
            LOG_E(TAG_LOGIC, "recovery task publish failed");
    };
    p.connected = [] { return g_flag_mqtt_connect.load() != 0; };
    p.reply_stored = [](const std::string& task_id) {
        struct stat st;
        return !task_id.empty() &&
               ::stat((std::string(g_nimbo_data_path) + "/" + mqtt_utils::backup_name(task_id)).c_str(), &st) == 0;
    };
    return p;
}

void mqtt_logic::install_publishers() {
    tasks::ledger().use_publisher(session_publisher());
    device::Publisher d;
    d.report = mqtt_utils_async_publish_report_message;
    d.client = [] { return g_mqtt_client.load(); };
    device::use_publisher(std::move(d));
}

int mqtt_logic_start(const char* broker_url) {
    if (broker_url == nullptr || *broker_url == '\0') {
        LOG_E(TAG_LOGIC, "broker url is empty");
        return NIMBO_ERR_FAILED;
    }
    mqtt_logic::install_publishers();
    snprintf(client_id, sizeof client_id, "%s%s", "MT_", g_device_serialno);
    LOG_D(TAG_LOGIC, "mqtt client_id: %s", client_id);
    snprintf(g_sub_topic, sizeof g_sub_topic, "%s%s", MQTT_CMD_TOPIC_PREFIX, g_device_serialno);
    LOG_D(TAG_LOGIC, "mqtt sub topic: %s", g_sub_topic);

    MQTTAsync client = nullptr;
    {
        std::lock_guard<std::mutex> lock(mqtt_utils::client_mutex());
        if (g_mqtt_client.load() != nullptr) {
            LOG_E(TAG_LOGIC, "mqtt session already started");
            return NIMBO_ERR_FAILED;
        }
        int rc = MQTTAsync_create(&client, broker_url, client_id, MQTTCLIENT_PERSISTENCE_NONE, nullptr);
        if (rc != MQTTASYNC_SUCCESS) {
            LOG_E(TAG_LOGIC, "create mqtt client failed, url: %s, return code %d", broker_url, rc);
            return NIMBO_ERR_FAILED;
        }
        rc = MQTTAsync_setCallbacks(client, client, mf_mqtt_conn_lost, mf_mqtt_msgarrvd, mf_mqtt_delivered);
        if (rc == MQTTASYNC_SUCCESS) rc = MQTTAsync_setConnected(client, client, mf_mqtt_conn);
        if (rc != MQTTASYNC_SUCCESS) {
            LOG_E(TAG_LOGIC, "set mqtt callbacks failed, return code %d", rc);
            MQTTAsync_destroy(&client);
            return NIMBO_ERR_FAILED;
        }
        g_mqtt_client = client;
    }
    mqtt_utils::use_tls(strncmp(broker_url, "ssl://", 6) == 0);
    if (mqtt_utils_async_connect(client, g_device_serialno, mf_mqtt_conn_failure) != 0) return NIMBO_ERR_FAILED;

    g_flag_download_running = 0;
    if (hwlink_register_signal_update_info(1, sig_deal_update_info) != 0)
        LOG_E(TAG_LOGIC, "register update signal failed");
    return nimbo_utils_devlock_deal(999);
}

void mqtt_logic_stop(void) {
    mqtt_utils::abort_connect();
    std::lock_guard<std::mutex> lock(mqtt_utils::client_mutex());
    MQTTAsync client = g_mqtt_client.exchange(nullptr);
    if (client == nullptr) return;
    {
        std::lock_guard<std::mutex> wait_lock(g_disconnect.mutex);
        g_disconnect.done = false;
    }
    MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
    opts.timeout = kDisconnectTimeoutMs;
    opts.onSuccess = on_disconnected;
    opts.onFailure = on_disconnect_failed;
    opts.context = client;
    mqtt_utils::announce_presence(client, false);
    int rc = MQTTAsync_disconnect(client, &opts);
    if (rc == MQTTASYNC_SUCCESS) {
        std::unique_lock<std::mutex> wait_lock(g_disconnect.mutex);
        g_disconnect.done_cv.wait_for(wait_lock, std::chrono::milliseconds(kDisconnectTimeoutMs + 1000),
                                      [] { return g_disconnect.done; });
    } else {
        LOG_W(TAG_LOGIC, "disconnect failed, return code %d", rc);
    }
    MQTTAsync_destroy(&client);
    mqtt_utils::forget_in_flight();
    LOG_I(TAG_LOGIC, "mqtt session stopped");
}
