// The log archive, written in-process (see nimbo_archive.h).
#include "util/nimbo_archive.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "c_handles.hpp"
#include "log_tags.h"
#include "util/kx_log.h"

namespace {

constexpr size_t kBlock = 512;
constexpr int kMaxDepth = 64;

struct GzClose {
    void operator()(gzFile f) const noexcept { gzclose(f); }
};
using GzPtr = std::unique_ptr<gzFile_s, GzClose>;

bool put(gzFile gz, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        unsigned chunk = static_cast<unsigned>(std::min<size_t>(size, 1u << 20));
        if (gzwrite(gz, p, chunk) != static_cast<int>(chunk)) return false;
        p += chunk;
        size -= chunk;
    }
    return true;
}

// `value` as `width` - 1 octal digits and a terminating zero (the highest digits kept
// when it is too large, which the callers' ranges rule out).
void octal(char* field, size_t width, unsigned long long value) {
    field[width - 1] = '\0';
    for (size_t i = width - 1; i > 0; --i) {
        field[i - 1] = static_cast<char>('0' + (value & 7));
        value >>= 3;
    }
}

// The ustar header of `name` (a folder's name ends with '/'); false when the name does not
// fit the format's 100 + 155 characters.
bool header(char (&block)[kBlock], const std::string& name, const struct stat& st, bool folder) {
    memset(block, 0, sizeof block);
    std::string prefix, rest = name;
    if (rest.size() > 100) {
        size_t cut = rest.rfind('/', rest.size() - 2);
        while (cut != std::string::npos && (cut > 155 || rest.size() - cut - 1 > 100))
            cut = cut == 0 ? std::string::npos : rest.rfind('/', cut - 1);
        if (cut == std::string::npos) return false;
        prefix = rest.substr(0, cut);
        rest = rest.substr(cut + 1);
    }
    memcpy(block, rest.data(), rest.size());
    octal(block + 100, 8, st.st_mode & 07777);
    octal(block + 108, 8, st.st_uid & 07777777);
    octal(block + 116, 8, st.st_gid & 07777777);
    octal(block + 124, 12, folder ? 0 : static_cast<unsigned long long>(st.st_size));
    octal(block + 136, 12, static_cast<unsigned long long>(st.st_mtime < 0 ? 0 : st.st_mtime));
    block[156] = folder ? '5' : '0';
    memcpy(block + 257, "ustar", 6);
    memcpy(block + 263, "00", 2);
    memcpy(block + 345, prefix.data(), prefix.size());
    memset(block + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : block) sum += c;
    octal(block + 148, 7, sum);  // six digits, a zero and the space left from above
    return true;
}

bool add_file(gzFile gz, int dir, const char* name, const std::string& entry) {
    UniqueFd fd{::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return true;  // gone or replaced: skipped
    char block[kBlock];
    if (!header(block, entry, st, false)) {
        LOG_W(TAG_UTILS, "%s: name too long for the archive, skipped", entry.c_str());
        return true;
    }
    if (!put(gz, block, sizeof block)) return false;
    // Exactly the size in the header: a file that grew is cut there, one that shrank padded.
    unsigned long long left = static_cast<unsigned long long>(st.st_size);
    char buf[8192];
    while (left > 0) {
        ssize_t n = ::read(fd.get(), buf, static_cast<size_t>(std::min<unsigned long long>(left, sizeof buf)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            LOG_E(TAG_UTILS, "%s could not be read: %s", entry.c_str(), strerror(errno));
            return false;
        }
        if (n == 0) {
            memset(buf, 0, sizeof buf);
            n = static_cast<ssize_t>(std::min<unsigned long long>(left, sizeof buf));
        }
        if (!put(gz, buf, static_cast<size_t>(n))) return false;
        left -= static_cast<unsigned long long>(n);
    }
    size_t tail = static_cast<size_t>(st.st_size % kBlock);
    if (tail != 0) {
        memset(block, 0, sizeof block);
        if (!put(gz, block, kBlock - tail)) return false;
    }
    return true;
}

bool add_folder(gzFile gz, int dir, const std::string& prefix, int depth) {
    DirPtr listing{::fdopendir(::fcntl(dir, F_DUPFD_CLOEXEC, 0))};
    if (!listing) return false;
    ::rewinddir(listing.get());
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(listing.get())) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        struct stat st;
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        std::string entry = prefix + name;
        if (S_ISREG(st.st_mode)) {
            if (!add_file(gz, dir, name.c_str(), entry)) return false;
        } else if (S_ISDIR(st.st_mode) && depth < kMaxDepth) {
            UniqueFd sub{::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
            if (!sub || ::fstat(sub.get(), &st) != 0) continue;
            char block[kBlock];
            if (!header(block, entry + "/", st, true)) continue;
            if (!put(gz, block, sizeof block) || !add_folder(gz, sub.get(), entry + "/", depth + 1)) return false;
        }
    }
    return true;
}

}  // namespace

bool nimbo::write_tar_gz(int dir, int out) {
    try {
        UniqueFd copy{::fcntl(out, F_DUPFD_CLOEXEC, 0)};
        if (!copy) return false;
        GzPtr gz{gzdopen(copy.get(), "wb")};
        if (!gz) return false;
        (void)copy.release();  // the gzip stream closes it
        struct stat st;
        char block[kBlock];
        if (::fstat(dir, &st) != 0 || !header(block, "./", st, true) || !put(gz.get(), block, sizeof block))
            return false;
        if (!add_folder(gz.get(), dir, "./", 0)) return false;
        memset(block, 0, sizeof block);
        if (!put(gz.get(), block, sizeof block) || !put(gz.get(), block, sizeof block)) return false;
        bool ok = gzclose(gz.release()) == Z_OK;
        return ok && ::fsync(out) == 0;
    } catch (...) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
        return false;
    }
}
