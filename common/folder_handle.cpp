// The folders the service writes under, held open, and the changes made relative to them
// (see folder_handle.h).
#include "folder_handle.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace nimbo {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kMaxDepth = 64;  // clean-ups stop below this many nested folders
constexpr int kHeldMax = 32;   // folders held at once (the oldest is let go beyond that)

void set_error(FolderError* e, FolderRefusal why, int err, const char* where, size_t len) noexcept {
    if (e == nullptr) return;
    e->why = why;
    e->err = err;
    if (len >= sizeof e->where) len = sizeof e->where - 1;
    memcpy(e->where, where, len);
    e->where[len] = '\0';
}

void close_keep_errno(int fd) noexcept {
    int err = errno;
    ::close(fd);
    errno = err;
}

// What stands at `name` in `dir` when opening it as a folder failed with `err`.
FolderRefusal classify(int dir, const char* name, int err) noexcept {
    struct stat st;
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) return FolderRefusal::link;
        if (!S_ISDIR(st.st_mode)) return FolderRefusal::not_folder;
        return FolderRefusal::failed;
    }
    return err == ENOENT ? FolderRefusal::missing : FolderRefusal::failed;
}

// ---- the held handles -------------------------------------------------------------------

struct Held {
    char path[NIMBO_PATH_MAX];
    int fd;
    unsigned long used;
};

Held g_held[kHeldMax];
unsigned long g_clock;
pthread_mutex_t g_held_mutex = PTHREAD_MUTEX_INITIALIZER;

struct HeldLock {
    HeldLock() noexcept { pthread_mutex_lock(&g_held_mutex); }
    ~HeldLock() { pthread_mutex_unlock(&g_held_mutex); }
};

// A duplicate of the held handle of `key`, or -1 when none is held (or its folder is gone).
int held_dup(const char* key) noexcept {
    HeldLock lock;
    for (Held& h : g_held) {
        if (h.fd <= 0 || strcmp(h.path, key) != 0) continue;
        struct stat st;
        if (::fstat(h.fd, &st) != 0 || st.st_nlink == 0) {  // removed since: opened afresh
            ::close(h.fd);
            h.fd = 0;
            return -1;
        }
        h.used = ++g_clock;
        return ::fcntl(h.fd, F_DUPFD_CLOEXEC, 0);
    }
    return -1;
}

void hold(const char* key, int fd) noexcept {
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return;
    HeldLock lock;
    Held* slot = &g_held[0];
    for (Held& h : g_held) {
        if (h.fd > 0 && strcmp(h.path, key) == 0) {  // opened twice at once: keep one
            ::close(copy);
            return;
        }
        if (h.fd <= 0) {
            slot = &h;
            break;
        }
        if (h.used < slot->used) slot = &h;
    }
    if (slot->fd > 0) ::close(slot->fd);
    memcpy(slot->path, key, strlen(key) + 1);
    slot->fd = copy;
    slot->used = ++g_clock;
}

// `path` without repeated and trailing slashes, into `out`; false when it does not fit.
bool normalise(const char* path, char* out, size_t size) noexcept {
    size_t n = 0;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' && n > 0 && out[n - 1] == '/') continue;
        if (n + 1 >= size) return false;
        out[n++] = *p;
    }
    while (n > 1 && out[n - 1] == '/') --n;
    out[n] = '\0';
    return n > 0;
}

// ---- temporaries --------------------------------------------------------------------

// A hidden temporary name beside `name`: "." + name + "." + 8 random letters.
bool temp_name(const char* name, char* out, size_t size) noexcept {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[8];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != (ssize_t)sizeof bytes) {
        struct timespec ts;
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        uint64_t mix = (uint64_t)ts.tv_nsec * 2654435761u ^ (uint64_t)::getpid() << 20 ^ (uint64_t)ts.tv_sec;
        for (unsigned char& b : bytes) {
            b = (unsigned char)mix;
            mix = mix >> 8 | mix << 56;
        }
    }
    size_t nl = strnlen(name, 200);
    if (nl + 11 >= size) return false;
    out[0] = '.';
    memcpy(out + 1, name, nl);
    out[nl + 1] = '.';
    for (size_t i = 0; i < sizeof bytes; ++i) out[nl + 2 + i] = kLetters[bytes[i] % (sizeof kLetters - 1)];
    out[nl + 2 + sizeof bytes] = '\0';
    return true;
}

// Creates a new hidden temporary beside `name` in `dir`; its name goes to `tmp`.
int create_temp(int dir, const char* name, char* tmp, size_t size, mode_t mode) noexcept {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (!temp_name(name, tmp, size)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = ::openat(dir, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

bool write_all(int fd, const void* data, size_t size) noexcept {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        size -= (size_t)n;
    }
    return true;
}

void sync_folder(int dir) noexcept {
    int err = errno;
    (void)::fsync(dir);  // EINVAL on file systems without it: nothing more to do
    errno = err;
}

int clear_below(int dir, int depth) noexcept;

int remove_tree(int dir, const char* name, int depth) noexcept {
    struct stat st;
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode)) return ::unlinkat(dir, name, 0) == 0 || errno == ENOENT ? 0 : -1;
    if (depth >= kMaxDepth) {
        errno = ELOOP;
        return -1;
    }
    int sub = ::openat(dir, name, kDirFlags);
    if (sub < 0) return -1;  // replaced by a link meanwhile: not entered
    int rc = clear_below(sub, depth + 1);
    ::close(sub);
    if (::unlinkat(dir, name, AT_REMOVEDIR) != 0 && errno != ENOENT) rc = -1;
    return rc;
}

int clear_below(int dir, int depth) noexcept {
    int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return -1;
    DIR* listing = ::fdopendir(copy);
    if (listing == nullptr) {
        close_keep_errno(copy);
        return -1;
    }
    ::rewinddir(listing);
    int rc = 0;
    while (struct dirent* entry = ::readdir(listing)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        if (remove_tree(dir, entry->d_name, depth) != 0) rc = -1;
    }
    ::closedir(listing);
    return rc;
}

int copy_into(int from_fd, int to_fd) noexcept {
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(from_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) return 0;
        if (!write_all(to_fd, buf, (size_t)n)) return -1;
    }
}

}  // namespace

const char* folder_refusal_text(FolderRefusal why) noexcept {
    switch (why) {
        case FolderRefusal::none: return "";
        case FolderRefusal::link: return "is a symbolic link";
        case FolderRefusal::not_folder: return "is not a folder";
        case FolderRefusal::missing: return "does not exist";
        case FolderRefusal::failed: break;
    }
    return "could not be opened";
}

bool plain_name(const char* name) noexcept {
    return name != nullptr && name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0;
}

const char* split_path(const char* path, char* dir, size_t size) noexcept {
    if (path == nullptr || dir == nullptr || size < 2) return nullptr;
    const char* slash = strrchr(path, '/');
    const char* base = slash ? slash + 1 : path;
    if (!plain_name(base)) return nullptr;
    size_t len = slash == nullptr ? 0 : (size_t)(slash - path);
    if (slash == nullptr) {
        memcpy(dir, ".", 2);
    } else if (len == 0) {
        memcpy(dir, "/", 2);
    } else {
        if (len >= size) return nullptr;
        memcpy(dir, path, len);
        dir[len] = '\0';
    }
    return base;
}

#if defined(NIMBO_QEMU_USER)
// qemu user mode with a sysroot prefix (-L) opens "/" as the sysroot's root, while a path
// that the sysroot lacks reaches the real file system: the walk starts from the real root.
constexpr const char* kRealRoot = "/proc/self/root";
#else
constexpr const char* kRealRoot = "/";
#endif

int folder_open(const char* path, bool create, FolderError* error, FolderCreated created) noexcept {
    if (error != nullptr) *error = FolderError{};
    char walk[NIMBO_PATH_MAX];
    if (path == nullptr || *path == '\0' || !normalise(path, walk, sizeof walk)) {
        set_error(error, FolderRefusal::failed, EINVAL, "", 0);
        errno = EINVAL;
        return -1;
    }
    // Where the walk starts: the device root as the operator named it, "/" or the working folder.
    const char* root = device_root();
    size_t rl = strlen(root);
    while (rl > 0 && root[rl - 1] == '/') --rl;
    size_t start = 0;
    int fd;
    if (walk[0] == '/' && rl > 0 && strncmp(walk, root, rl) == 0 && (walk[rl] == '/' || walk[rl] == '\0')) {
        char base[NIMBO_PATH_MAX];
        memcpy(base, walk, rl);
        base[rl] = '\0';
        fd = ::open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        start = rl;
    } else {
        fd = ::open(walk[0] == '/' ? kRealRoot : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0) {
        int err = errno;
        set_error(error, FolderRefusal::failed, err, walk, start);
        errno = err;
        return -1;
    }
    size_t i = start;
    while (walk[i] != '\0') {
        while (walk[i] == '/') ++i;
        if (walk[i] == '\0') break;
        size_t end = i;
        while (walk[end] != '\0' && walk[end] != '/') ++end;
        char name[NAME_MAX + 1];
        size_t nl = end - i;
        if (nl > NAME_MAX) {
            set_error(error, FolderRefusal::failed, ENAMETOOLONG, walk, end);
            ::close(fd);
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(name, walk + i, nl);
        name[nl] = '\0';
        if (strcmp(name, ".") == 0) {
            i = end;
            continue;
        }
        if (strcmp(name, "..") == 0) {  // would leave the folder the walk checked
            set_error(error, FolderRefusal::not_folder, EINVAL, walk, end);
            ::close(fd);
            errno = EINVAL;
            return -1;
        }
        int next = ::openat(fd, name, kDirFlags);
        if (next < 0 && errno == ENOENT && create) {
            bool made = ::mkdirat(fd, name, 0755) == 0;
            if (made || errno == EEXIST) next = ::openat(fd, name, kDirFlags);
            if (made && created != nullptr) {
                char done[NIMBO_PATH_MAX];
                memcpy(done, walk, end);
                done[end] = '\0';
                created(done);
            }
        }
        if (next < 0) {
            int err = errno;
            set_error(error, classify(fd, name, err), err, walk, end);
            ::close(fd);
            errno = err;
            return -1;
        }
        ::close(fd);
        fd = next;
        i = end;
    }
    return fd;
}

int folder_handle(const char* path, bool create, FolderError* error, FolderCreated created) noexcept {
#if defined(NIMBO_FOLDERS_NOT_HELD)
    return folder_open(path, create, error, created);
#endif
    char key[NIMBO_PATH_MAX];
    if (path == nullptr || !normalise(path, key, sizeof key)) return folder_open(path, create, error, created);
    if (key[0] == '/') {
        int fd = held_dup(key);
        if (fd >= 0) {
            if (error != nullptr) *error = FolderError{};
            return fd;
        }
    }
    int fd = folder_open(key, create, error, created);
    if (fd >= 0 && key[0] == '/') hold(key, fd);  // a relative name depends on the working folder
    return fd;
}

int replace_at(int dir, const char* name, const void* data, size_t size, bool* was_link,
               bool folder_gives_way) noexcept {
    if (was_link != nullptr) *was_link = false;
    if (!plain_name(name)) {
        errno = EINVAL;
        return -1;
    }
    mode_t mode = 0644;
    bool folder_there = false;
    struct stat st;
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) {
            if (was_link != nullptr) *was_link = true;  // the rename replaces the link itself
        } else if (S_ISDIR(st.st_mode)) {
            folder_there = folder_gives_way;  // a folder where a file belongs
        } else {
            mode = st.st_mode & 07777;
        }
    }
    char tmp[NAME_MAX + 1];
    int fd = create_temp(dir, name, tmp, sizeof tmp, 0600);
    if (fd < 0) return -1;
    bool ok = ::fchmod(fd, mode) == 0 && write_all(fd, data, size) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    // A folder at a state file's name (damage, or something planted) would make every later
    // replacement fail and the state unstorable for good: it is removed, its content with
    // it, never through a link, once the new content is safely in the temporary.
    if (ok && folder_there && remove_tree_at(dir, name) != 0) {
        ok = false;
        err = errno;
    }
    if (ok && ::renameat(dir, tmp, dir, name) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlinkat(dir, tmp, 0);
        errno = err;
        return -2;
    }
    sync_folder(dir);
    return 0;
}

int unlink_at(int dir, const char* name) noexcept {
    if (!plain_name(name)) {
        errno = EINVAL;
        return -1;
    }
    if (::unlinkat(dir, name, 0) != 0) return -1;
    sync_folder(dir);
    return 0;
}

int remove_tree_at(int dir, const char* name) noexcept {
    if (!plain_name(name)) {
        errno = EINVAL;
        return -1;
    }
    int rc = remove_tree(dir, name, 0);
    sync_folder(dir);
    return rc;
}

int clear_at(int dir) noexcept {
    int rc = clear_below(dir, 0);
    sync_folder(dir);
    return rc;
}

int mkdir_at(int dir, const char* name, mode_t mode) noexcept {
    if (!plain_name(name)) {
        errno = EINVAL;
        return -1;
    }
    if (::mkdirat(dir, name, mode) != 0 && errno != EEXIST) return -1;
    return ::openat(dir, name, kDirFlags);
}

int move_at(int from_dir, const char* from, int to_dir, const char* to) noexcept {
    if (!plain_name(from) || !plain_name(to)) {
        errno = EINVAL;
        return -1;
    }
    struct stat st;
    if (::fstatat(from_dir, from, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    if (::renameat(from_dir, from, to_dir, to) == 0) {
        sync_folder(to_dir);
        sync_folder(from_dir);
        return 0;
    }
    if (errno != EXDEV) return -1;
    int in = ::openat(from_dir, from, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) return -1;
    char tmp[NAME_MAX + 1];
    int out = create_temp(to_dir, to, tmp, sizeof tmp, st.st_mode & 07777);
    if (out < 0) {
        close_keep_errno(in);
        return -1;
    }
    bool ok = copy_into(in, out) == 0 && ::fsync(out) == 0;
    int err = errno;
    ::close(in);
    if (::close(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::renameat(to_dir, tmp, to_dir, to) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlinkat(to_dir, tmp, 0);
        errno = err;
        return -1;
    }
    sync_folder(to_dir);
    ::unlinkat(from_dir, from, 0);
    sync_folder(from_dir);
    return 0;
}

}  // namespace nimbo
