// Shared set-up of the fuzz targets: a private scratch directory that is also the device
// root, the log going to a file in it, and checks that a parsed record holds only
// NUL-terminated texts.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "elog.h"

extern "C" int init_easylogger(const char* path);

namespace fuzz {

// The scratch directory, created once per process (removed by the fuzz script's run dir
// clean-up; a fuzzer process lives for the whole run).
inline const std::string& scratch() {
    static const std::string dir = [] {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/nimbo-fuzz-XXXXXX";
        if (mkdtemp(&tmpl[0]) == nullptr) abort();
        return tmpl;
    }();
    return dir;
}

// Device root and logging into the scratch directory. Every record is formatted (the
// format arguments are part of what is fuzzed) but none reaches the fuzzer's output.
inline void init_process() {
    setenv("NIMBO_DEVICE_ROOT", (scratch() + "/root").c_str(), 1);
    setenv("NIMBO_LOG_MAX_BYTES", "262144", 1);
    setenv("NIMBO_LOG_LEVEL", "5", 1);
    setenv("NIMBO_LOG_STDERR", "0", 1);
    if (init_easylogger((scratch() + "/fuzz.log").c_str()) != 0) abort();
}

// The fuzz input as a NUL-terminated text (embedded NULs end it, as for the service).
inline std::string text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// A record field must hold its NUL inside its width: a missing one is a fault.
template <size_t N>
inline void require_terminated(const char (&field)[N]) {
    if (memchr(field, '\0', N) == nullptr) abort();
}

}  // namespace fuzz
