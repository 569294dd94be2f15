// The task command file: the one pending long task, and the record of the long tasks that
// finished lately (log tag "nimbo_utils").
#pragma once

#include <cstddef>
#include <string>
#include <vector>

extern "C" {

// 0: go ahead (no file, an empty one, or the same taskId); -10000: another task is
// pending, drop the command; -2: the stored text did not parse (the file is removed).
// `out` and `out_len` are not used.
int nimbo_utils_cmd_file_compare(const char* path, const char* task_id, char* out, int* out_len);

}  // extern "C"

namespace nimbo {

// The stored command text: the whole file without its final line feed. False when the
// file is missing, unreadable or empty.
bool read_task_command(const std::string& path, std::string* text);

// ---- finished long tasks -------------------------------------------------------------
// A copy of a finished task may still be on its way: the task command published to the
// device's own topic at a connection, delayed by a slow link, or a second delivery of the
// server's command. The record keeps the taskIds of the long tasks answered for good, so
// that such a copy is dropped instead of run again. "finished_tasks" in the data directory:
// a JSON array of taskIds, oldest first, at most kFinishedTasksKept; replaced atomically.

constexpr size_t kFinishedTasksKept = 32;

// The record's path in the data directory.
std::string finished_tasks_path();

// The taskIds in the record at `path`, oldest first. A missing, unreadable or damaged
// record (or a symbolic link) holds none.
std::vector<std::string> finished_tasks(const std::string& path);

// True when `task_id` (not empty) is in the record at `path`.
bool task_finished(const std::string& path, const std::string& task_id);

// Adds `task_id` (not empty) to the record at `path`, dropping the oldest beyond `keep`.
// False when it could not be stored.
bool record_finished_task(const std::string& path, const std::string& task_id, size_t keep = kFinishedTasksKept);

}  // namespace nimbo
