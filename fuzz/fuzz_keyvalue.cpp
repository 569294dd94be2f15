// The key=value reader of the device-state files: the first input line is the key, the
// rest the file. A found value is the text after "key=" on a line of exactly that key.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "c_handles.hpp"
#include "fuzz_support.h"
#include "nimbo_exports.h"

namespace {
int g_fd = -1;
std::string g_path;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::init_process();
    g_fd = memfd_create("kv", MFD_CLOEXEC);
    if (g_fd < 0) abort();
    g_path = "/proc/self/fd/" + std::to_string(g_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string all = fuzz::text(data, size);
    size_t nl = all.find('\n');
    std::string key = all.substr(0, nl == std::string::npos ? all.size() : nl);
    std::string file = nl == std::string::npos ? std::string() : all.substr(nl + 1);
    if (ftruncate(g_fd, 0) != 0 || pwrite(g_fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size()))
        abort();
    CText value{nimbo_utils_get_value_by_key(g_path.c_str(), key.c_str())};
    if (value) {
        // The value comes from a line "key=value" of the file: that line is in the file.
        std::string k(key.c_str());  // the key as the reader sees it (up to a NUL)
        std::string line = k + "=" + value.get();
        if (k.empty() || file.find(line) == std::string::npos) abort();
    }
    return 0;
}
