#include "device_path.h"

#include <stdlib.h>
#include <string.h>

#include "device_files.h"

namespace nimbo {

const char* device_root() noexcept {
    const char* root = getenv("NIMBO_DEVICE_ROOT");
    return root ? root : "";
}

const char* device_path(const char* abs, char* out, size_t size) noexcept {
    if (abs == nullptr || out == nullptr || size == 0) return nullptr;
    const char* root = device_root();
    // Only absolute paths are device paths; the program's own executable stays real.
    if (abs[0] != '/' || strcmp(abs, dev::kSelfExe) == 0) root = "";
    size_t rl = strlen(root);
    while (rl > 0 && root[rl - 1] == '/') --rl;  // "dir/" + "/etc" must not give "dir//etc"
    size_t al = strlen(abs);
    if (rl + al + 1 > size) {
        out[0] = '\0';
        return nullptr;
    }
    memcpy(out, root, rl);
    memcpy(out + rl, abs, al + 1);
    return out;
}

}  // namespace nimbo
