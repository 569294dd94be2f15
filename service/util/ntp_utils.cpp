// A minimal SNTP client: one 48-byte request, the transmit time of the answer.
#include "util/ntp_utils.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "c_handles.hpp"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"

namespace {

constexpr size_t kPacketSize = 48;
constexpr uint32_t kUnixEpochInNtp = 2208988800u;  // 1900-01-01 to 1970-01-01
constexpr uint16_t kNtpPort = 123;

uint32_t read_be32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

// getaddrinfo rather than gethostbyname: several threads may ask at once.
bool resolve(const char* host, uint16_t port, sockaddr_in* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        LOG_E(TAG_NTP, "ERROR, no such host: %s", rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc));
        return false;
    }
    std::memcpy(out, found->ai_addr, sizeof *out);
    out->sin_port = htons(port);
    ::freeaddrinfo(found);
    return true;
}

}  // namespace

namespace ntp_utils {

const std::vector<std::string>& default_servers() {
    static const std::vector<std::string> servers = {
        "time1.apple.com", "time2.apple.com", "time3.apple.com", "time4.apple.com",
        "time5.apple.com", "time6.apple.com", "time7.apple.com", "0.pool.ntp.org",
        "1.pool.ntp.org",  "2.pool.ntp.org",
    };
    return servers;
}

struct timeval from_ntp_timestamp(uint32_t seconds, uint32_t fraction) {
    struct timeval tv{};
    // Unsigned 32-bit difference: the NTP era wraps in 2036 and the difference stays right.
    tv.tv_sec = static_cast<time_t>(static_cast<uint32_t>(seconds - kUnixEpochInNtp));
    // A fraction counts 2^-32 s: scale by 10^6 / 2^32 so that the result stays below 10^6.
    tv.tv_usec = static_cast<suseconds_t>((static_cast<uint64_t>(fraction) * 1000000u) >> 32);
    return tv;
}

int query(struct timeval* out, const char* host, uint16_t port, int timeout_seconds) {
    if (out == nullptr || host == nullptr || *host == '\0') return NIMBO_ERR_FAILED;
    UniqueFd sock{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)};
    if (!sock) {
        LOG_E(TAG_NTP, "socket creation failed: %s", std::strerror(errno));
        return 1;
    }
    sockaddr_in addr{};
    if (!resolve(host, port, &addr)) return NIMBO_ERR_FAILED;

    timeval tv{};
    tv.tv_sec = timeout_seconds > 0 ? timeout_seconds : 1;
    if (::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        LOG_E(TAG_NTP, "Error setting socket options: %s", std::strerror(errno));
        return NIMBO_ERR_FAILED;
    }
    // A connected datagram socket only receives answers from the server it asked.
    if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        LOG_E(TAG_NTP, "sendto failed: %s", std::strerror(errno));
        return NIMBO_ERR_FAILED;
    }
    unsigned char packet[kPacketSize] = {0x1B};  // LI 0, version 3, mode 3 (client)
    if (::send(sock.get(), packet, sizeof packet, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof packet)) {
        LOG_E(TAG_NTP, "sendto failed: %s", std::strerror(errno));
        return NIMBO_ERR_FAILED;
    }
    ssize_t got;
    do {
        got = ::recv(sock.get(), packet, sizeof packet, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            LOG_E(TAG_NTP, "Timeout occurred! No response from NTP server.");
        else
            LOG_E(TAG_NTP, "recvfrom failed: %s", std::strerror(errno));
        return NIMBO_ERR_FAILED;
    }
    if (static_cast<size_t>(got) < kPacketSize) {
        LOG_E(TAG_NTP, "short reply from %s: %zd bytes", host, got);
        return NIMBO_ERR_FAILED;
    }
    uint32_t seconds = read_be32(packet + 40);
    uint32_t fraction = read_be32(packet + 44);
    if (seconds == 0) {  // an unsynchronised server sends no time
        LOG_E(TAG_NTP, "reply from %s has no transmit time", host);
        return NIMBO_ERR_FAILED;
    }
    *out = from_ntp_timestamp(seconds, fraction);
    return 0;
}

int query_first(struct timeval* out, const std::vector<std::string>& hosts, uint16_t port) {
    if (out == nullptr) return NIMBO_ERR_FAILED;
    for (const auto& host : hosts) {
        *out = timeval{};
        if (query(out, host.c_str(), port, 1) == 0) {
            LOG_I(TAG_NTP, "get ntp ok, server: %s, %ld.%ld", host.c_str(), static_cast<long>(out->tv_sec),
                  static_cast<long>(out->tv_usec));
            return 0;
        }
    }
    *out = timeval{};
    return NIMBO_ERR_FAILED;
}

}  // namespace ntp_utils

int ntp_utils_get_ntp_time_by_default(struct timeval* out) {
    if (out == nullptr) return NIMBO_ERR_FAILED;
    return ntp_utils::query_first(out, ntp_utils::default_servers(), kNtpPort);
}

int ntp_utils_get_ntp_time(struct timeval* out, const char* host, int timeout_seconds) {
    if (out == nullptr || host == nullptr) return NIMBO_ERR_FAILED;
    *out = timeval{};
    return ntp_utils::query(out, host, kNtpPort, timeout_seconds);
}
