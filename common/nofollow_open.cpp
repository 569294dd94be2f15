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
NofollowRefusal classify_failure(const char* path, int err) noexcept {
    if (err == ELOOP || err == EEXIST || err == ENXIO || err == EISDIR) {
        struct stat st;
        if (::lstat(path, &st) == 0) {
            if (S_ISLNK(st.st_mode)) return NofollowRefusal::link;
            if (!S_ISREG(st.st_mode)) return NofollowRefusal::not_regular;
        }
    }
    return NofollowRefusal::failed;
}

}  // namespace

int nofollow_open(const char* path, int flags, mode_t mode, NofollowRefusal* why) noexcept {
    NofollowRefusal dummy;
    if (why == nullptr) why = &dummy;
    *why = NofollowRefusal::failed;
    if (path == nullptr || *path == '\0') {
        errno = EINVAL;
        return -1;
    }
    const bool truncate = (flags & O_TRUNC) != 0;
    // Non-blocking while it is examined: a FIFO at the path must not hang the writer.
    int fd = ::open(path, (flags & ~O_TRUNC) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
    if (fd < 0) {
        int err = errno;
        *why = classify_failure(path, err);
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

const char* nofollow_refusal_text(NofollowRefusal why) noexcept {
    switch (why) {
        case NofollowRefusal::none: return "";
        case NofollowRefusal::link: return "is a symbolic link";
        case NofollowRefusal::not_regular: return "is not a plain regular file";
        case NofollowRefusal::failed: break;
    }
    return "could not be opened";
}

}  // namespace nimbo
