// nimboctl: the connection to the broker, seen from the management server's side.
// One Paho asynchronous client; messages arrive on the library's thread and are queued
// for the main thread, which waits for them with a deadline.
#pragma once

#include <MQTTAsync.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace nimboctl {

struct BrokerOptions {
    std::string url;          // normalised: tcp://host:port or ssl://host:port
    std::string client_id;
    std::string username;
    std::string password;
    std::string cafile;       // ssl only: trust these CAs instead of the system's
    bool insecure = false;    // ssl only: do not verify the server certificate
    int connect_timeout_s = 10;
};

struct Message {
    std::string topic;
    std::string payload;
};

// What went wrong, in words a user can act on.
struct LinkError {
    std::string what;
};

// Turns "host", "host:port", "mqtt://host", "tcp://host:port", "mqtts://host" into the form
// the client library takes; an empty optional when the text is not a broker address.
std::optional<std::string> normalise_broker_url(const std::string& text);

class BrokerLink {
public:
    BrokerLink() = default;
    ~BrokerLink();
    BrokerLink(const BrokerLink&) = delete;
    BrokerLink& operator=(const BrokerLink&) = delete;

    // Connects and subscribes the topics (QoS 1); reconnects and subscribes again by itself
    // after a loss. Returns an error text when the first connection or subscription fails.
    std::optional<LinkError> open(const BrokerOptions& options, const std::vector<std::string>& topics);

    // Publishes with QoS 1 and waits until the broker has taken the message.
    std::optional<LinkError> publish(const std::string& topic, const std::string& payload);

    // The next message, or nothing when the deadline passes or wake() was called.
    std::optional<Message> next(std::chrono::steady_clock::time_point deadline);

    // Wakes a waiting next() (used by the signal thread); sticky.
    void wake();
    bool woken() const;

    // Connection notices (lost, back) since the last call, for the user.
    std::vector<std::string> take_notices();

    void close();

private:
    struct ClientDeleter {
        void operator()(MQTTAsync client) const noexcept;
    };
    using ClientPtr = std::unique_ptr<void, ClientDeleter>;

    enum class Pending { none, waiting, ok, failed };

    static void on_connection_lost(void* context, char* cause);
    static int on_message(void* context, char* topic, int topic_len, MQTTAsync_message* message);
    static void on_connected(void* context, char* cause);
    static void on_op_success(void* context, MQTTAsync_successData* data);
    static void on_op_failure(void* context, MQTTAsync_failureData* data);

    std::optional<LinkError> wait_op(const char* what, int timeout_s);
    void begin_op();
    std::optional<LinkError> subscribe_all();

    static constexpr std::size_t kQueueCap = 10000;   // messages kept while nobody reads

    ClientPtr client_;
    BrokerOptions options_;
    std::vector<std::string> topics_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Message> inbox_;
    std::size_t dropped_ = 0;
    std::vector<std::string> notices_;
    Pending pending_ = Pending::none;
    int pending_code_ = 0;
    std::string pending_text_;
    bool woken_ = false;
    bool connected_once_ = false;
    bool lost_ = false;
    bool closing_ = false;
};

}  // namespace nimboctl
