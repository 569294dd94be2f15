#include "broker_link.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <thread>

namespace nimboctl {
namespace {

// The client library hands out the topic and the message; both are its to free.
struct TopicFree {
    void operator()(char* p) const noexcept { MQTTAsync_free(p); }
};
struct MessageFree {
    void operator()(MQTTAsync_message* m) const noexcept { MQTTAsync_freeMessage(&m); }
};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string connack_text(int code) {
    switch (code) {
    case 1: return "the broker refused the protocol version";
    case 2: return "the broker rejected the client identifier";
    case 3: return "the broker is unavailable";
    case 4: return "the broker refused the user name or password";
    case 5: return "the broker says this client is not authorised";
    default: break;
    }
    const char* text = MQTTAsync_strerror(code);
    if (text != nullptr && *text != '\0') return text;
    return "the connection failed";
}

}  // namespace

std::optional<std::string> normalise_broker_url(const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::string scheme = "tcp";
    std::string rest = text;
    auto sep = text.find("://");
    if (sep != std::string::npos) {
        std::string given = lower(text.substr(0, sep));
        rest = text.substr(sep + 3);
        if (given == "tcp" || given == "mqtt") scheme = "tcp";
        else if (given == "ssl" || given == "mqtts" || given == "tls") scheme = "ssl";
        else return std::nullopt;
    }
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.empty() || rest.find('/') != std::string::npos || rest.find(' ') != std::string::npos) return std::nullopt;
    // host, host:port, [v6], [v6]:port
    std::string host = rest, port;
    if (rest.front() == '[') {
        auto close = rest.find(']');
        if (close == std::string::npos) return std::nullopt;
        host = rest.substr(0, close + 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return std::nullopt;
            port = rest.substr(close + 2);
        }
    } else {
        auto colon = rest.rfind(':');
        if (colon != std::string::npos) {
            host = rest.substr(0, colon);
            port = rest.substr(colon + 1);
        }
    }
    if (host.empty() || host == "[]") return std::nullopt;
    if (port.empty()) port = scheme == "ssl" ? "8883" : "1883";
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }) ||
        std::stoi(port) < 1 || std::stoi(port) > 65535)
        return std::nullopt;
    return scheme + "://" + host + ":" + port;
}

void BrokerLink::ClientDeleter::operator()(MQTTAsync client) const noexcept {
    MQTTAsync_destroy(&client);
}

BrokerLink::~BrokerLink() { close(); }

void BrokerLink::begin_op() {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = Pending::waiting;
    pending_code_ = 0;
    pending_text_.clear();
}

void BrokerLink::on_op_success(void* context, MQTTAsync_successData*) {
    auto* self = static_cast<BrokerLink*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->pending_ = Pending::ok;
    self->cv_.notify_all();
}

void BrokerLink::on_op_failure(void* context, MQTTAsync_failureData* data) {
    auto* self = static_cast<BrokerLink*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->pending_ = Pending::failed;
    self->pending_code_ = data ? data->code : 0;
    self->pending_text_ = (data && data->message) ? data->message : "";
    self->cv_.notify_all();
}

std::optional<LinkError> BrokerLink::wait_op(const char* what, int timeout_s) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool done = cv_.wait_for(lock, std::chrono::seconds(timeout_s), [&] { return pending_ != Pending::waiting || woken_; });
    if (pending_ == Pending::ok) return std::nullopt;
    if (!done) return LinkError{std::string(what) + " took longer than " + std::to_string(timeout_s) + " s"};
    if (pending_ == Pending::waiting) return LinkError{std::string(what) + " was interrupted"};
    std::string why = pending_text_.empty() ? connack_text(pending_code_) : pending_text_;
    return LinkError{std::string(what) + " failed: " + why};
}

std::optional<LinkError> BrokerLink::open(const BrokerOptions& options, const std::vector<std::string>& topics) {
    options_ = options;
    topics_ = topics;
    MQTTAsync raw = nullptr;
    MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
    create.sendWhileDisconnected = 0;
    int rc = MQTTAsync_createWithOptions(&raw, options.url.c_str(), options.client_id.c_str(),
                                         MQTTCLIENT_PERSISTENCE_NONE, nullptr, &create);
    if (rc != MQTTASYNC_SUCCESS) return LinkError{"cannot use the broker address " + options.url + ": " + connack_text(rc)};
    client_.reset(raw);
    MQTTAsync_setCallbacks(raw, this, &BrokerLink::on_connection_lost, &BrokerLink::on_message, nullptr);
    MQTTAsync_setConnected(raw, this, &BrokerLink::on_connected);

    MQTTAsync_connectOptions conn = MQTTAsync_connectOptions_initializer;
    conn.keepAliveInterval = 30;
    conn.cleansession = 1;
    conn.connectTimeout = options.connect_timeout_s;
    conn.automaticReconnect = 1;
    conn.minRetryInterval = 1;
    conn.maxRetryInterval = 10;
    conn.onSuccess = &BrokerLink::on_op_success;
    conn.onFailure = &BrokerLink::on_op_failure;
    conn.context = this;
    if (!options.username.empty()) conn.username = options_.username.c_str();
    if (!options.password.empty()) conn.password = options_.password.c_str();
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    if (options.url.rfind("ssl://", 0) == 0) {
        if (!options_.cafile.empty()) ssl.trustStore = options_.cafile.c_str();
        ssl.enableServerCertAuth = options.insecure ? 0 : 1;
        ssl.verify = options.insecure ? 0 : 1;
        conn.ssl = &ssl;
    }
    begin_op();
    rc = MQTTAsync_connect(raw, &conn);
    if (rc != MQTTASYNC_SUCCESS) return LinkError{"cannot connect to " + options.url + ": " + connack_text(rc)};
    if (auto err = wait_op("connecting to the broker", options.connect_timeout_s + 5)) {
        err->what = "cannot connect to the broker at " + options.url + " (" + err->what + ")";
        return err;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_once_ = true;
    }
    return subscribe_all();
}

std::optional<LinkError> BrokerLink::subscribe_all() {
    if (topics_.empty()) return std::nullopt;
    std::vector<char*> names;
    std::vector<int> qos(topics_.size(), 1);
    for (auto& t : topics_) names.push_back(t.data());
    MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
    opts.onSuccess = &BrokerLink::on_op_success;
    opts.onFailure = &BrokerLink::on_op_failure;
    opts.context = this;
    begin_op();
    int rc = MQTTAsync_subscribeMany(client_.get(), static_cast<int>(names.size()), names.data(), qos.data(), &opts);
    if (rc != MQTTASYNC_SUCCESS) return LinkError{"cannot subscribe the reply topics: " + connack_text(rc)};
    return wait_op("subscribing the reply topics", 10);
}

void BrokerLink::on_connected(void* context, char*) {
    // Called after every connection; the first one is handled by open(). A reconnection
    // has lost the subscriptions (clean session), so they are made again here, without
    // waiting: the library must not be blocked on its own thread.
    auto* self = static_cast<BrokerLink*>(context);
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        if (!self->connected_once_ || !self->lost_ || self->closing_) return;
        self->lost_ = false;
        self->notices_.push_back("connection to the broker is back");
    }
    std::vector<char*> names;
    std::vector<int> qos(self->topics_.size(), 1);
    for (auto& t : self->topics_) names.push_back(t.data());
    if (!names.empty())
        MQTTAsync_subscribeMany(self->client_.get(), static_cast<int>(names.size()), names.data(), qos.data(), nullptr);
}

void BrokerLink::on_connection_lost(void* context, char* cause) {
    std::unique_ptr<char, TopicFree> owned(cause);
    auto* self = static_cast<BrokerLink*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->closing_) return;
    self->lost_ = true;
    self->notices_.push_back("connection to the broker lost; reconnecting");
    self->cv_.notify_all();
}

int BrokerLink::on_message(void* context, char* topic, int topic_len, MQTTAsync_message* message) {
    std::unique_ptr<char, TopicFree> owned_topic(topic);
    std::unique_ptr<MQTTAsync_message, MessageFree> owned_message(message);
    auto* self = static_cast<BrokerLink*>(context);
    Message m;
    m.topic = topic_len > 0 ? std::string(topic, static_cast<std::size_t>(topic_len)) : std::string(topic);
    if (message->payload && message->payloadlen > 0)
        m.payload.assign(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->inbox_.size() >= kQueueCap) {
        self->inbox_.pop_front();
        ++self->dropped_;
    }
    self->inbox_.push_back(std::move(m));
    self->cv_.notify_all();
    return 1;
}

std::optional<LinkError> BrokerLink::publish(const std::string& topic, const std::string& payload) {
    MQTTAsync_message msg = MQTTAsync_message_initializer;
    msg.payload = const_cast<char*>(payload.data());
    msg.payloadlen = static_cast<int>(payload.size());
    msg.qos = 1;
    msg.retained = 0;
    MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
    opts.onSuccess = &BrokerLink::on_op_success;
    opts.onFailure = &BrokerLink::on_op_failure;
    opts.context = this;
    begin_op();
    int rc = MQTTAsync_sendMessage(client_.get(), topic.c_str(), &msg, &opts);
    if (rc != MQTTASYNC_SUCCESS) return LinkError{"the broker did not take the command: " + connack_text(rc)};
    return wait_op("sending the command", 10);
}

std::optional<Message> BrokerLink::next(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_until(lock, deadline, [&] { return !inbox_.empty() || woken_ || !notices_.empty(); });
    if (inbox_.empty()) return std::nullopt;
    Message m = std::move(inbox_.front());
    inbox_.pop_front();
    return m;
}

void BrokerLink::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    cv_.notify_all();
}

bool BrokerLink::woken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return woken_;
}

std::vector<std::string> BrokerLink::take_notices() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    out.swap(notices_);
    if (dropped_ > 0) {
        out.push_back(std::to_string(dropped_) + " messages were dropped (more than " + std::to_string(kQueueCap) +
                      " waiting)");
        dropped_ = 0;
    }
    return out;
}

void BrokerLink::close() {
    if (!client_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    if (MQTTAsync_isConnected(client_.get())) {
        MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
        opts.timeout = 1000;
        MQTTAsync_disconnect(client_.get(), &opts);
        // The disconnect completes on the library's thread; give it the timeout to finish.
        for (int i = 0; i < 20 && MQTTAsync_isConnected(client_.get()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    client_.reset();
}

}  // namespace nimboctl
