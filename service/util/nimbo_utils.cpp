// The service's utility module: strings, time, files and directories, line files, the
// configuration step and the persisted management-server URL (log tag "nimbo_utils").
#include "nimbo_utils.h"

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
#include "final_ack.h"
#include "hwlink.h"
#include "ini_utils.h"
#include "kx_log.h"
#include "log_tags.h"
#include "mqtt_utils_async.h"
#include "nimbo_globals.h"
#include "ntp_utils.h"
#include "result_codes.h"
#include "retry_spread.h"

namespace {

using DirPtr = std::unique_ptr<DIR, CFree<closedir>>;
using IniSectionsPtr = std::unique_ptr<IniSection, CFree<ini_utils_free_config>>;

// 2024-12-31 16:00:01 UTC: a clock below this has plainly never been set.
constexpr time_t kClockPlausible = 1735660801;
constexpr size_t kLineBuffer = 1024;  // line files are read through 1024-byte buffers

void strip_one(std::string* text, char c) {
    if (!text->empty() && text->back() == c) text->pop_back();
}

// Copies `text` into a fixed field with its terminator; false (field untouched) when it
// does not fit.
template <size_t N>
bool copy_field(char (&field)[N], const std::string& text) {
    if (text.size() >= N) return false;
    memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

std::string join(const char* dir, const char* name) { return std::string(dir) + "/" + name; }

bool is_dir(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- atomic replacement ---------------------------------------------------------------

enum class WriteResult { ok, open_failed, write_failed };

bool write_all(int fd, const std::string& content) {
    const char* p = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// Removes the temporary file unless the rename took it over.
struct TempGuard {
    std::string path;
    bool armed = true;
    ~TempGuard() {
        if (armed && !path.empty()) ::unlink(path.c_str());
    }
};

WriteResult replace_checked(const std::string& path, const std::string& content) {
    const std::string& target = path;
    mode_t mode = 0644;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode))
            // The rename below replaces the link itself: what it names is never written.
            LOG_W(TAG_UTILS, "%s is a symbolic link: replaced by a file, not followed", path.c_str());
        else
            mode = st.st_mode & 07777;
    }
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // Hidden, so that a search by the file's own name prefix never meets a leftover.
    TempGuard tmp;
    tmp.path = dir + "/." + base.substr(0, 200) + ".XXXXXX";
    UniqueFd fd{::mkostemp(&tmp.path[0], O_CLOEXEC)};
    if (!fd) {
        tmp.path.clear();
        return WriteResult::open_failed;
    }
    if (::fchmod(fd.get(), mode) != 0 || !write_all(fd.get(), content) || ::fsync(fd.get()) != 0)
        return WriteResult::write_failed;
    fd.reset();
    if (::rename(tmp.path.c_str(), target.c_str()) != 0) return WriteResult::write_failed;
    tmp.armed = false;
    UniqueFd dfd{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dfd && ::fsync(dfd.get()) != 0 && errno != EINVAL)
        LOG_W(TAG_UTILS, "fsync of directory %s failed: %s", dir.c_str(), strerror(errno));
    return WriteResult::ok;
}

// The line-file writer with its log lines; mode 1 appends, anything else replaces.
WriteResult write_line(const char* path, const char* text, int mode) {
    WriteResult result;
    if (mode == 1) {
        UniqueFd fd{nimbo::open_for_write(path, O_WRONLY | O_APPEND | O_CREAT, 0644, TAG_UTILS)};
        FilePtr file{fd ? ::fdopen(fd.get(), "a") : nullptr};
        if (file) (void)fd.release();
        if (!file) {
            result = WriteResult::open_failed;
        } else {
            bool ok = ::fprintf(file.get(), "%s\n", text) >= 0;
            ok = ::fflush(file.get()) == 0 && ok;
            result = ok ? WriteResult::ok : WriteResult::write_failed;
        }
    } else {
        result = replace_checked(path, std::string(text) + "\n");
    }
    if (result == WriteResult::open_failed) LOG_E(TAG_UTILS, "Error opening file for writing");
    if (result == WriteResult::write_failed) LOG_E(TAG_UTILS, "Error writing to file");
    return result;
}

// ---- reading ---------------------------------------------------------------------------

enum class LineState { unreadable, empty, line };

// First line of a file without its line feed, at most `size` - 1 characters.
LineState first_line(const char* path, size_t size, std::string* out) {
    FilePtr file{::fopen(path, "re")};
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

// Examines one prefix of a path being created: 0 when it is (or now is) a directory.
int ensure_one(const char* prefix, bool whole) {
    struct stat st;
    if (::stat(prefix, &st) == 0) {
        if (S_ISDIR(st.st_mode)) return 0;
        if (whole)
            LOG_E(TAG_UTILS, "Path '%s' is not a directory\n", prefix);
        else
            LOG_E(TAG_UTILS, "Path '%s' is not a directory", prefix);
        return -1;
    }
    if (::mkdir(prefix, 0755) != 0) {
        if (errno == EEXIST && is_dir(prefix)) return 0;  // created by someone else meanwhile
        LOG_E(TAG_UTILS, "Error creating directory");
        return -1;
    }
    LOG_D(TAG_UTILS, "create '%s'", prefix);
    return 0;
}

void clear_directory(const std::string& path) {
    DirPtr dir{::opendir(path.c_str())};
    if (!dir) {
        LOG_E(TAG_UTILS, "opendir failed, %s", path.c_str());
        return;
    }
    while (struct dirent* entry = ::readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        std::string child = path + "/" + entry->d_name;
        struct stat st;
        // lstat: a link is removed as a link, never followed out of the directory.
        if (::lstat(child.c_str(), &st) != 0) {
            LOG_E(TAG_UTILS, "stat");
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            clear_directory(child);
            ::rmdir(child.c_str());
        } else {
            ::unlink(child.c_str());
        }
    }
}

bool find_files(const std::string& path, const char* prefix, size_t prefix_len, bool recurse,
                std::vector<std::string>* out) {
    DirPtr dir{::opendir(path.c_str())};
    if (!dir) {
        LOG_E(TAG_UTILS, "opendir");
        return false;
    }
    while (struct dirent* entry = ::readdir(dir.get())) {
        std::string child = path + "/" + entry->d_name;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::lstat(child.c_str(), &st) != 0) continue;
            type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_UNKNOWN;
        }
        if (type == DT_REG) {
            if (strncmp(entry->d_name, prefix, prefix_len) == 0) out->push_back(std::move(child));
        } else if (type == DT_DIR && recurse) {
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
            find_files(child, prefix, prefix_len, recurse, out);
        }
    }
    return true;
}

// ---- configuration -----------------------------------------------------------------

struct IniValues {
    std::string server_url, data_path, device_name, ca_file;
    bool presence = false;
};

bool parse_dimension(const char* key, const char* text, int* out) {
    char* end = nullptr;
    errno = 0;
    long v = ::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v <= 0 || v > 100000) {
        LOG_W(TAG_UTILS, "%s=%s is not a screen size, %d kept", key, text, *out);
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

void parse_retry_spread(const char* text) {
    char* end = nullptr;
    errno = 0;
    long v = ::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > nimbo::kRetrySpreadMax) {
        LOG_W(TAG_UTILS, "retry_spread=%s is not a percentage of 0 to %d, %d kept", text, nimbo::kRetrySpreadMax,
              nimbo::retry_spread());
        return;
    }
    nimbo::set_retry_spread(static_cast<int>(v));
}

IniValues read_ini_values(const std::string& dir) {
    IniValues values;
    nimbo::set_retry_spread(0);
    final_ack::reset();
    if (dir.empty()) return values;
    std::string ini = dir + "/nimboservice.ini";
    IniConfig config = ini_utils_parse_config_file(ini.c_str());
    IniSectionsPtr sections{config.sections};
    ini_utils_print_configs(config.sections, config.count);
    for (int i = 0; i < config.count; ++i) {
        const IniSection& s = config.sections[i];
        for (int j = 0; j < s.entry_count; ++j) {
            const char* key = s.entries[j].key;
            const char* value = s.entries[j].value;
            if (strcmp(key, "server_url") == 0) {
                values.server_url = value;
            } else if (strcmp(key, "data_path") == 0) {
                values.data_path = value;
                strip_one(&values.data_path, '/');
            } else if (strcmp(key, "device_name") == 0) {
                values.device_name = value;
            } else if (strcmp(key, "ca_file") == 0) {
                values.ca_file = value;
            } else if (strcmp(key, "presence") == 0) {
                values.presence = strcmp(value, "1") == 0;
            } else if (strcmp(key, "screen_width") == 0) {
                parse_dimension(key, value, &g_device_screen_width);
            } else if (strcmp(key, "screen_height") == 0) {
                parse_dimension(key, value, &g_device_screen_height);
            } else if (strcmp(key, "retry_spread") == 0) {
                parse_retry_spread(value);
            } else if (strcmp(key, "final_ack") == 0) {
                final_ack::configure(strcmp(value, "1") == 0);
            } else if (strcmp(key, "final_ack_resend") == 0) {
                final_ack::parse_resend(value);
            }
        }
    }
    return values;
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

int open_for_write(const char* path, int flags, mode_t mode, const char* tag, NofollowRefusal* why) {
    NofollowRefusal refusal = NofollowRefusal::none;
    int fd = nofollow_open(path, flags, mode, &refusal);
    if (fd < 0 && (refusal == NofollowRefusal::link || refusal == NofollowRefusal::not_regular))
        LOG_E(tag, "%s %s: not followed, nothing written", path ? path : "", nofollow_refusal_text(refusal));
    if (why != nullptr) *why = refusal;
    return fd;
}

bool replace_file(const std::string& path, const std::string& content) {
    try {
        return replace_checked(path, content) == WriteResult::ok;
    } catch (...) {
        return false;
    }
}

bool read_file(const std::string& path, std::string* out, size_t max_bytes, bool follow_links) {
    if (out == nullptr) return false;
    out->clear();
    UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW))};
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
    char buf[1024];
    size_t len = strlen(path);
    if (len >= sizeof buf) {
        LOG_E(TAG_UTILS, "Path longer than %zu characters refused: %.64s...", sizeof buf - 1, path);
        return -1;
    }
    memcpy(buf, path, len + 1);
    for (char* p = buf + 1; *p != '\0'; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        int r = ensure_one(buf, false);
        *p = '/';
        if (r != 0) return -1;
    }
    return ensure_one(buf, true);
}

void nimbo_utils_clear_directory(const char* path) {
    if (path == nullptr) return;
    try {
        clear_directory(path);
    } catch (...) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
    }
}

int nimbo_utils_rename_file(const char* dir, const char* old_name, const char* new_name) {
    if (dir == nullptr || old_name == nullptr || new_name == nullptr) return NIMBO_ERR_INVALID;
    try {
        std::string from = join(dir, old_name), to = join(dir, new_name);
        struct stat st;
        if (::lstat(from.c_str(), &st) != 0) {
            LOG_E(TAG_UTILS, "Old file does not exist: %s", from.c_str());
            return NIMBO_ERR_FAILED;
        }
        return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : -8;
    } catch (...) {
        return NIMBO_ERR_FAILED;
    }
}

char** nimbo_utils_find_files_with_prefix(const char* dir, const char* prefix, int recurse, int* count) {
    if (count != nullptr) *count = 0;
    if (dir == nullptr || prefix == nullptr || count == nullptr) return nullptr;
    std::vector<std::string> found;
    try {
        if (!find_files(dir, prefix, strlen(prefix), recurse != 0, &found) || found.empty()) return nullptr;
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
        write_line(path, text, mode);
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
    return nimbo_utils_read_line_from_file2(path, static_cast<int>(kLineBuffer));
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
    struct stat st;
    if (::lstat(path, &st) != 0) {
        LOG_V(TAG_UTILS, "%s, file not exists.", path);
        return;
    }
    if (::remove(path) != 0) {
        LOG_E(TAG_UTILS, "%s, Error deleting file", path);
        return;
    }
    LOG_D(TAG_UTILS, "%s, File deleted successfully.", path);
    // The removal reaches the disk now: a task file or a stored reply that comes back after
    // a power loss would run the task or send its final reply a second time.
    std::string dir(path);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    UniqueFd dfd{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dfd && ::fsync(dfd.get()) != 0 && errno != EINVAL)
        LOG_W(TAG_UTILS, "fsync of directory %s failed: %s", dir.c_str(), strerror(errno));
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
        if (write_line(keep.c_str(), url, 0) != WriteResult::ok) return NIMBO_ERR_FAILED;
        nimbo_utils_delete_file(drop.c_str());
        return 0;
    } catch (...) {
        return NIMBO_ERR_FAILED;
    }
}

void nimbo_utils_ini_config_deal(void) {
    char dir[4080];
    if (nimbo_utils_get_executable_folder_path(dir, sizeof dir) != 0) dir[0] = '\0';
    try {
        nimbo::configure_from(dir);
    } catch (...) {
        LOG_E(TAG_UTILS, "Memory allocation failed");
    }
}

}  // extern "C"

void nimbo::configure_from(const std::string& ini_dir) {
    IniValues values = read_ini_values(ini_dir);

    std::string root = values.data_path.empty() ? nimbo::device_path(nimbo::dev::kUserData)
                                                : values.data_path;
    strip_one(&root, '/');
    if (!copy_field(g_device_userdata_path, root)) {
        LOG_E(TAG_UTILS, "user data path longer than %zu characters: %s", sizeof g_device_userdata_path - 1,
              root.c_str());
        copy_field(g_device_userdata_path, std::string(nimbo::dev::kUserData));
    }

    char model[256];
    memset(model, 0, sizeof model);
    int model_len = 0;
    hwlink_get_device_model(model, &model_len);
    model_len = std::max(0, std::min(model_len, static_cast<int>(sizeof model) - 1));
    std::string name(model, strnlen(model, static_cast<size_t>(model_len)));
    if (name.empty()) name = values.device_name.empty() ? std::string(NIMBO_PROGRAM_NAME) : values.device_name;
    if (name.size() >= sizeof g_device_name) {
        LOG_W(TAG_UTILS, "device name %s cut to %zu characters", name.c_str(), sizeof g_device_name - 1);
        name.resize(sizeof g_device_name - 1);
    }
    copy_field(g_device_name, name);

    // TLS: servers are verified only when the operator names a CA file (relative to the
    // program's directory when not absolute). An unreadable file still turns verification
    // on: connections then fail, never fall back to unverified ones.
    std::string ca = values.ca_file;
    if (!ca.empty() && ca[0] != '/') ca = ini_dir + "/" + ca;
    if (!ca.empty()) {
        if (::access(ca.c_str(), R_OK) != 0)
            LOG_E(TAG_UTILS, "ca_file %s cannot be read (%s): TLS connections will be refused", ca.c_str(),
                  strerror(errno));
        else
            LOG_I(TAG_UTILS, "TLS servers are verified against the CA file %s", ca.c_str());
    }
    nimbo_globals_set_ca_file(ca);
    mqtt_utils::set_presence(values.presence);

    char stored[NIMBO_SERVER_URL_SIZE];
    int stored_len = 0;
    std::string url;
    if (nimbo_utils_get_server_url(stored, &stored_len) == 0)
        url.assign(stored, static_cast<size_t>(stored_len));
    else if (!values.server_url.empty())
        url = values.server_url;
    else
        url = NIMBO_DEFAULT_SERVER_URL;
    strip_one(&url, '/');
    if (!copy_field(g_nimbo_server_url, url)) copy_field(g_nimbo_server_url, std::string(NIMBO_DEFAULT_SERVER_URL));
}
