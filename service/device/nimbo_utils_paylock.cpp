// The payment process holds a POSIX record lock on its lock file while a payment runs;
// the service only asks whether a write lock could be placed.
//
// The lock file lies in the world-writable temporary folder, so anyone may plant something
// else at its path. Only a regular file is ever opened (never through a link, never a
// device node or a FIFO, whose open could block or act on a device); anything else there is
// no payment application's lock, so no payment is running.
#include "device/nimbo_utils_paylock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "c_handles.hpp"
#include "device_files.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"
#include "util/nimbo_utils.h"

namespace {

const char* kind_of(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device node";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

int not_a_lock(const std::string& path, mode_t mode) {
    LOG_W(TAG_UTILS, "payment lock %s is %s, not a regular file: no payment running", path.c_str(), kind_of(mode));
    return 0;
}

}  // namespace

extern "C" int nimbo_utils_check_paylock_state(void) {
    std::string path = nimbo::device_path(nimbo::dev::kPayLock);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return 0;  // no lock file: no payment
    if (!S_ISREG(st.st_mode)) return not_a_lock(path, st.st_mode);
    // Read-only is enough to ask about a lock; O_NOFOLLOW and O_NONBLOCK keep a link or a
    // FIFO swapped in after the check above from being followed or blocking the probe.
    UniqueFd fd{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (!fd) {
        if (errno == ELOOP) return not_a_lock(path, S_IFLNK);
        if (errno == ENOENT) return 0;
        LOG_E(TAG_UTILS, "open file[%s] failed", path.c_str());
        return NIMBO_ERR_FAILED;
    }
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return not_a_lock(path, st.st_mode);
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    int rc = ::fcntl(fd.get(), F_GETLK, &lock);
    fd.reset();
    if (rc < 0) {
        LOG_E(TAG_UTILS, "fcntl F_GETLK faled");
        return NIMBO_ERR_FAILED;
    }
    if (lock.l_type != F_RDLCK && lock.l_type != F_UNLCK && lock.l_pid != 0) {
        LOG_I(TAG_UTILS, "%s is locked by pid %d", path.c_str(), static_cast<int>(lock.l_pid));
        return NIMBO_ERR_PAYING;
    }
    return 0;
}
