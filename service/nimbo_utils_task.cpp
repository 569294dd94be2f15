// The task command file is read whole: a stored command longer than a line buffer still
// resumes intact.
#include "nimbo_utils_task.h"

#include <cerrno>
#include <cstring>

#include "json_utils.h"
#include "kx_log.h"
#include "nimbo_globals.h"
#include "nimbo_utils.h"

#define TAG "nimbo_utils"

namespace {

// A stored request is at most a few KiB (the request record bounds it).
constexpr size_t kMaxTaskFileBytes = 1u << 20;

}  // namespace

bool nimbo::read_task_command(const std::string& path, std::string* text) {
    text->clear();
    // A link at the task file names no task of ours: what it points to is never read.
    errno = 0;
    if (!nimbo::read_file(path, text, kMaxTaskFileBytes, false)) {
        if (errno == ELOOP)
            LOG_W(TAG, "%s is a symbolic link: not followed, no pending task", path.c_str());
        else
            LOG_W(TAG, "Error opening file for reading[%s]", path.c_str());
        text->clear();
        return false;
    }
    if (!text->empty() && text->back() == '\n') text->pop_back();
    return !text->empty();
}

bool nimbo::release_task_command(const std::string& path, const std::string& task_id) {
    std::string stored;
    if (!read_task_command(path, &stored)) return false;
    RequestCmd request;
    if (json_utils_jsonstr_to_request_cmd(stored.c_str(), g_device_serialno, &request) != 0) return false;
    if (task_id != request.taskId) return false;
    LOG_D(TAG, "task[%s] of cmd[%s] ended without a worker, task file removed", request.taskId, request.cmd);
    nimbo_utils_delete_file(path.c_str());
    return true;
}

extern "C" int nimbo_utils_cmd_file_compare(const char* path, const char* task_id, char* /*out*/, int* /*out_len*/) {
    if (path == nullptr) return 0;
    std::string stored;
    if (!nimbo::read_task_command(path, &stored)) return 0;  // no pending task

    RequestCmd request;
    int rc = json_utils_jsonstr_to_request_cmd(stored.c_str(), g_device_serialno, &request);
    if (rc != 0) {
        nimbo_utils_delete_file(path);
        return -2;
    }
    if (std::strcmp(request.taskId, task_id ? task_id : "") == 0) return 0;
    LOG_W(TAG, "The last mission is still in progress, cmd: %s, taskId: %s", request.cmd, request.taskId);
    return -10000;
}
