// Texts of the firmware update scripts' exit codes.
#include <stdio.h>
#include <string.h>

#include "hwlink_private.h"

namespace {

struct ErrText {
    int code;
    int len;  // size limit of the formatted text, and the length reported
    const char* fmt;
};

const ErrText kTexts[] = {
    {1, 62, "General error[%d]: invalid parameter passed in"},
    {2, 71, "General error[%d]: failed to obtain version information"},
    {10, 57, "Packet error[%d]: invalid upgrade package"},
    {11, 72, "Packet error[%d]: the upgrade package version is too old"},
    {12, 45, "Packet error[%d]: check fails"},
    {20, 30, "Node error[%d]"},
    {21, 58, "Node error[%d]: unable to find kernel node"},
    {22, 58, "Node error[%d]: unable to find rootfs node"},
    {23, 55, "Node error[%d]: unable to find oem node"},
    {24, 56, "Node error[%d]: unable to find rtos node"},
    {30, 34, "Upgrade failed[%d]"},
    {31, 57, "Upgrade failed[%d]: kernel upgrade failed"},
    {32, 57, "Upgrade failed[%d]: rootfs upgrade failed"},
    {33, 54, "Upgrade failed[%d]: oem upgrade failed"},
    {34, 55, "Upgrade failed[%d]: rtos upgrade failed"},
};

const int kSignalLen = 166;
const int kUnknownLen = 33;

}  // namespace

extern "C" void device_err_install_firmware_deal(int code, char* text, int* len) {
    if (text == nullptr || len == nullptr) return;
    if (code > 1000) {
        int sig = code - 1000;
        const char* desc = strsignal(sig);
        snprintf(text, kSignalLen, "Failure due to abnormal signal: %d[%s]", sig, desc ? desc : "");
        *len = kSignalLen;
        return;
    }
    for (const ErrText& e : kTexts) {
        if (e.code == code) {
            snprintf(text, (size_t)e.len, e.fmt, code);
            *len = e.len;
            return;
        }
    }
    snprintf(text, kUnknownLen, "Unknown error[%d]", code);
    *len = kUnknownLen;
}
