// Our logging library: one file, rotated by size, shared by every thread.
//
// Record: "2026-12-07 22:10:01.123 E/tag [tid] message". Records are echoed to stderr
// when stderr is a terminal or NIMBO_LOG_STDERR=1. NIMBO_LOG_LEVEL (1..5) drops records
// above that level. The file rotates at NIMBO_LOG_MAX_BYTES (default 1 MiB) into
// ".1" .. ".3", so the total stays under four times that size.
//
// The log file is never opened through a symbolic link: a link (or anything but a plain
// regular file) at its path is refused, said once on stderr, and records go to stderr.
#include "elog.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <fcntl.h>
#include <unistd.h>

#include "nofollow_open.h"

namespace {

constexpr int kKeepFiles = 3;
constexpr size_t kRecordMax = 4096;

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
FILE* g_file = nullptr;
char g_path[1024];
long g_size = 0;
long g_max_bytes = 1024 * 1024;
int g_max_level = ELOG_LVL_VERBOSE;
int g_echo = -1;  // -1: not decided yet

const char kLetters[] = "?EWIDV";

long env_long(const char* name, long fallback) {
    const char* v = getenv(name);
    if (v == nullptr || *v == '\0') return fallback;
    char* end = nullptr;
    long n = strtol(v, &end, 10);
    return (end && *end == '\0') ? n : fallback;
}

void decide_echo() {
    if (g_echo >= 0) return;
    const char* v = getenv("NIMBO_LOG_STDERR");
    g_echo = (v && strcmp(v, "1") == 0) || isatty(STDERR_FILENO) ? 1 : 0;
}

// Why the last open of the log file was refused (none when it was opened).
nimbo::NofollowRefusal g_refusal = nimbo::NofollowRefusal::none;

// Opens (creates) the log file for appending, never through a link.
FILE* open_log_locked() {
    int fd = nimbo::nofollow_open(g_path, O_WRONLY | O_APPEND | O_CREAT, 0644, &g_refusal);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "a");
    if (f == nullptr) close(fd);
    return f;
}

// After the lock is released: says why the log file was not opened (records then go to
// stderr, where this one goes too).
void report_refusal(nimbo::NofollowRefusal why, const char* path) {
    if (why == nimbo::NofollowRefusal::link || why == nimbo::NofollowRefusal::not_regular ||
        why == nimbo::NofollowRefusal::folder)
        elog_output(ELOG_LVL_ERROR, "elog", nullptr, nullptr, 0,
                    "log file %s %s: not followed, nothing written there, records go to stderr", path,
                    nimbo::nofollow_refusal_text(why));
}

void rotate_locked() {
    if (g_file == nullptr) return;
    fclose(g_file);
    g_file = nullptr;
    // Renamed inside the held log folder: a link put in its place is never followed.
    char dir_path[sizeof g_path];
    const char* name = nimbo::split_path(g_path, dir_path, sizeof dir_path);
    int dir = name ? nimbo::folder_handle(dir_path, false, nullptr) : -1;
    if (dir >= 0) {
        char from[300], to[300];
        for (int i = kKeepFiles - 1; i >= 1; --i) {
            snprintf(from, sizeof from, "%s.%d", name, i);
            snprintf(to, sizeof to, "%s.%d", name, i + 1);
            renameat(dir, from, dir, to);
        }
        snprintf(to, sizeof to, "%s.1", name);
        renameat(dir, name, dir, to);  // a link at the path is moved as a link, never followed
        close(dir);
    }
    g_file = open_log_locked();
    g_size = 0;
}

}  // namespace

extern "C" int init_easylogger(const char* path) {
    if (path == nullptr || *path == '\0') return -1;
    pthread_mutex_lock(&g_lock);
    if (g_file) fclose(g_file);
    snprintf(g_path, sizeof g_path, "%s", path);
    g_file = open_log_locked();
    struct stat st;
    g_size = (g_file && fstat(fileno(g_file), &st) == 0) ? st.st_size : 0;
    g_max_bytes = env_long("NIMBO_LOG_MAX_BYTES", g_max_bytes);
    if (g_max_bytes < 4096) g_max_bytes = 4096;
    g_max_level = (int)env_long("NIMBO_LOG_LEVEL", ELOG_LVL_VERBOSE);
    decide_echo();
    int rc = g_file ? 0 : -1;
    nimbo::NofollowRefusal why = g_refusal;
    pthread_mutex_unlock(&g_lock);
    report_refusal(why, path);
    return rc;
}

extern "C" void deinit_easylogger(void) {
    pthread_mutex_lock(&g_lock);
    if (g_file) fclose(g_file);
    g_file = nullptr;
    pthread_mutex_unlock(&g_lock);
}

extern "C" void elog_output(uint8_t level, const char* tag, const char* file, const char* func, const long line,
                            const char* format, ...) {
    (void)file;
    (void)func;
    (void)line;
    if (format == nullptr) return;
    if (level > g_max_level) return;

    char record[kRecordMax];
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    localtime_r(&tv.tv_sec, &tmv);
    int n = (int)strftime(record, sizeof record, "%Y-%m-%d %H:%M:%S", &tmv);
    n += snprintf(record + n, sizeof record - n, ".%03ld %c/%s [%ld] ", (long)(tv.tv_usec / 1000),
                  kLetters[level <= 5 ? level : 0], tag ? tag : "-", (long)syscall(SYS_gettid));
    va_list ap;
    va_start(ap, format);
    int m = vsnprintf(record + n, sizeof record - n, format, ap);
    va_end(ap);
    size_t len = (m < 0) ? (size_t)n : (size_t)n + (size_t)m;
    if (len > sizeof record - 2) {  // long records are cut, and say so
        len = sizeof record - 2;
        memcpy(record + len - 3, "...", 3);
    }
    while (len > 0 && record[len - 1] == '\n') --len;
    record[len++] = '\n';
    record[len] = '\0';

    pthread_mutex_lock(&g_lock);
    decide_echo();
    nimbo::NofollowRefusal refused = nimbo::NofollowRefusal::none;
    char refused_path[sizeof g_path];
    if (g_file) {
        fwrite(record, 1, len, g_file);
        fflush(g_file);
        g_size += (long)len;
        if (g_size >= g_max_bytes) {
            rotate_locked();
            if (g_file == nullptr) {
                refused = g_refusal;
                memcpy(refused_path, g_path, sizeof g_path);
            }
        }
    }
    if (g_file == nullptr || g_echo == 1) {
        // Nothing else is written to stderr under this lock, so records never interleave.
        ssize_t w = write(STDERR_FILENO, record, len);
        (void)w;
    }
    pthread_mutex_unlock(&g_lock);
    if (refused != nimbo::NofollowRefusal::none) report_refusal(refused, refused_path);
}
