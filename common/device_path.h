// The one place that knows where the device's fixed files live.
//
// On the terminal every fixed absolute path (under /usr/data, /etc, /sys, /proc,
// /tmp, /var/run, /module_driver, ...) is used as it is. When NIMBO_DEVICE_ROOT
// names a directory, the same paths resolve under it, as if the process were
// chrooted there for files: that is how the simulated terminal and the tests run.
// "/proc/self/exe" is never mapped (the program must find its own files).
//
// Plain C++ without the C++ runtime: the device-access library uses it too.
#pragma once

#include <stddef.h>

namespace nimbo {

// Writes the resolved path of `abs` into `out` (capacity `size`, terminated).
// Returns `out`, or nullptr when the result would not fit (nothing usable written).
const char* device_path(const char* abs, char* out, size_t size) noexcept;

// The device root in force ("" on the terminal). Never null.
const char* device_root() noexcept;

}  // namespace nimbo

// A path buffer large enough for every fixed device path.
#define NIMBO_PATH_MAX 1024
