// The task command file is read whole: a stored command longer than a line buffer still
// resumes intact.
#include "tasks/nimbo_utils_task.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "c_handles.hpp"
#include "json/json_utils.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

namespace {

// A stored request is at most a few KiB (the request record bounds it).
constexpr size_t kMaxTaskFileBytes = 1u << 20;

constexpr const char* kFinishedTasksName = "finished_tasks";
// kFinishedTasksKept taskIds of at most 255 bytes, each escaped at most six-fold.
constexpr size_t kMaxFinishedBytes = 64u << 10;
constexpr size_t kMaxTaskIdBytes = 255;

// One read-modify-write of the record at a time (workers end on their own threads).
std::mutex g_finished_mutex;

// The record's text; never through a symbolic link. False when missing or unreadable.
bool read_record(const std::string& path, std::string* text) {
    text->clear();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) LOG_W(TAG_UTILS, "finished task record %s not readable: %s", path.c_str(), strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        LOG_W(TAG_UTILS, "finished task record %s is not a regular file, ignored", path.c_str());
        return false;
    }
    if (!nimbo::read_file(path, text, kMaxFinishedBytes, false)) {
        LOG_W(TAG_UTILS, "finished task record %s not readable or over %zu bytes, ignored", path.c_str(),
              kMaxFinishedBytes);
        return false;
    }
    return true;
}

// The one writer of the record: atomic replacement, which renames over a symbolic link in its
// place rather than writing through it.
bool write_record(const std::string& path, const std::string& text) {
    return nimbo::replace_file(path, text);
}

std::vector<std::string> parse_record(const std::string& path, const std::string& text) {
    std::vector<std::string> ids;
    JsonPtr root{cJSON_ParseWithLength(text.data(), text.size())};
    if (!root || !cJSON_IsArray(root.get())) {
        LOG_W(TAG_UTILS, "finished task record %s damaged, started anew", path.c_str());
        return ids;
    }
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, root.get()) {
        if (!cJSON_IsString(item) || item->valuestring[0] == '\0') continue;
        std::string id = item->valuestring;
        if (id.size() <= kMaxTaskIdBytes) ids.push_back(std::move(id));
    }
    return ids;
}

std::vector<std::string> load_record(const std::string& path) {
    std::string text;
    if (!read_record(path, &text)) return {};
    return parse_record(path, text);
}

}  // namespace

bool nimbo::read_task_command(const std::string& path, std::string* text) {
    text->clear();
    // A link at the task file names no task of ours: what it points to is never read.
    errno = 0;
    if (!nimbo::read_file(path, text, kMaxTaskFileBytes, false)) {
        if (errno == ELOOP)
            LOG_W(TAG_UTILS, "%s is a symbolic link: not followed, no pending task", path.c_str());
        else
            LOG_W(TAG_UTILS, "Error opening file for reading[%s]", path.c_str());
        text->clear();
        return false;
    }
    if (!text->empty() && text->back() == '\n') text->pop_back();
    return !text->empty();
}

extern "C" int nimbo_utils_cmd_file_compare(const char* path, const char* task_id, char* /*out*/, int* /*out_len*/) {
    if (path == nullptr) return 0;
    std::string stored;
    if (!nimbo::read_task_command(path, &stored)) return 0;  // no pending task

    RequestCmd request;
    int rc = json_utils_jsonstr_to_request_cmd(stored.c_str(), g_device_serialno, &request);
    if (rc != 0) {
        nimbo_utils_delete_file(path);
        return NIMBO_ERR_INVALID;
    }
    if (std::strcmp(request.taskId, task_id ? task_id : "") == 0) return 0;
    LOG_W(TAG_UTILS, "The last mission is still in progress, cmd: %s, taskId: %s", request.cmd, request.taskId);
    return NIMBO_HANDLED;
}

// ---- finished long tasks -------------------------------------------------------------

std::string nimbo::finished_tasks_path() { return std::string(g_nimbo_data_path) + "/" + kFinishedTasksName; }

std::vector<std::string> nimbo::finished_tasks(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_finished_mutex);
    return load_record(path);
}

bool nimbo::task_finished(const std::string& path, const std::string& task_id) {
    if (task_id.empty()) return false;
    std::vector<std::string> ids = finished_tasks(path);
    return std::find(ids.begin(), ids.end(), task_id) != ids.end();
}

bool nimbo::record_finished_task(const std::string& path, const std::string& task_id, size_t keep) {
    if (task_id.empty() || task_id.size() > kMaxTaskIdBytes || keep == 0) return false;
    std::lock_guard<std::mutex> lock(g_finished_mutex);
    std::vector<std::string> ids = load_record(path);
    ids.erase(std::remove(ids.begin(), ids.end(), task_id), ids.end());
    ids.push_back(task_id);
    if (ids.size() > keep) ids.erase(ids.begin(), ids.end() - static_cast<std::ptrdiff_t>(keep));

    JsonPtr array{cJSON_CreateArray()};
    if (!array) return false;
    for (const std::string& id : ids) {
        cJSON* item = cJSON_CreateString(id.c_str());
        if (item == nullptr || !cJSON_AddItemToArray(array.get(), item)) {
            cJSON_Delete(item);
            return false;
        }
    }
    JsonText text{cJSON_PrintUnformatted(array.get())};
    if (!text || !write_record(path, std::string(text.get()) + "\n")) {
        LOG_E(TAG_UTILS, "finished task[%s] could not be recorded in %s", task_id.c_str(), path.c_str());
        return false;
    }
    return true;
}
