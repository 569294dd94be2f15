// The log archive: a gzip-compressed tar of a folder, written in-process from its held
// handle (log tag "nimbo_utils").
#pragma once

namespace nimbo {

// Writes a gzip-compressed POSIX tar archive of the folder `dir` (a handle, left open) to
// the file `out` (left open), as "tar -C <dir> -cf - . | gzip" would: entries "./name",
// sub-folders with their content. Only regular files and folders are archived; a link is
// skipped, never followed, and so is a name too long for the format. A file that grows
// while it is read is archived with the size it had when it was opened. False when a file
// could not be read or the archive not written.
bool write_tar_gz(int dir, int out);

}  // namespace nimbo
