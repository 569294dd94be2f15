// The payment process holds a POSIX record lock on its lock file while a payment runs;
// the service only asks whether a write lock could be placed.
#include "device/nimbo_utils_paylock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "c_handles.hpp"
#include "device_files.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"
#include "util/nimbo_utils.h"

extern "C" int nimbo_utils_check_paylock_state(void) {
    std::string path = nimbo::device_path(nimbo::dev::kPayLock);
    if (::access(path.c_str(), F_OK) != 0) return 0;
    UniqueFd fd{::open(path.c_str(), O_RDWR | O_CLOEXEC)};
    if (fd.get() < 1) {
        LOG_E(TAG_UTILS, "open file[%s] failed", path.c_str());
        return NIMBO_ERR_FAILED;
    }
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
