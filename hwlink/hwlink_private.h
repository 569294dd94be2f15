// Private to the library: shared helpers and the functions of the inner modules (hidden:
// the version script exports only the library's C API). C handles are owned through
// c_handles.hpp, which is header-only.
//
// Plain C-style C++: the library must not need the C++ runtime.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "c_handles.hpp"
#include "hwlink.h"

namespace hw {

// Device path of `abs` into `out` (NIMBO_PATH_MAX bytes); false when it does not fit.
bool dev_path(const char* abs, char* out, size_t size);

// Formats into `out`; false (and `out` emptied) when the text would not fit.
bool format(char* out, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Appends `value` to `out` quoted for a POSIX shell ('it'\''s'); false when it does not fit.
bool shell_quote_append(char* out, size_t size, const char* value);

// Builds a shell command from `fmt` where every "%s" takes the next value quoted;
// false when the command does not fit `size`.
bool shell_command(char* out, size_t size, const char* fmt, const char* const* values, int count);

// Copies `n` bytes of `text` to the caller's 256-byte field and sets the length;
// -8 (logged, nothing written) when it would not leave room for the terminator.
int put_field(const char* what, const char* text, size_t n, char* out, int* len);

// Writes the process id with "%u\n" into `path`, created or emptied, never through a
// symbolic link (a link or non-file there is refused and logged): 0, or -1.
int write_pid_file(const char* path);

}  // namespace hw

extern "C" {

// Firmware installer error texts.
void device_err_install_firmware_deal(int code, char* text, int* len);

// Application manifests.
int app_utils_get_app_info(const char* dir, int max, AppInfo* list);
void read_manifest(const char* path, AppInfo* info);
uint64_t get_directory_size(const char* path);

// Wi-Fi signal through the supplicant's control socket.
int device_utils_get_wifi_signal(WifiSignalInfo* info);

}  // extern "C"
