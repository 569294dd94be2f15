#include "util/kx_log.h"

int kx_log_init(const char* path) { return init_easylogger(path); }
