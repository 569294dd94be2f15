// What the device modules need of the MQTT session, installed by the session when it
// starts: the report topic and the session's client. The device modules never reach for the
// session's globals themselves.
#pragma once

#include <MQTTAsync.h>

#include <functional>

namespace device {

struct Publisher {
    // Publishes a report envelope on the report topic; 0 when the MQTT library took it.
    std::function<int(MQTTAsync client, const char* payload)> report;
    // The session's client (null before the start and after the stop).
    std::function<MQTTAsync()> client;
};

void use_publisher(Publisher publisher);

// A report through the installed publisher; -8 (nothing sent) without one.
int publish_report(MQTTAsync client, const char* payload);

// The session's client; null without a publisher.
MQTTAsync session_client();

}  // namespace device
