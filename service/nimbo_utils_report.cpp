// Stand-in until the device-information report lands: the connected callback logs the
// failure and goes on.
#include "nimbo_utils_report.h"

#include "kx_log.h"

extern "C" __attribute__((weak)) int nimbo_utils_report_device_info(MQTTAsync, const char* sn, int mode) {
    LOG_W("nimbo_utils", "device information report not available yet (sn: %s, mode: %d)", sn ? sn : "", mode);
    return -8;
}
