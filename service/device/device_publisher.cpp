// The session's publishing as the device modules see it.
#include "device/device_publisher.h"

#include <mutex>

#include "result_codes.h"

namespace {

std::mutex g_mutex;
device::Publisher g_publisher;

device::Publisher current() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_publisher;
}

}  // namespace

void device::use_publisher(Publisher publisher) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_publisher = std::move(publisher);
}

int device::publish_report(MQTTAsync client, const char* payload) {
    Publisher p = current();
    return p.report ? p.report(client, payload) : NIMBO_ERR_FAILED;
}

MQTTAsync device::session_client() {
    Publisher p = current();
    return p.client ? p.client() : nullptr;
}
