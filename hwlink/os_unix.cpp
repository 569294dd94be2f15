// Operating-system layer of the supplicant client family: thin wrappers over POSIX.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "elog.h"
#include "hwlink_private.h"
#include "log_tags.h"
#include "nofollow_open.h"
#include "wpa_ctrl.h"

int hw::write_pid_file(const char* path) {
    nimbo::NofollowRefusal why = nimbo::NofollowRefusal::none;
    UniqueFd fd(nimbo::nofollow_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644, &why));
    if (fd.get() < 0) {
        if (why == nimbo::NofollowRefusal::link || why == nimbo::NofollowRefusal::not_regular)
            LOG_E(TAG_HWLINK, "%s %s: not followed, nothing written", path, nimbo::nofollow_refusal_text(why));
        return -1;
    }
    char line[32];
    int n = snprintf(line, sizeof line, "%u\n", (unsigned)getpid());
    return write(fd.get(), line, (size_t)n) == n ? 0 : -1;
}

extern "C" {

void os_sleep(os_time_t sec, os_time_t usec) {
    if (sec) sleep((unsigned)sec);
    if (usec) usleep((useconds_t)usec);
}

int os_get_time(struct os_time* t) {
    struct timeval tv;
    int res = gettimeofday(&tv, nullptr);
    t->sec = tv.tv_sec;
    t->usec = tv.tv_usec;
    return res;
}

int os_mktime(int year, int month, int day, int hour, int min, int sec, os_time_t* t) {
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || min < 0 ||
        min > 59 || sec < 0 || sec > 60)
        return -1;
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    time_t local = mktime(&tm);
    // mktime read the fields as local time: add the local-minus-UTC offset of that instant.
    time_t offset = 0;
    struct tm lt, ut;
    if (localtime_r(&local, &lt) && gmtime_r(&local, &ut)) {
        ut.tm_isdst = lt.tm_isdst;
        offset = mktime(&lt) - mktime(&ut);
    }
    *t = (os_time_t)(local + offset);
    return 0;
}

int os_daemonize(const char* pid_file) {
    if (daemon(0, 0)) {
        perror("daemon");
        return -1;
    }
    if (pid_file && hw::write_pid_file(pid_file) != 0) return -1;
    return 0;
}

void os_daemonize_terminate(const char* pid_file) {
    if (pid_file) unlink(pid_file);
}

int os_get_random(unsigned char* buf, size_t len) {
    FilePtr f(fopen("/dev/urandom", "rb"));
    if (!f) {
        printf("Could not open /dev/urandom.\n");
        return -1;
    }
    size_t rc = fread(buf, 1, len, f.get());
    return rc != len ? -1 : 0;
}

unsigned long os_random(void) { return (unsigned long)random(); }

char* os_rel2abs_path(const char* rel_path) {
    if (rel_path == nullptr) return nullptr;
    if (rel_path[0] == '/') return strdup(rel_path);
    size_t size = 128;
    CText buf;
    for (;;) {
        char* grown = (char*)realloc(buf.get(), size);
        if (grown == nullptr) return nullptr;
        (void)buf.release();
        buf.reset(grown);
        if (getcwd(buf.get(), size) != nullptr) break;
        if (errno != ERANGE || size > (1u << 20)) return nullptr;
        size *= 2;
    }
    size_t cwd_len = strlen(buf.get()), rel_len = strlen(rel_path);
    char* ret = (char*)malloc(cwd_len + 1 + rel_len + 1);
    if (ret) {
        memcpy(ret, buf.get(), cwd_len);
        ret[cwd_len] = '/';
        memcpy(ret + cwd_len + 1, rel_path, rel_len + 1);
    }
    return ret;
}

int os_program_init(void) { return 0; }

void os_program_deinit(void) {}

int os_setenv(const char* name, const char* value, int overwrite) { return setenv(name, value, overwrite); }

int os_unsetenv(const char* name) { return unsetenv(name); }

char* os_readfile(const char* name, size_t* len) {
    FilePtr f(fopen(name, "rb"));
    if (!f) return nullptr;
    if (fseek(f.get(), 0, SEEK_END) != 0) return nullptr;
    long size = ftell(f.get());
    if (size < 0 || fseek(f.get(), 0, SEEK_SET) != 0) return nullptr;
    CText buf((char*)malloc((size_t)size + 1));  // one spare byte: callers may terminate it
    if (!buf || fread(buf.get(), 1, (size_t)size, f.get()) != (size_t)size) return nullptr;
    buf.get()[size] = '\0';
    if (len) *len = (size_t)size;
    return buf.release();
}

void* os_zalloc(size_t size) { return calloc(1, size); }

size_t os_strlcpy(char* dest, const char* src, size_t siz) {
    size_t src_len = strlen(src);
    if (siz != 0) {
        size_t n = src_len < siz - 1 ? src_len : siz - 1;
        memcpy(dest, src, n);
        dest[n] = '\0';
    }
    return src_len;
}

}  // extern "C"
