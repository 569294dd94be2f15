// The service's utility module (log tag "nimbo_utils"): files, strings, time, line files,
// configuration, shell runners and the management-server bootstrap.
//
// C linkage for everything: several of these are exported to the device-access library
// (see nimbo_exports.h) and the rest keep the same calling convention.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "c_handles.hpp"
#include "folder_handle.h"
#include "nimbo_exports.h"
#include "nofollow_open.h"

extern "C" {

// ---- time --------------------------------------------------------------------------
typedef struct {
    char timestamp_str[16];  // strftime "%s"
    char datetime_str[100];  // "%Y-%m-%d %H:%M:%S"
    char zone_str[50];       // "%Z"
    int64_t timestamp;
    int32_t utc_offset_hours;
} TimeInfo;

// Mode 0: ask NTP; 1: ask NTP only when the clock is plainly unset; other: never.
TimeInfo nimbo_utils_get_current_timeinfo(int mode);
char* get_current_time(void);

// ---- strings -----------------------------------------------------------------------
int nimbo_utils_string_end_with(const char* text, const char* suffix);
int starts_with(const char* text, const char* prefix);
char* nimbo_utils_string_replace(const char* text, const char* old_text, const char* new_text);
int nimbo_utils_check_string_in_array(const char* text, const char* const* array, int count);
char* nimbo_utils_get_filename_from_URL(char* url);

// ---- files and directories ---------------------------------------------------------
int is_regular_file(const char* path);
int nimbo_utils_rename_file(const char* dir, const char* old_name, const char* new_name);
char** nimbo_utils_find_files_with_prefix(const char* dir, const char* prefix, int recurse, int* count);

// ---- storage measurements ----------------------------------------------------------------
// Bytes of the files under `path` (links not followed, not counted); 0 on any error.
uint64_t nimbo_utils_get_directory_size(const char* path);
// Free bytes of the file system holding `path`; 0 when unknown.
uint64_t nimbo_utils_get_free_space(const char* path);
// 0 when the free space is strictly above `threshold` (after at most one clean-up), else -8.
int nimbo_utils_check_and_report_free_space(const char* path, uint64_t threshold);

// ---- line files ----------------------------------------------------------------------
// mode 1 appends; anything else replaces the file atomically.
void nimbo_utils_write_line_to_file2(const char* dir, const char* name, const char* text, int mode);
char* nimbo_utils_read_line_from_file2(const char* path, int size);
void nimbo_utils_delete_file2(const char* dir, const char* name);

// ---- the program's directory and the persisted server URL ---------------------------
int nimbo_utils_get_executable_folder_path(char* buffer, size_t size);
int nimbo_utils_save_server_url(const char* url, int persistent);
// `out` must have room for NIMBO_SERVER_URL_SIZE bytes; the URL is written with a
// terminating zero. A stored URL that does not fit is refused (-8), never cut.
#define NIMBO_SERVER_URL_SIZE 256
int nimbo_utils_get_server_url(char* out, int* out_len);

// ---- shell runners -------------------------------------------------------------------
typedef struct {
    char** lines;
    unsigned int count;
    unsigned int capacity;
} ShellResults;

ShellResults nimbo_utils_run_commands(const char* command);
void nimbo_utils_run_commands_without_return(const char* command);
void nimbo_utils_release_shell_results(ShellResults* results);
char* add_string_to_array(ShellResults* results, const char* text);
int nimbo_utils_run_command_by_system(const char* command);

// Reaps every finished child except those a shell runner is waiting for (their exit
// status belongs to the runner). Called by the signal thread on SIGCHLD.
void nimbo_utils_reap_children(void);

}  // extern "C"

// ---- C++ helpers for the program's own modules -------------------------------------
namespace nimbo {

// Drops one trailing `c` from `text`, when it ends with one.
inline void strip_one(std::string* text, char c) {
    if (!text->empty() && text->back() == c) text->pop_back();
}

// Copies `text` into a fixed field with its terminator; false (field untouched) when it
// does not fit.
template <size_t N>
bool copy_field(char (&field)[N], const std::string& text) {
    if (text.size() >= N) return false;
    memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

// "dir/name".
inline std::string join(const char* dir, const char* name) { return std::string(dir) + "/" + name; }

}  // namespace nimbo

namespace nimbo {

// The held handle of the folder `path` (folder_handle.h), `create`d when missing: a link or
// anything but a folder in its place or above it is refused with an error line under `tag`
// ("<component> is a symbolic link: folder refused, nothing followed"). Invalid when refused
// or missing (errno ENOENT).
UniqueFd open_folder(const char* path, bool create, const char* tag);

// Opens `path` for writing without following a symbolic link (nofollow_open), inside its held
// folder; a link or anything but a plain regular file at the path, or a link in place of a
// folder above it, is refused with an error line under `tag`.
// The descriptor, or -1 with `*why` set (when given).
int open_for_write(const char* path, int flags, mode_t mode, const char* tag, NofollowRefusal* why = nullptr);

// Opens a state file for reading the way it is written: inside its held folder, never
// through a link, a regular file with one name; anything else is ignored with an error line
// under `tag`. The descriptor, or -1 (quietly when nothing is there).
int open_for_read(const char* path, const char* tag);

// The line-file writer of nimbo_utils_write_line_to_file (mode 1 appends, anything else
// replaces atomically) for the service's own state: false, logged, when the line was not
// stored (nothing torn is left: a replaced file keeps its old content, an append is cut
// back). A folder standing at the name is damage and gives way to the file (the exported
// helper leaves it and fails).
bool write_line_file(const char* path, const char* text, int mode);

// Replaces `path` atomically: temporary file in the same directory, fsync, rename, fsync
// of the directory. A reader sees the old or the new content, never a torn one. A symbolic
// link at `path` is replaced itself (and logged), never followed; a folder there gives way.
bool replace_file(const std::string& path, const std::string& content);

// Reads a whole file (at most `max_bytes`; larger files fail). False when unreadable; with
// `follow_links` false the file is a state file opened through open_for_read.
bool read_file(const std::string& path, std::string* out, size_t max_bytes = 16u << 20, bool follow_links = true);

// Quotes a value for a POSIX shell command line: 'it'\''s'.
std::string shell_quote(const std::string& value);

// The fixed device path `abs` under the device root (see device_path.h).
std::string device_path(const char* abs);

// Reads one whole line, line feed included when there is one, into `line`. Keeps at most
// `max_len` + 1 characters of a longer line (so the caller can tell it was too long) and
// skips the rest of it. False at the end of the file.
bool read_line(std::FILE* file, std::string* line, size_t max_len = 64u << 10);

// The time record of `t`, as local time or (utc) as UTC. The timestamp text is `t` itself
// in every time zone.
TimeInfo make_timeinfo(time_t t, bool utc);

// Runs `command` through "/bin/sh -c" (default signal mask and dispositions) and collects
// its output lines (line feed removed). False when it could not be started; `status`
// receives the exit code, 1000 + the signal number when killed, -1 when it was lost.
bool run_collect(const std::string& command, std::vector<std::string>* lines, int* status);

}  // namespace nimbo
