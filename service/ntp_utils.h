// A minimal SNTP client (log tag "ntp_utils").
#pragma once

#include <sys/time.h>

// 0 on the first default server that answers; -8 for a null result or when all failed.
int ntp_utils_get_ntp_time_by_default(struct timeval* out);

// One exchange with one server: 0, 1 when the socket cannot be created, -8 otherwise.
int ntp_utils_get_ntp_time(struct timeval* out, const char* host, int timeout_seconds);
