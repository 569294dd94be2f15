// Placeholder until the device lock lands.
#include "nimbo_utils_devlock.h"

#include "kx_log.h"

void devlock_timer_handler(int signal_number) {
    LOG_D("nimbo_utils", "device-lock signal %d (device lock not built yet)", signal_number);
}
