// Opening a file for writing without ever following a symbolic link (see nofollow_open.h).
#include "nofollow_open.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nimbo {

namespace {

// Why an open that did not succeed failed: O_NOFOLLOW gives ELOOP for a link at the path,
// O_EXCL gives EEXIST for anything there, a link included.
NofollowRefusal classify_failure(int dir, const char* name, int err) noexcept {
    if (err == ELOOP || err == EEXIST || err == ENXIO || err == EISDIR) {
        struct stat st;
        if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(st.st_mode)) return NofollowRefusal::link;
            if (!S_ISREG(st.st_mode)) return NofollowRefusal::not_regular;
        }
    }
    return NofollowRefusal::failed;
}

}  // namespace

int nofollow_openat(int dir, const char* name, int flags, mode_t mode, NofollowRefusal* why) noexcept {
    NofollowRefusal dummy;
    if (why == nullptr) why = &dummy;
    *why = NofollowRefusal::failed;
    if (!plain_name(name)) {
        errno = EINVAL;
        return -1;
    }
    const bool truncate = (flags & O_TRUNC) != 0;
    // Non-blocking while it is examined: a FIFO at the path must not hang the writer.
    int fd = ::openat(dir, name, (flags & ~O_TRUNC) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
    if (fd < 0) {
        int err = errno;
        *why = classify_failure(dir, name, err);
        errno = err;
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) {
        ::close(fd);
        *why = NofollowRefusal::not_regular;
        errno = EINVAL;
        return -1;
    }
    int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0 || (truncate && ::ftruncate(fd, 0) != 0)) {
        int err = errno;
        ::close(fd);
        *why = NofollowRefusal::failed;
        errno = err;
        return -1;
    }
    *why = NofollowRefusal::none;
    return fd;
}

int nofollow_open_in(const char* path, int flags, mode_t mode, NofollowRefusal* why, FolderError* folder) noexcept {
    NofollowRefusal dummy;
    if (why == nullptr) why = &dummy;
    *why = NofollowRefusal::failed;
    if (folder != nullptr) *folder = FolderError{};
    char dir_path[NIMBO_PATH_MAX];
    const char* name = path == nullptr ? nullptr : split_path(path, dir_path, sizeof dir_path);
    if (name == nullptr) {
        errno = EINVAL;
        return -1;
    }
    FolderError local;
    if (folder == nullptr) folder = &local;
    int dir = folder_handle(dir_path, false, folder);
    if (dir < 0) {
        int err = errno;
        if (folder->why == FolderRefusal::link || folder->why == FolderRefusal::not_folder)
            *why = NofollowRefusal::folder;
        errno = err;
        return -1;
    }
    int fd = nofollow_openat(dir, name, flags, mode, why);
    int err = errno;
    ::close(dir);
    errno = err;
    return fd;
}

int nofollow_open(const char* path, int flags, mode_t mode, NofollowRefusal* why) noexcept {
    return nofollow_open_in(path, flags, mode, why, nullptr);
}

const char* nofollow_refusal_text(NofollowRefusal why) noexcept {
    switch (why) {
        case NofollowRefusal::none: return "";
        case NofollowRefusal::link: return "is a symbolic link";
        case NofollowRefusal::not_regular: return "is not a plain regular file";
        case NofollowRefusal::folder: return "lies under a symbolic link or no folder";
        case NofollowRefusal::failed: break;
    }
    return "could not be opened";
}

}  // namespace nimbo
