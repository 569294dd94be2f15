// Device information getters (log tag "hwlink").
#include "hwlink.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "device_path.h"
#include "elog.h"

namespace {

// First line of a fixed device file, through the program's line reader.
char* first_line(const char* abs) {
    char path[NIMBO_PATH_MAX];
    if (nimbo::device_path(abs, path, sizeof path) == nullptr) return nullptr;
    return nimbo_utils_read_line_from_file(path);
}

// Copies at most the caller's field (255 bytes + its zero) and sets the length.
void put_text(const char* text, char* out, int* len) {
    size_t n = strlen(text);
    if (n > 255) n = 255;
    memcpy(out, text, n);
    *len = (int)n;
}

int first_line_getter(const char* abs, const char* fallback_abs, char* out, int* len) {
    if (out == nullptr || len == nullptr) return -2;
    char* line = first_line(abs);
    if (line == nullptr && fallback_abs) line = first_line(fallback_abs);
    if (line == nullptr) return 0;
    put_text(line, out, len);
    free(line);
    return 0;
}

}  // namespace

extern "C" HWLINK_API int hwlink_get_device_serialno(char* out, int* len) {
    return first_line_getter("/usr/data/serialnumber", "/sys/devices/platform/ahb2/13440000.sfc/nand_fmw/nand_sn", out,
                             len);
}

extern "C" HWLINK_API int hwlink_get_device_model(char* out, int* len) {
    return first_line_getter("/etc/build_model", nullptr, out, len);
}

extern "C" HWLINK_API int hwlink_get_firmware_version(char* out, int* len) {
    return first_line_getter("/etc/build_version", nullptr, out, len);
}

extern "C" HWLINK_API int hwlink_get_system_version(char* out, int* len) {
    return first_line_getter("/module_driver/build_version", nullptr, out, len);
}
