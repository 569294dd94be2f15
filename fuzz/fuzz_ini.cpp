// The parser of "nimboservice.ini" on any file content: the records keep their widths and
// counts, every text its NUL.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/ini_utils.h"
#include "fuzz_support.h"

namespace {
int g_fd = -1;
std::string g_path;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::init_process();
    g_fd = memfd_create("ini", MFD_CLOEXEC);
    if (g_fd < 0) abort();
    g_path = "/proc/self/fd/" + std::to_string(g_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (ftruncate(g_fd, 0) != 0 || pwrite(g_fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
    IniConfig config = ini_utils_parse_config_file(g_path.c_str());
    if (config.sections == nullptr) abort();  // a readable file always parses
    if (config.count < 0 || config.count > 50) abort();
    for (int i = 0; i < config.count; ++i) {
        const IniSection& s = config.sections[i];
        fuzz::require_terminated(s.name);
        if (s.entry_count < 0 || s.entry_count > 100) abort();
        for (int j = 0; j < s.entry_count; ++j) {
            fuzz::require_terminated(s.entries[j].key);
            fuzz::require_terminated(s.entries[j].value);
        }
    }
    ini_utils_print_configs(config.sections, config.count);
    ini_utils_free_config(config.sections);
    return 0;
}
