// Opening a file for writing without ever following a symbolic link.
//
// The folder part of a path is opened through the held folder handles (folder_handle.h):
// a link in place of any folder on the way refuses the open as well.
//
// The service runs as root: a link planted where one of its files belongs (in /tmp, in a
// data directory, among the payment application's files) must never turn a write into a
// write of the link's target. Every writer that creates or appends to a file opens it here;
// files replaced atomically are renamed over whatever stands at the path (a link included),
// which replaces the link itself.
//
// Plain C++ without the C++ runtime: the device-access library and the logging library use
// it too.
#pragma once

#include <sys/types.h>

#include "folder_handle.h"

namespace nimbo {

enum class NofollowRefusal {
    none,
    link,         // a symbolic link stands at the path
    not_regular,  // a directory, device, FIFO or socket, or a regular file with other names
    folder,       // a folder on the way is a symbolic link or no folder (see folder_handle.h)
    failed,       // the open failed for another reason (errno kept)
};

// Opens `path` with `flags` (O_WRONLY or O_RDWR with O_CREAT, O_APPEND, O_EXCL, O_TRUNC as
// needed) and `mode` for a new file; O_NOFOLLOW and O_CLOEXEC are always added. What stands
// at the path must be a regular file with a single name: nothing else is opened (and
// O_TRUNC truncates only after that check). Returns the descriptor, or -1 with `*why` set
// (`why` may be null).
int nofollow_open(const char* path, int flags, mode_t mode, NofollowRefusal* why) noexcept;

// nofollow_open, with the refused folder component reported in `*folder` (may be null).
int nofollow_open_in(const char* path, int flags, mode_t mode, NofollowRefusal* why, FolderError* folder) noexcept;

// The same rule for `name` (one plain component) in the folder handle `dir`.
int nofollow_openat(int dir, const char* name, int flags, mode_t mode, NofollowRefusal* why) noexcept;

// "is a symbolic link", "is not a plain regular file", "lies under a symbolic link or no
// folder", "could not be opened" ("" for none).
const char* nofollow_refusal_text(NofollowRefusal why) noexcept;

}  // namespace nimbo
