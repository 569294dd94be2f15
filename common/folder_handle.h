// The folders the service writes under, opened once and held, and every change made
// relative to those handles.
//
// The service runs as root: a symbolic link planted in place of one of its folders (the
// data, download, cache, log, payment order, installed-packages or poster folder, or any
// folder above them) would send its writes, renames and clean-ups into another program's
// folder. A folder is therefore opened component by component from the device root
// (device_path.h) with O_DIRECTORY | O_NOFOLLOW: a link, or anything but a folder, where a
// folder must be is refused and nothing below it is touched. The handle is held for the
// life of the process (re-opened when the folder was removed) and files are created,
// replaced, renamed, deleted and listed relative to it (openat, renameat, unlinkat,
// mkdirat, fdopendir). Clean-ups never descend through a link.
//
// The device root itself is the operator's choice and is opened as it is named; on the
// terminal it is "/" and every component is checked.
//
// Plain C++ without the C++ runtime: the device-access library and the logging library use
// it too.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include "device_path.h"

namespace nimbo {

enum class FolderRefusal {
    none,
    link,        // a symbolic link stands where a folder must be
    not_folder,  // a file, device, FIFO or socket stands where a folder must be
    missing,     // a folder on the way does not exist (and was not to be created)
    failed,      // the open or creation failed for another reason (errno kept)
};

// Why a folder was not opened, and which component stopped it.
struct FolderError {
    FolderRefusal why = FolderRefusal::none;
    int err = 0;                   // errno of the step that failed
    char where[NIMBO_PATH_MAX] = {};  // the path up to the refused component
};

// "is a symbolic link", "is not a folder", "does not exist", "could not be opened".
const char* folder_refusal_text(FolderRefusal why) noexcept;

// Opens the folder `path` by walking it from the device root (or from "/" when `path` lies
// outside it, from the working folder when it is relative), each component with
// O_DIRECTORY | O_NOFOLLOW; with `create`, missing components are made (mode 0755).
// ".." is refused. Returns a new descriptor the caller owns, or -1 with `*error` set
// (`error` may be null); `created` (may be null) is told each folder made.
// Told the path of each folder folder_open made.
using FolderCreated = void (*)(const char* path);

int folder_open(const char* path, bool create, FolderError* error, FolderCreated created = nullptr) noexcept;

// The held handle of the folder `path` (opened through folder_open the first time, and
// again when the folder was removed since): a duplicate the caller owns and closes, or -1
// with `*error` set. At most 32 folders are held (the least recently used is let go). The
// device-access library is built with NIMBO_FOLDERS_NOT_HELD: it holds nothing of its own
// and walks the folder afresh at every call.
int folder_handle(const char* path, bool create, FolderError* error, FolderCreated created = nullptr) noexcept;

// Splits `path` into its folder (written to `dir`, "." when there is none, "/" for the
// root) and returns its last component; nullptr when that is empty, "." or "..", or when
// the folder does not fit `size`.
const char* split_path(const char* path, char* dir, size_t size) noexcept;

// True when `name` is one plain component (not empty, no '/', not "." or "..").
bool plain_name(const char* name) noexcept;

// ---- changes relative to a folder handle ----------------------------------------------

// Replaces `name` in the folder atomically: a hidden temporary in the same folder, fsync,
// renameat over `name`, fsync of the folder. A link at `name` is replaced itself, never
// followed (`*was_link` says so; may be null); the mode of a plain file there is kept.
// A folder at `name` makes the rename fail and stays, unless `folder_gives_way` (the
// service's own state files, where a folder is only ever damage): then it is removed with
// its content (never through a link) once the new content is in the temporary.
// 0, or -1 when the temporary could not be created, -2 when writing, fsync or the rename
// failed (the temporary is removed, `name` is unchanged); errno kept.
int replace_at(int dir, const char* name, const void* data, size_t size, bool* was_link,
               bool folder_gives_way = false) noexcept;

// Removes the file `name` (a link as a link) and makes the removal durable (fsync of the
// folder). 0, or -1 with errno (ENOENT when nothing is there).
int unlink_at(int dir, const char* name) noexcept;

// Removes `name` and, when it is a folder (never a link to one), everything below it.
// 0, or -1 when something could not be removed.
int remove_tree_at(int dir, const char* name) noexcept;

// Empties the folder: every entry removed, sub-folders with their content, links as links.
// 0, or -1 when something could not be removed or the folder could not be listed.
int clear_at(int dir) noexcept;

// Creates the folder `name` with `mode` and opens it (O_DIRECTORY | O_NOFOLLOW); an existing
// folder is opened as it is. A new descriptor, or -1.
int mkdir_at(int dir, const char* name, mode_t mode) noexcept;

// Moves `from` in `from_dir` to `to` in `to_dir` (replacing it): renameat, or across file
// systems a copy into a hidden temporary of `to_dir`, fsync, renameat, then the source
// removed. Only a plain regular file is moved this way. 0, or -1 with errno.
int move_at(int from_dir, const char* from, int to_dir, const char* to) noexcept;

}  // namespace nimbo
