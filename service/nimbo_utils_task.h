// The task command file: the one pending long task (log tag "nimbo_utils").
#pragma once

#include <string>

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

// Removes the task file when it still holds `task_id` (a task that ended before any
// worker took it over). True when removed.
bool release_task_command(const std::string& path, const std::string& task_id);

}  // namespace nimbo
