// The bootstrap request: asks the management server for the MQTT broker ("api/v1/mqtt").
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "session/nimbo_utils_bootstrap.h"

#include "hwlink.h"
#include "json/json_utils.h"
#include "log_tags.h"
#include "result_codes.h"
#include "tasks/curl_utils.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

namespace {

constexpr size_t kRequestUrlSize = 512;
constexpr size_t kReplyMax = 4096;     // the whole reply is parsed, never a cut one
constexpr size_t kBrokerUrlSize = 256;  // the caller's buffer
constexpr const char* kApiPath = "api/v1/mqtt";

void clear_out(char* out, int* out_len) {
    if (out != nullptr) std::memset(out, 0, strnlen(out, kBrokerUrlSize));
    if (out_len != nullptr) *out_len = 0;
}

}  // namespace

int nimbo_utils_request_api_v1_mqtt(const char* server_url, char* out, int* out_len) {
    if (out == nullptr || out_len == nullptr) return NIMBO_ERR_INVALID;
    if (server_url == nullptr || *server_url == '\0') {
        LOG_E(TAG_UTILS, "server_url cannot be empty");
        clear_out(out, out_len);
        return NIMBO_ERR_INVALID;
    }
    size_t len = std::strlen(server_url);
    char api_url[kRequestUrlSize] = {0};
    int n = std::snprintf(api_url, sizeof api_url, server_url[len - 1] == '/' ? "%s%s" : "%s/%s", server_url,
                          kApiPath);
    if (n < 0 || static_cast<size_t>(n) >= sizeof api_url) {
        LOG_E(TAG_UTILS, "server_url too long: %s", server_url);
        clear_out(out, out_len);
        return NIMBO_ERR_INVALID;
    }
    LOG_V(TAG_UTILS, "api_url: %s", api_url);

    std::string reply;
    HttpResult result = curl_utils::get(api_url, &reply, kReplyMax);
    if (result.code != 0) {
        LOG_E(TAG_UTILS, "get request[%s] is failed, error msg: %s", api_url, result.message);
        clear_out(out, out_len);
        return NIMBO_ERR_FAILED;
    }
    // The body decides, whatever the HTTP status: an error page does not parse.
    if (reply.empty()) {
        LOG_E(TAG_UTILS, "get request[%s] successfully, but response is empty", api_url);
        clear_out(out, out_len);
        return NIMBO_ERR_FAILED;
    }
    ApiMqttBean bean;
    if (json_utils_jsonstr_to_api_mqtt(reply.c_str(), &bean) != 0) {
        LOG_E(TAG_UTILS, "failed to parse json");
        clear_out(out, out_len);
        return NIMBO_ERR_FAILED;
    }
    if (bean.code != 100000 || std::strcmp(bean.message, "success") != 0) {
        clear_out(out, out_len);
        return -1;
    }
    if (bean.data[0] == '\0') {
        LOG_E(TAG_UTILS, "get request[%s] successfully, but it names no broker", api_url);
        clear_out(out, out_len);
        return NIMBO_ERR_FAILED;
    }
    bool has_scheme = std::strncmp(bean.data, "ssl://", 6) == 0 || std::strncmp(bean.data, "tcp://", 6) == 0;
    char broker[kRequestUrlSize];
    n = std::snprintf(broker, sizeof broker, "%s%s", has_scheme ? "" : "tcp://", bean.data);
    if (n < 0 || static_cast<size_t>(n) >= kBrokerUrlSize) {
        LOG_E(TAG_UTILS, "broker url longer than %zu characters refused: %s", kBrokerUrlSize - 1, broker);
        clear_out(out, out_len);
        return NIMBO_ERR_FAILED;
    }
    std::memcpy(out, broker, static_cast<size_t>(n) + 1);
    *out_len = n;
    return 0;
}

// ---- the terminal's identity --------------------------------------------------------------

int nimbo_utils_check_serialno(const char* serial) {
    if (serial == nullptr) return NIMBO_ERR_INVALID;
    bool blank = true;
    for (const char* p = serial; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '+' || c == '#') return NIMBO_ERR_INVALID;  // a wildcard: the command topic could not be subscribed
        if (!std::isspace(c)) blank = false;
    }
    return blank ? -2 : 0;
}

int nimbo_utils_load_serialno(void) {
    char serial[256] = {0};
    int len = 0;
    hwlink_get_device_serialno(serial, &len);
    // At most 31 bytes and the terminator: the field is the identity on every topic.
    size_t n = strnlen(serial, sizeof g_device_serialno - 1);
    std::memcpy(g_device_serialno, serial, n);
    g_device_serialno[n] = '\0';
    if (nimbo_utils_check_serialno(g_device_serialno) == 0) return 0;
    LOG_E(TAG_UTILS,
          "device serial number \"%s\" is empty or unusable: not going online without an identity of its own "
          "(read from /usr/data/serialnumber, else the NAND serial node)",
          g_device_serialno);
    return NIMBO_ERR_INVALID;
}
