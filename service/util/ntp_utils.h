// A minimal SNTP client (log tag "ntp_utils").
#pragma once

#include <sys/time.h>

// 0 on the first default server that answers; -8 for a null result or when all failed.
int ntp_utils_get_ntp_time_by_default(struct timeval* out);

// One exchange with one server: 0, 1 when the socket cannot be created, -8 otherwise.
int ntp_utils_get_ntp_time(struct timeval* out, const char* host, int timeout_seconds);

#include <stdint.h>

#include <string>
#include <vector>

namespace ntp_utils {

// The ten default servers, in the order they are tried.
const std::vector<std::string>& default_servers();

// One exchange with `host` on `port` (123 in service), waiting `timeout_seconds` for the
// answer. Same results as ntp_utils_get_ntp_time; tests point it at a local fake server.
int query(struct timeval* out, const char* host, uint16_t port, int timeout_seconds);

// Tries `hosts` in order with a one-second timeout each; 0 on the first answer, -8 when all
// failed. The default query is this with default_servers() and port 123.
int query_first(struct timeval* out, const std::vector<std::string>& hosts, uint16_t port);

// The Unix time of an NTP transmit timestamp (seconds since 1900 and a 32-bit fraction).
struct timeval from_ntp_timestamp(uint32_t seconds, uint32_t fraction);

}  // namespace ntp_utils
