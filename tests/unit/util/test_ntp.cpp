// The SNTP client against a fake server on a free loopback UDP port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "c_handles.hpp"
#include "sim_server.h"
#include "util/ntp_utils.h"

namespace {

// Answers each request with `reply` (no answer when it is empty), for `answers` requests.
class FakeNtpServer {
public:
    explicit FakeNtpServer(std::vector<unsigned char> reply, int answers = 1) : reply_(std::move(reply)) {
        fd_ = UniqueFd{::socket(AF_INET, SOCK_DGRAM, 0)};
        port_ = testsupport::bind_loopback(fd_.get());
        timeval tv{5, 0};
        setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        thread_ = std::thread([this, answers] {
            for (int i = 0; i < answers; ++i) {
                unsigned char buf[128];
                sockaddr_in peer{};
                socklen_t plen = sizeof peer;
                ssize_t n = ::recvfrom(fd_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&peer), &plen);
                if (n < 0) return;
                request_size_ = static_cast<int>(n);
                first_byte_ = buf[0];
                ++requests_;
                if (!reply_.empty())
                    ::sendto(fd_.get(), reply_.data(), reply_.size(), 0, reinterpret_cast<sockaddr*>(&peer), plen);
            }
        });
    }
    ~FakeNtpServer() {
        ::shutdown(fd_.get(), SHUT_RDWR);
        thread_.join();
    }
    uint16_t port() const { return port_; }
    int requests() const { return requests_; }
    int request_size() const { return request_size_; }
    unsigned first_byte() const { return first_byte_; }

private:
    std::vector<unsigned char> reply_;
    UniqueFd fd_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<int> requests_{0};
    std::atomic<int> request_size_{0};
    std::atomic<unsigned> first_byte_{0};
};

std::vector<unsigned char> reply_with(uint32_t seconds, uint32_t fraction, size_t size = 48) {
    std::vector<unsigned char> p(size, 0);
    p[0] = 0x1C;  // LI 0, version 3, mode 4 (server)
    const uint32_t fields[2] = {htonl(seconds), htonl(fraction)};
    if (size >= 48) std::memcpy(p.data() + 40, fields, 8);
    return p;
}

}  // namespace

TEST(Ntp, TransmitTimeBecomesUnixTime) {
    struct Case {
        uint32_t seconds, fraction;
        long unix_seconds, micros;
    };
    const Case cases[] = {
        {3944649601u, 0, 1735660801L, 0},
        {3944649601u, 0x80000000u, 1735660801L, 500000},
        {3944649601u, 0xFFFFFFFFu, 1735660801L, 999999},  // never a full 1000000
        {3944649601u, 1, 1735660801L, 0},
        {2208988800u, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fraction);
        FakeNtpServer server(reply_with(c.seconds, c.fraction));
        timeval tv{123, 456};
        ASSERT_EQ(ntp_utils::query(&tv, "127.0.0.1", server.port(), 2), 0);
        EXPECT_EQ(tv.tv_sec, c.unix_seconds);
        EXPECT_EQ(tv.tv_usec, c.micros);
        EXPECT_EQ(server.request_size(), 48);
        EXPECT_EQ(server.first_byte(), 0x1Bu);
    }
}

TEST(Ntp, BadAnswersAreFailures) {
    struct Case {
        const char* what;
        std::vector<unsigned char> reply;
    };
    const Case cases[] = {
        {"47-byte reply", reply_with(3944649601u, 5, 47)},
        {"1-byte reply", std::vector<unsigned char>{0x1C}},
        {"zero transmit time", reply_with(0, 0)},
        {"no answer (timeout)", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeNtpServer server(c.reply);
        timeval tv{};
        EXPECT_EQ(ntp_utils::query(&tv, "127.0.0.1", server.port(), 1), -8);
        EXPECT_EQ(server.requests(), 1);
    }
}

TEST(Ntp, ServerListMovesOnToTheNextServer) {
    FakeNtpServer server(reply_with(3944649601u, 0x80000000u));
    timeval tv{};
    // Names that do not resolve come first and are skipped without a timeout.
    const std::vector<std::string> hosts = {"no-such-host.invalid", "localhost.invalid", "127.0.0.1"};
    ASSERT_EQ(ntp_utils::query_first(&tv, hosts, server.port()), 0);
    EXPECT_EQ(tv.tv_sec, 1735660801L);
    EXPECT_EQ(tv.tv_usec, 500000);
    EXPECT_EQ(server.requests(), 1);
}

TEST(Ntp, AllServersFailingGivesMinusEightAndNoTime) {
    FakeNtpServer silent({}, 2);
    timeval tv{99, 99};
    EXPECT_EQ(ntp_utils::query_first(&tv, {"no-such-host.invalid", "127.0.0.1", "127.0.0.1"}, silent.port()), -8);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 0);
    EXPECT_EQ(silent.requests(), 2);
    EXPECT_EQ(ntp_utils_get_ntp_time_by_default(nullptr), -8);
    EXPECT_EQ(ntp_utils_get_ntp_time(nullptr, "127.0.0.1", 1), -8);
    EXPECT_EQ(ntp_utils::default_servers().size(), 10u);
    for (const auto& name : ntp_utils::default_servers()) EXPECT_LT(name.size(), 32u);
}
