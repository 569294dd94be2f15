// Helpers shared by the library's modules.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "device_path.h"
#include "elog.h"
#include "hwlink_private.h"
#include "log_tags.h"
#include "result_codes.h"

namespace hw {

bool dev_path(const char* abs, char* out, size_t size) {
    if (nimbo::device_path(abs, out, size) != nullptr) return true;
    LOG_E(TAG_HWLINK, "device path too long: %s", abs);
    return false;
}

bool format(char* out, size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(out, size, fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= size) {
        if (size) out[0] = '\0';
        return false;
    }
    return true;
}

bool shell_quote_append(char* out, size_t size, const char* value) {
    size_t pos = strlen(out);
    auto put = [&](const char* s, size_t n) {
        if (pos + n >= size) return false;
        memcpy(out + pos, s, n);
        pos += n;
        out[pos] = '\0';
        return true;
    };
    if (!put("'", 1)) return false;
    for (const char* p = value; *p; ++p) {
        bool ok = *p == '\'' ? put("'\\''", 4) : put(p, 1);
        if (!ok) return false;
    }
    return put("'", 1);
}

bool shell_command(char* out, size_t size, const char* fmt, const char* const* values, int count) {
    if (size == 0) return false;
    out[0] = '\0';
    int used = 0;
    size_t pos = 0;
    for (const char* p = fmt; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            if (used >= count || values[used] == nullptr) return false;
            if (!shell_quote_append(out, size, values[used++])) return false;
            pos = strlen(out);
            ++p;
            continue;
        }
        if (pos + 1 >= size) return false;
        out[pos++] = *p;
        out[pos] = '\0';
    }
    return used == count;
}

int put_field(const char* what, const char* text, size_t n, char* out, int* len) {
    if (n >= HWLINK_FIELD_SIZE) {
        LOG_E(TAG_HWLINK, "%s too long (%zu bytes), not reported", what, n);
        return NIMBO_ERR_FAILED;
    }
    memcpy(out, text, n);
    *len = (int)n;
    return 0;
}

}  // namespace hw
