// The program's wrapper around the logging library.
#pragma once

#include "elog.h"

// Passes the log file's path to the logging library; returns its result.
int kx_log_init(const char* path);
