// The service's utility module: strings, time, files and directories, line files, the
// configuration step and the persisted management-server URL (log tag "nimbo_utils").
#include "util/nimbo_utils.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "c_handles.hpp"
#include "device_files.h"
#include "device_path.h"
#include "hwlink.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/ntp_utils.h"

namespace {

using DirPtr = std::unique_ptr<DIR, CFree<closedir>>;

// 2024-12-31 16:00:01 UTC: a clock below this has plainly never been set.
constexpr time_t kClockPlausible = 1735660801;
constexpr size_t kLineBuffer = 1024;  // line files are read through 1024-byte buffers

using nimbo::copy_field;
using nimbo::join;
using nimbo::strip_one;

// ---- atomic replacement ---------------------------------------------------------------

enum class WriteResult { ok, open_failed, write_failed };

// `own_state`: one of the service's own state files, where a folder at the name is damage
// and gives way (the exported helpers leave such a folder as it is and fail).
WriteResult replace_checked(const std::string& path, const std::string& content, bool own_state) {
    char dir[NIMBO_PATH_MAX];
    const char* name = nimbo::split_path(path.c_str(), dir, sizeof dir);
    if (name == nullptr) return WriteResult::open_failed;
    UniqueFd folder = nimbo::open_folder(dir, false, TAG_UTILS);
    if (!folder) return WriteResult::open_failed;
    bool was_link = false;
    int rc = nimbo::replace_at(folder.get(), name, content.data(), content.size(), &was_link, own_state);
    if (was_link)
        // The rename replaces the link itself: what it names is never written.
        LOG_W(TAG_UTILS, "%s is a symbolic link: replaced by a file, not followed", path.c_str());
    if (rc == -1) return WriteResult::open_failed;
    return rc == 0 ? WriteResult::ok : WriteResult::write_failed;
}

// The line-file writer with its log lines; mode 1 appends, anything else replaces.
WriteResult write_line(const char* path, const char* text, int mode, bool own_state) {
    WriteResult result;
    if (mode == 1) {
        UniqueFd fd{nimbo::open_for_write(path, O_WRONLY | O_APPEND | O_CREAT, 0644, TAG_UTILS)};
        if (!fd) {
            result = WriteResult::open_failed;
        } else {
            // One write of the whole line: a full partition leaves no part of it behind
            // (what a short write put there is cut off again).
            std::string line = std::string(text) + "\n";
            struct stat st;
            off_t before = ::fstat(fd.get(), &st) == 0 ? st.st_size : -1;
            ssize_t n = ::write(fd.get(), line.data(), line.size());
            bool ok = n == static_cast<ssize_t>(line.size()) && ::fsync(fd.get()) == 0;
            if (!ok && n > 0 && before >= 0) (void)::ftruncate(fd.get(), before);
            result = ok ? WriteResult::ok : WriteResult::write_failed;
        }
    } else {
        result = replace_checked(path, std::string(text) + "\n", own_state);
    }
    if (result == WriteResult::open_failed) LOG_E(TAG_UTILS, "Error opening file for writing");
    if (result == WriteResult::write_failed) LOG_E(TAG_UTILS, "Error writing to file");
    return result;
}

// ---- reading ---------------------------------------------------------------------------

enum class LineState { unreadable, empty, line };

// First line of a file without its line feed, at most `size` - 1 characters. A state file
// (`state`) is opened as it is written: inside its held folder, a regular file with one name.
LineState first_line(const char* path, size_t size, std::string* out, bool state = true) {
    FilePtr file;
    if (state) {
        UniqueFd fd{nimbo::open_for_read(path, TAG_UTILS)};
        file.reset(fd ? ::fdopen(fd.get(), "r") : nullptr);
        if (file) (void)fd.release();
    } else {
        file.reset(::fopen(path, "re"));
    }
    if (!file) {
        LOG_W(TAG_UTILS, "Error opening file for reading[%s]", path);
        return LineState::unreadable;
    }
    if (!nimbo::read_line(file.get(), out, size - 1)) return LineState::empty;
    if (out->size() > size - 1) out->resize(size - 1);
    strip_one(out, '\n');
    return LineState::line;
}

char* heap_copy(const std::string& text) {
    char* copy = static_cast<char*>(::malloc(text.size() + 1));
    if (copy == nullptr) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
        return nullptr;
    }
    memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

// ---- directories -------------------------------------------------------------------

// Lists the folder `dir` (a handle, left open) into `out`, sub-folders entered only as
// folders (never through a link).
bool find_files(int dir, const std::string& path, const char* prefix, size_t prefix_len, bool recurse,
                std::vector<std::string>* out, int depth = 0) {
    DirPtr listing{::fdopendir(::fcntl(dir, F_DUPFD_CLOEXEC, 0))};
    if (!listing) {
        LOG_E(TAG_UTILS, "opendir");
        return false;
    }
    ::rewinddir(listing.get());
    while (struct dirent* entry = ::readdir(listing.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        struct stat st;
        if (::fstatat(dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        std::string child = path + "/" + entry->d_name;
        if (S_ISREG(st.st_mode)) {
            if (strncmp(entry->d_name, prefix, prefix_len) == 0) out->push_back(std::move(child));
        } else if (S_ISDIR(st.st_mode) && recurse && depth < 64) {
            UniqueFd sub{::openat(dir, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
            if (sub) find_files(sub.get(), child, prefix, prefix_len, recurse, out, depth + 1);
        }
    }
    return true;
}

std::string url_file(const char* name) {
    return std::string(g_device_userdata_path) + "/config/" + name;
}

constexpr const char* kUrlPersistent = "nimbo_server_url_persistent";
constexpr const char* kUrlPlain = "nimbo_server_url";

// ---- storage measurements (logged as the download driver's) -----------------------------

bool sum_tree(const char* path, uint64_t* total) {
    DirPtr dir{::opendir(path)};
    if (!dir) {
        LOG_E(TAG_ADEAL, "opendir");
        return false;
    }
    while (dirent* entry = ::readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        char full[1024];
        int n = std::snprintf(full, sizeof full, "%s/%s", path, entry->d_name);
        struct stat st {};
        if (n < 0 || static_cast<size_t>(n) >= sizeof full || ::lstat(full, &st) != 0) {
            LOG_E(TAG_ADEAL, "lstat: %s", full);
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            if (!sum_tree(full, total)) return false;
        } else if (!S_ISLNK(st.st_mode)) {
            *total += static_cast<uint64_t>(st.st_size);
        }
    }
    return true;
}

bool free_bytes(const char* path, uint64_t* out) {
    struct statvfs vfs {};
    if (::statvfs(path, &vfs) != 0) {
        LOG_E(TAG_UTILS, "Error getting filesystem statistics");
        return false;
    }
    *out = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
    return true;
}

}  // namespace

// ======================================================================================
// C++ helpers
// ======================================================================================

namespace nimbo {

UniqueFd open_folder(const char* path, bool create, const char* tag) {
    FolderError error;
    UniqueFd fd{folder_handle(path, create, &error)};
    if (!fd) {
        int err = errno;
        if (error.why == FolderRefusal::link || error.why == FolderRefusal::not_folder)
            LOG_E(tag, "%s %s: folder refused, nothing followed", error.where, folder_refusal_text(error.why));
        else if (error.why == FolderRefusal::failed)
            LOG_E(tag, "folder %s could not be opened: %s", error.where, strerror(error.err));
        errno = err;
    }
    return fd;
}

int open_for_write(const char* path, int flags, mode_t mode, const char* tag, NofollowRefusal* why) {
    NofollowRefusal refusal = NofollowRefusal::failed;
    FolderError folder;
    int fd = nofollow_open_in(path, flags, mode, &refusal, &folder);
    if (fd < 0 && (refusal == NofollowRefusal::link || refusal == NofollowRefusal::not_regular))
        LOG_E(tag, "%s %s: not followed, nothing written", path ? path : "", nofollow_refusal_text(refusal));
    if (fd < 0 && refusal == NofollowRefusal::folder)
        LOG_E(tag, "%s %s: folder refused, nothing followed, nothing written to %s", folder.where,
              folder_refusal_text(folder.why), path);
    if (why != nullptr) *why = refusal;
    return fd;
}

int open_for_read(const char* path, const char* tag) {
    char dir[NIMBO_PATH_MAX];
    const char* name = path == nullptr ? nullptr : split_path(path, dir, sizeof dir);
    if (name == nullptr) {
        errno = EINVAL;
        return -1;
    }
    UniqueFd folder = open_folder(dir, false, tag);
    if (!folder) return -1;
    UniqueFd fd{::openat(folder.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    struct stat st;
    if (!fd) {
        int err = errno;
        if (::fstatat(folder.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            LOG_E(tag, "%s is a symbolic link: ignored, not followed", path);
        errno = err;
        return -1;
    }
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        LOG_E(tag, "%s is not a plain regular file: ignored", path);
        errno = EINVAL;
        return -1;
    }
    int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl >= 0) (void)::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
    return fd.release();
}

bool write_line_file(const char* path, const char* text, int mode) {
    if (path == nullptr || text == nullptr) {
        LOG_E(TAG_UTILS, "Error opening file for writing");
        return false;
    }
    try {
        return write_line(path, text, mode, true) == WriteResult::ok;
    } catch (...) {
        LOG_E(TAG_UTILS, "Error writing to file");
        return false;
    }
}

bool replace_file(const std::string& path, const std::string& content) {
    try {
        return replace_checked(path, content, true) == WriteResult::ok;
    } catch (...) {
        return false;
    }
}

bool read_file(const std::string& path, std::string* out, size_t max_bytes, bool follow_links) {
    if (out == nullptr) return false;
    out->clear();
    UniqueFd fd{follow_links ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : open_for_read(path.c_str(), TAG_UTILS)};
    if (!fd) return false;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (out->size() + static_cast<size_t>(n) > max_bytes) {
            out->clear();
            return false;
        }
        out->append(buf, static_cast<size_t>(n));
    }
}

std::string shell_quote(const std::string& value) {
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return quoted;
}

std::string device_path(const char* abs) {
    if (abs == nullptr) return {};
    std::string buf(strlen(device_root()) + strlen(abs) + 1, '\0');
    if (device_path(abs, &buf[0], buf.size()) == nullptr) return {};
    buf.resize(strlen(buf.c_str()));
    return buf;
}

bool read_line(std::FILE* file, std::string* line, size_t max_len) {
    line->clear();
    struct Lock {
        std::FILE* f;
        explicit Lock(std::FILE* file) : f(file) { flockfile(f); }
        ~Lock() { funlockfile(f); }
    } lock(file);
    bool any = false;
    int c;
    while ((c = getc_unlocked(file)) != EOF) {
        any = true;
        if (line->size() <= max_len) line->push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return any;
}

TimeInfo make_timeinfo(time_t t, bool utc) {
    TimeInfo info;
    memset(&info, 0, sizeof info);
    struct tm tm_buf;
    memset(&tm_buf, 0, sizeof tm_buf);
    if (utc)
        gmtime_r(&t, &tm_buf);
    else
        localtime_r(&t, &tm_buf);
    // The text comes from t itself: strftime "%s" reads the broken-down time as local
    // time, which is wrong for a UTC struct outside UTC.
    snprintf(info.timestamp_str, sizeof info.timestamp_str, "%lld", static_cast<long long>(t));
    info.timestamp = static_cast<int64_t>(t);
    strftime(info.datetime_str, sizeof info.datetime_str, "%Y-%m-%d %H:%M:%S", &tm_buf);
    strftime(info.zone_str, sizeof info.zone_str, "%Z", &tm_buf);
    info.utc_offset_hours = static_cast<int32_t>(tm_buf.tm_gmtoff / 3600);
    return info;
}

}  // namespace nimbo

// ======================================================================================
// C interface
// ======================================================================================

extern "C" {

// ---- time --------------------------------------------------------------------------

TimeInfo nimbo_utils_get_current_timeinfo(int mode) {
    tzset();  // localtime_r need not look at TZ again by itself
    time_t now = time(nullptr);
    time_t used = now;
    bool utc = false;
    if (mode == 0 || (mode == 1 && now < kClockPlausible)) {
        struct timeval tv;
        memset(&tv, 0, sizeof tv);
        if (ntp_utils_get_ntp_time_by_default(&tv) == 0) {
            used = static_cast<time_t>(tv.tv_sec);
            utc = true;
        }
    }
    TimeInfo info = nimbo::make_timeinfo(used, utc);
    LOG_V(TAG_UTILS, "timestamp: %s, datetime: %s %s(UTC%+d)", info.timestamp_str, info.datetime_str, info.zone_str,
          info.utc_offset_hours);
    return info;
}

char* get_current_time(void) {
    tzset();
    time_t now = time(nullptr);
    struct tm tm_buf;
    char text[80];
    if (localtime_r(&now, &tm_buf) == nullptr) return nullptr;
    if (strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm_buf) == 0) return nullptr;
    return strdup(text);
}

// ---- strings -----------------------------------------------------------------------

int nimbo_utils_string_end_with(const char* text, const char* suffix) {
    if (text == nullptr || suffix == nullptr) return NIMBO_ERR_INVALID;
    size_t tl = strlen(text), sl = strlen(suffix);
    if (tl < sl || memcmp(text + tl - sl, suffix, sl) != 0) return NIMBO_ERR_FAILED;
    return 0;
}

int starts_with(const char* text, const char* prefix) {
    if (text == nullptr || prefix == nullptr) return 0;
    return strncmp(text, prefix, strlen(prefix)) == 0 ? 1 : 0;
}

char* nimbo_utils_string_replace(const char* text, const char* old_text, const char* new_text) {
    if (text == nullptr || old_text == nullptr || new_text == nullptr) return nullptr;
    size_t ol = strlen(old_text), nl = strlen(new_text), tl = strlen(text);
    if (ol == 0) return strdup(text);
    size_t count = 0;
    for (const char* p = strstr(text, old_text); p != nullptr; p = strstr(p + ol, old_text)) ++count;
    size_t size = tl + 1 - count * ol + count * nl;
    char* out = static_cast<char*>(malloc(size));
    if (out == nullptr) return nullptr;
    char* w = out;
    const char* r = text;
    while (*r != '\0') {
        if (strncmp(r, old_text, ol) == 0) {
            memcpy(w, new_text, nl);
            w += nl;
            r += ol;
        } else {
            *w++ = *r++;
        }
    }
    *w = '\0';
    return out;
}

int nimbo_utils_check_string_in_array(const char* text, const char* const* array, int count) {
    if (text == nullptr || array == nullptr) return 0;
    for (int i = 0; i < count; ++i)
        if (array[i] != nullptr && strcmp(text, array[i]) == 0) return 1;
    return 0;
}

char* nimbo_utils_get_filename_from_URL(char* url) {
    if (url == nullptr || *url == '\0') return nullptr;
    char* slash = strrchr(url, '/');
    return slash ? slash + 1 : url;
}

// ---- files and directories ---------------------------------------------------------

int is_regular_file(const char* path) {
    struct stat st;
    return path != nullptr && ::stat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

int nimbo_utils_ensure_directory_exists(const char* path) {
    if (path == nullptr || *path == '\0') {
        LOG_E(TAG_UTILS, "Error creating directory");
        return -1;
    }
    if (strlen(path) >= 1024) {
        LOG_E(TAG_UTILS, "Path longer than %d characters refused: %.64s...", 1023, path);
        return -1;
    }
    nimbo::FolderError error;
    UniqueFd fd{nimbo::folder_handle(path, true, &error, [](const char* made) { LOG_D(TAG_UTILS, "create '%s'", made); })};
    if (fd) return 0;
    if (error.why == nimbo::FolderRefusal::link)
        LOG_E(TAG_UTILS, "%s %s: folder refused, nothing followed", error.where, nimbo::folder_refusal_text(error.why));
    else if (error.why == nimbo::FolderRefusal::not_folder)
        LOG_E(TAG_UTILS, "Path '%s' is not a directory", error.where);
    else
        LOG_E(TAG_UTILS, "Error creating directory");
    return -1;
}

void nimbo_utils_clear_directory(const char* path) {
    if (path == nullptr) return;
    // The folder is held like every other: a link in its place (or above it) is refused,
    // and what it names is never emptied.
    UniqueFd fd = nimbo::open_folder(path, false, TAG_UTILS);
    if (!fd) {
        LOG_E(TAG_UTILS, "opendir failed, %s", path);
        return;
    }
    if (nimbo::clear_at(fd.get()) != 0) LOG_E(TAG_UTILS, "%s could not be emptied completely: %s", path, strerror(errno));
}

int nimbo_utils_rename_file(const char* dir, const char* old_name, const char* new_name) {
    if (dir == nullptr || old_name == nullptr || new_name == nullptr) return NIMBO_ERR_INVALID;
    if (!nimbo::plain_name(old_name) || !nimbo::plain_name(new_name)) return NIMBO_ERR_INVALID;
    UniqueFd folder = nimbo::open_folder(dir, false, TAG_UTILS);
    if (!folder) return NIMBO_ERR_FAILED;
    struct stat st;
    if (::fstatat(folder.get(), old_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        LOG_E(TAG_UTILS, "Old file does not exist: %s/%s", dir, old_name);
        return NIMBO_ERR_FAILED;
    }
    if (::renameat(folder.get(), old_name, folder.get(), new_name) != 0) return -8;
    (void)::fsync(folder.get());
    return 0;
}

char** nimbo_utils_find_files_with_prefix(const char* dir, const char* prefix, int recurse, int* count) {
    if (count != nullptr) *count = 0;
    if (dir == nullptr || prefix == nullptr || count == nullptr) return nullptr;
    std::vector<std::string> found;
    try {
        UniqueFd folder = nimbo::open_folder(dir, false, TAG_UTILS);
        if (!folder) {
            LOG_E(TAG_UTILS, "opendir");
            return nullptr;
        }
        std::string base(dir);
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        if (!find_files(folder.get(), base, prefix, strlen(prefix), recurse != 0, &found) || found.empty())
            return nullptr;
    } catch (...) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
        return nullptr;
    }
    auto** out = static_cast<char**>(calloc(found.size(), sizeof(char*)));
    if (out == nullptr) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
        return nullptr;
    }
    for (size_t i = 0; i < found.size(); ++i) {
        out[i] = heap_copy(found[i]);
        if (out[i] == nullptr) {
            for (size_t j = 0; j < i; ++j) free(out[j]);
            free(out);
            return nullptr;
        }
    }
    *count = static_cast<int>(found.size());
    return out;
}

char* nimbo_utils_get_value_by_key(const char* path, const char* key) {
    if (path == nullptr || *path == '\0' || key == nullptr || *key == '\0') return nullptr;
    try {
        FilePtr file{::fopen(path, "re")};
        if (!file) {
            LOG_W(TAG_UTILS, "Error opening file for reading[%s], key=%s", path, key);
            return nullptr;
        }
        constexpr size_t kMax = 64u << 10;
        std::string line;
        size_t kl = strlen(key);
        while (nimbo::read_line(file.get(), &line, kMax)) {
            strip_one(&line, '\n');
            if (line.size() > kMax) continue;  // a runaway line is no entry
            size_t eq = line.find('=');
            if (eq == std::string::npos || eq != kl || line.compare(0, eq, key) != 0) continue;
            std::string value = line.substr(eq + 1);
            LOG_V(TAG_UTILS, "key: %s, value: %s", key, value.c_str());
            return heap_copy(value);
        }
    } catch (...) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
    }
    return nullptr;
}

// ---- storage measurements ----------------------------------------------------------------

uint64_t nimbo_utils_get_directory_size(const char* path) {
    if (path == nullptr) return 0;
    uint64_t total = 0;
    return sum_tree(path, &total) ? total : 0;
}

uint64_t nimbo_utils_get_free_space(const char* path) {
    uint64_t free = 0;
    if (path == nullptr || !free_bytes(path, &free)) return 0;
    return free;
}

int nimbo_utils_check_and_report_free_space(const char* path, uint64_t threshold) {
    uint64_t free = 0;
    if (path == nullptr || !free_bytes(path, &free) || free == 0) {
        LOG_W(TAG_UTILS, "Failed to retrieve free space information for %s", path ? path : "");
        return NIMBO_ERR_FAILED;
    }
    LOG_I(TAG_UTILS, "Free space on %s: %llu bytes, threshold: %llu", path,
          static_cast<unsigned long long>(free), static_cast<unsigned long long>(threshold));
    if (free > threshold) return 0;
    if (hwlink_cleanup_of_space() == 0) {
        if (!free_bytes(path, &free)) free = 0;
        LOG_I(TAG_UTILS, "Try to free up a little space, the remaining space after cleaning is %llu bytes",
              static_cast<unsigned long long>(free));
        if (free > threshold) return 0;
    }
    LOG_W(TAG_UTILS, "Warning: Free space is below or equal to the threshold of %llu bytes!",
          static_cast<unsigned long long>(threshold));
    return NIMBO_ERR_FAILED;
}

// ---- line files ----------------------------------------------------------------------

void nimbo_utils_write_line_to_file(const char* path, const char* text, int mode) {
    if (path == nullptr || text == nullptr) {
        LOG_E(TAG_UTILS, "Error opening file for writing");
        return;
    }
    try {
        write_line(path, text, mode, false);
    } catch (...) {
        LOG_E(TAG_UTILS, "Error writing to file");
    }
}

void nimbo_utils_write_line_to_file2(const char* dir, const char* name, const char* text, int mode) {
    if (dir == nullptr || name == nullptr) {
        LOG_E(TAG_UTILS, "Error opening file for writing");
        return;
    }
    try {
        nimbo_utils_write_line_to_file(join(dir, name).c_str(), text, mode);
    } catch (...) {
        LOG_E(TAG_UTILS, "Error writing to file");
    }
}

char* nimbo_utils_read_line_from_file2(const char* path, int size) {
    if (path == nullptr || size < 1) return nullptr;
    try {
        std::string line;
        if (first_line(path, static_cast<size_t>(size), &line) != LineState::line) return nullptr;
        return heap_copy(line);
    } catch (...) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
        return nullptr;
    }
}

char* nimbo_utils_read_line_from_file(const char* path) {
    // The library reads device files (/proc, /sys) through this one: read as they are named.
    if (path == nullptr) return nullptr;
    try {
        std::string line;
        if (first_line(path, kLineBuffer, &line, false) != LineState::line) return nullptr;
        return heap_copy(line);
    } catch (...) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
        return nullptr;
    }
}

int nimbo_utils_line_matching_in_file(const char* path, const char* text) {
    if (path == nullptr || text == nullptr) return NIMBO_ERR_FAILED;
    try {
        FilePtr file{::fopen(path, "re")};
        if (!file) {
            LOG_W(TAG_UTILS, "Error opening file for reading[%s]", path);
            return NIMBO_ERR_FAILED;
        }
        // Whole lines: a piece of a longer line must not pass for a line of its own.
        std::string line;
        size_t tl = strlen(text);
        while (nimbo::read_line(file.get(), &line, std::max(tl, kLineBuffer))) {
            strip_one(&line, '\n');
            if (line == text) return 0;
        }
    } catch (...) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
    }
    return NIMBO_ERR_FAILED;
}

void nimbo_utils_delete_file(const char* path) {
    if (path == nullptr) return;
    char dir[NIMBO_PATH_MAX];
    const char* name = nimbo::split_path(path, dir, sizeof dir);
    if (name == nullptr) {
        LOG_E(TAG_UTILS, "%s, Error deleting file", path);
        return;
    }
    UniqueFd folder = nimbo::open_folder(dir, false, TAG_UTILS);
    if (!folder && errno == ENOENT) {
        LOG_V(TAG_UTILS, "%s, file not exists.", path);
        return;
    }
    // The removal reaches the disk now (unlink_at syncs the folder): a task file or a stored
    // reply that comes back after a power loss would run the task or send its final reply a
    // second time.
    if (!folder || nimbo::unlink_at(folder.get(), name) != 0) {
        if (folder && errno == ENOENT) {
            LOG_V(TAG_UTILS, "%s, file not exists.", path);
            return;
        }
        LOG_E(TAG_UTILS, "%s, Error deleting file", path);
        return;
    }
    LOG_D(TAG_UTILS, "%s, File deleted successfully.", path);
}

void nimbo_utils_delete_file2(const char* dir, const char* name) {
    if (dir == nullptr || name == nullptr) return;
    try {
        nimbo_utils_delete_file(join(dir, name).c_str());
    } catch (...) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
    }
}

// ---- configuration and the persisted server URL ------------------------------------

int nimbo_utils_get_executable_folder_path(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return NIMBO_ERR_INVALID;
    buffer[0] = '\0';
    char exe[PATH_MAX];
    // "/proc/self/exe" is never mapped under the device root: it is this program.
    ssize_t n = ::readlink(nimbo::dev::kSelfExe, exe, sizeof exe - 1);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof exe - 1) return NIMBO_ERR_FAILED;
    exe[n] = '\0';
    char* slash = strrchr(exe, '/');
    if (slash == nullptr) return NIMBO_ERR_FAILED;
    *slash = '\0';
    size_t len = strlen(exe);
    if (len >= size) return NIMBO_ERR_FAILED;  // a cut directory would name another place
    memcpy(buffer, exe, len + 1);
    return 0;
}

int nimbo_utils_get_server_url(char* out, int* out_len) {
    if (out == nullptr || out_len == nullptr) return NIMBO_ERR_INVALID;
    try {
        std::string persistent = url_file(kUrlPersistent), plain = url_file(kUrlPlain);
        const std::string* chosen = nullptr;
        if (::access(persistent.c_str(), R_OK) == 0)
            chosen = &persistent;
        else if (::access(plain.c_str(), R_OK) == 0)
            chosen = &plain;
        else
            return NIMBO_ERR_FAILED;
        std::string url;
        if (first_line(chosen->c_str(), kLineBuffer, &url) != LineState::line || url.empty()) return NIMBO_ERR_FAILED;
        if (url.size() >= NIMBO_SERVER_URL_SIZE) {
            LOG_E(TAG_UTILS, "server url in %s longer than %d characters, ignored", chosen->c_str(),
                  NIMBO_SERVER_URL_SIZE - 1);
            return NIMBO_ERR_FAILED;
        }
        memset(out, 0, NIMBO_SERVER_URL_SIZE);
        memcpy(out, url.data(), url.size());
        *out_len = static_cast<int>(url.size());
        return 0;
    } catch (...) {
        return NIMBO_ERR_FAILED;
    }
}

int nimbo_utils_save_server_url(const char* url, int persistent) {
    if (url == nullptr || *url == '\0') return NIMBO_ERR_INVALID;
    if (strlen(url) >= NIMBO_SERVER_URL_SIZE) {
        LOG_E(TAG_UTILS, "server url longer than %d characters refused", NIMBO_SERVER_URL_SIZE - 1);
        return NIMBO_ERR_INVALID;
    }
    try {
        std::string keep = url_file(persistent == 1 ? kUrlPersistent : kUrlPlain);
        std::string drop = url_file(persistent == 1 ? kUrlPlain : kUrlPersistent);
        // The new file first: a failed write leaves the URL in force at the next start as it was.
        if (write_line(keep.c_str(), url, 0, true) != WriteResult::ok) return NIMBO_ERR_FAILED;
        nimbo_utils_delete_file(drop.c_str());
        return 0;
    } catch (...) {
        return NIMBO_ERR_FAILED;
    }
}

}  // extern "C"

