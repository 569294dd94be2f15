// The failure texts of the result codes, shared by the dispatcher, the handlers and the
// workers.
#include "util/nimbo_utils_faildes.h"

#include <cstdio>

// The result-code table.
extern "C" void nimbo_utils_errcode_converted_into_faildes(int code, char* buffer) {
    static const char* const kTexts[] = {
        "Data transfer failed",                     // -10
        "No permissions",                           // -9
        "Operation failed",                         // -8
        "Operation does not support",               // -7
        "over flow",                                // -6
        "The device has already been initialized",  // -5
        "Device not initialized",                   // -4
        "Device not found",                         // -3
        "Invalid parameter",                        // -2
        "Operation timeout",                        // -1
        "Success",                                  // 0
    };
    if (buffer == nullptr) return;
    const char* text = (code >= -10 && code <= 0) ? kTexts[code + 10] : "Operation failed";
    std::snprintf(buffer, 256, "%s", text);
}
