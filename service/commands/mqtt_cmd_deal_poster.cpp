// The "customResourcePoster" command: inserts, updates, renames, replaces and deletes the
// entries of "config.json", downloads poster files on a detached worker and tells the payment
// application (signal 99) after every change of the list. The worker, its callback and its
// record (mqtt_cmd_deal_thread_custom_resource_poster_method, custom_resource_poster_callback)
// stay here with the list operations they share with the handler.
#include "commands/mqtt_cmd_deal_poster.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "c_handles.hpp"
#include "commands/mqtt_cmd_deal.h"
#include "hwlink.h"
#include "log_tags.h"
#include "result_codes.h"
#include "tasks/curl_utils.h"
#include "tasks/ledger.h"
#include "tasks/mqtt_cmd_deal_thread.h"
#include "tasks/mqtt_cmd_deal_thread_download.h"
#include "tasks/nimbo_workers.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

namespace {

constexpr int kListChangedSignal = 99;

// The list is a few KiB on a device; a larger file is refused rather than rewritten.
constexpr size_t kMaxListBytes = 1u << 20;

using Record = CustomResourcePosterThreadParam;
using RecordPtr = std::unique_ptr<Record>;

void work(Record* p);

// A stored name that may name a poster file of the resource directory (never the list).
bool resource_file(const std::string& name) {
    return json_utils_poster::usable_file_name(name) && name != POSTER_CONFIG_FILE;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// The list without its line end. False when it exists but cannot be read whole; a missing
// file is an empty list.
bool read_list(const std::string& path, std::string* text) {
    text->clear();
    if (!exists(path)) {
        LOG_W(TAG_DEAL, "Error opening file for reading[%s]", path.c_str());
        return true;
    }
    if (!nimbo::read_file(path, text, kMaxListBytes, false)) {
        LOG_E(TAG_DEAL, "%s could not be read whole (at most %zu bytes), nothing changed", path.c_str(), kMaxListBytes);
        return false;
    }
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
    return true;
}

bool write_list(const std::string& path, const char* text, const char* tag = TAG_DEAL) {
    if (text == nullptr) return false;
    if (!nimbo::replace_file(path, std::string(text) + "\n")) {
        LOG_E(tag, "Error writing to file[%s]", path.c_str());
        return false;
    }
    return true;
}

void notify_app(const char* tag = TAG_DEAL) {
    int rc = hwlink_send_signal_to_alibankApp(kListChangedSignal);
    if (rc != 0) LOG_W(tag, "signal %d to alibankApp not delivered: %d", kListChangedSignal, rc);
}

// Everything one request needs.
struct Context {
    MQTTAsync client;
    const RequestCmd& request;
    tasks::EntryPtr entry;
    CustomResourcePosterParam param;
    std::string dir;
    std::string config;
    std::string list;  // current array text, "" for none
    json_utils_poster::Lookup found;
    char* out;
    int* out_len;

    // The handler's own reply parameter into the dispatcher's buffer; `rc` passed through.
    int reply(const char* status, const char* fail_des, int rc) const {
        return mqtt_cmd_deal::put_reply(json_utils_poster_resources_param_to_jsonstr(status, fail_des, param.action),
                                        out, out_len)
                   ? rc
                   : NIMBO_ERR_FAILED;
    }
};

// Writes the new list; false, and the task ended, when it cannot be written.
bool store_list(const Context& c, const char* next) {
    if (write_list(c.config, next)) return true;
    return false;
}

// The list changed: the application is told and the task ends with the reply "2".
int list_changed(const Context& c, const char* fail_des) {
    notify_app();
    return c.reply("2", fail_des, NIMBO_REPLY_QOS2);
}

int delete_entry(Context& c) {
    LOG_V(TAG_DEAL, "enter the deletion process");
    // A poster is deleted when it is the one named; a message (no file) by its position.
    bool named = c.found.result == POSTER_LOOKUP_SAME ||
                 (c.found.result != POSTER_LOOKUP_NONE && c.found.is_message);
    if (!named) {
        LOG_W(TAG_DEAL, "the resource does not exist, nothing to do");
        return c.reply("2", "Resources do not exist", NIMBO_REPLY_QOS2);
    }
    LOG_V(TAG_DEAL, "try to delete resource: %s", c.found.stored_name.c_str());
    CText next{json_utils_delete_in_custom_resource_poster_array(c.list.c_str(), c.param.position)};
    if (!store_list(c, next.get())) return NIMBO_ERR_FAILED;
    if (!c.found.is_message) {
        if (resource_file(c.found.stored_name))
            nimbo_utils_delete_file2(c.dir.c_str(), c.found.stored_name.c_str());
        else
            LOG_W(TAG_DEAL, "stored name [%s] is not a file of the resource directory, not deleted",
                  c.found.stored_name.c_str());
    }
    return list_changed(c, "Delete ok");
}

// Renames the entry's file to the request's name; the new name, or "" when it stays.
std::string rename_file(const Context& c) {
    const std::string& from = c.found.stored_name;
    std::string to = c.param.fileName;
    if (!c.found.has_file_name || c.found.is_message || from == to) return "";
    if (!resource_file(from) || !resource_file(to)) {
        LOG_W(TAG_DEAL, "rename of [%s] to [%s] refused: not a file of the resource directory", from.c_str(), to.c_str());
        return "";
    }
    if (exists(c.dir + "/" + to) || json_utils_poster::holds_file_name(c.list, to)) {
        LOG_W(TAG_DEAL, "rename of [%s] to [%s] refused: the name is taken", from.c_str(), to.c_str());
        return "";
    }
    if (nimbo_utils_rename_file(c.dir.c_str(), from.c_str(), to.c_str()) != 0) {
        LOG_E(TAG_DEAL, "rename of [%s] to [%s] failed", from.c_str(), to.c_str());
        return "";
    }
    return to;
}

int update_entry(Context& c, const std::string& file_name) {
    const CustomResourcePosterParam& p = c.param;
    CText next{json_utils_update_in_custom_resource_poster_array_by_position(
        c.list.c_str(), p.position, p.md5sum, static_cast<int>(p.enable), p.level, p.sliderTitle, p.beginTime,
        p.endTime, file_name.c_str())};
    if (!store_list(c, next.get())) {
        // The list still names the old file: a rename is taken back.
        if (!file_name.empty())
            nimbo_utils_rename_file(c.dir.c_str(), file_name.c_str(), c.found.stored_name.c_str());
        return NIMBO_ERR_FAILED;
    }
    return list_changed(c, "Update ok");
}

int add_message(Context& c) {
    CText next{json_utils_embed_param_in_custom_resource_poster_array(c.list.c_str(), c.param)};
    if (!store_list(c, next.get())) return NIMBO_ERR_FAILED;
    // The message is in the list and the application told: a success, answered like a
    // finished poster (the historical "Operation does not support" here was a success
    // reported as a failure).
    return list_changed(c, "");
}

int start_download(Context& c) {
    LOG_V(TAG_DEAL, "enter the post picture process");
    CustomResourcePosterParam& p = c.param;
    if (p.url[0] == '\0') {
        return c.reply("3", "Url is empty", NIMBO_REPLY_QOS2);
    }
    std::string stored;
    if (!json_utils_poster::stored_name(p.position, p.fileName, &stored)) {
        LOG_E(TAG_DEAL, "stored name of position %d and [%s] does not fit %d bytes", p.position, p.fileName,
              POSTER_NAME_SIZE);
        return NIMBO_ERR_INVALID;
    }
    RecordPtr record = tasks::make_record<Record>(c.client, c.request, [&](Record& r) {
        r.url = p.url;
        r.storedName = stored;
    });
    if (!record) return NIMBO_ERR_FAILED;
    std::memcpy(p.fileName, stored.c_str(), stored.size() + 1);  // fits: stored_name checked the size
    record->fileSize = p.fileSize;
    record->progress = static_cast<uint32_t>(p.progress);
    record->md5sum = p.md5sum;
    record->localPath = c.dir + "/" + stored;
    record->configPath = c.config;

    CText next;
    if (c.found.result == POSTER_LOOKUP_NONE) {
        LOG_V(TAG_DEAL, "insert new resources");
        next.reset(json_utils_embed_param_in_custom_resource_poster_array(c.list.c_str(), p));
    } else {
        LOG_V(TAG_DEAL, "update and replace resources");
        if (c.found.has_md5sum && c.found.has_file_name) {
            next.reset(json_utils_update_in_custom_resource_poster_array_by_position(
                c.list.c_str(), p.position, p.md5sum, static_cast<int>(p.enable), p.level, p.sliderTitle,
                p.beginTime, p.endTime, stored.c_str()));
        } else {
            // An entry without a file or an MD5 (a message) could not name the new poster:
            // it is replaced whole, in its place.
            next.reset(json_utils_poster::replace_by_position(c.list.c_str(), p));
        }
        if (!c.found.is_message && c.found.stored_name == stored) {
            record->sameFile = true;  // installed over the old file: nothing to delete after
        } else if (!c.found.is_message && resource_file(c.found.stored_name)) {
            record->oldPath = c.dir + "/" + c.found.stored_name;
        } else if (c.found.has_file_name && !c.found.is_message) {
            LOG_W(TAG_DEAL, "stored name [%s] is not a file of the resource directory, it stays",
                  c.found.stored_name.c_str());
        }
    }
    if (!next) {
        return NIMBO_ERR_FAILED;
    }
    record->newConfig = next.get();

    record->entry = c.entry;
    tasks::ledger().hand_to_worker(c.entry);  // the worker ends the task now
    if (!workers::start(workers::Kind::poster, record, work)) {
        tasks::ledger().take_back(c.entry);
        return NIMBO_ERR_FAILED;  // the record goes with `record`
    }
    c.reply("1", "", 0);
    return 0;  // accepted even without a reply text: the worker runs and keeps the task file
}

int handle(MQTTAsync client, const RequestCmd& request, const tasks::EntryPtr& entry, char* out, int* out_len) {
    Context c{client, request, entry, {}, {}, {}, {}, {}, out, out_len};
    int rc = json_utils_jsonstr_to_custom_resource_poster_param(request.param, &c.param);
    if (rc != 0) return mqtt_cmd_deal::parse_failure(rc, "customResourcePoster");
    const CustomResourcePosterParam& p = c.param;
    bool is_delete = std::strcmp(p.action, "delete") == 0;
    c.dir = mqtt_cmd_deal_poster::resource_dir();
    c.config = c.dir + "/" + POSTER_CONFIG_FILE;
    // A link in place of the resource folder (or above it) is refused: nothing is read or
    // written there and the command fails.
    if (nimbo_utils_ensure_directory_exists(c.dir.c_str()) != 0 || !read_list(c.config, &c.list)) {
        return NIMBO_ERR_FAILED;
    }
    if (!c.list.empty() && !json_utils_poster::is_array(c.list)) {
        // Nothing of it can be used; a change starts a new list instead of failing for ever.
        LOG_W(TAG_DEAL, "%s is not a JSON array, it is taken as an empty list", c.config.c_str());
        c.list.clear();
    }
    if (c.list.empty())
        c.found.result = POSTER_LOOKUP_NONE;
    else
        c.found = json_utils_poster::lookup(c.list.c_str(), p.position, p.md5sum, p.fileName);

    if (is_delete) return delete_entry(c);

    // The name becomes a file of the resource directory: refuse what could leave it.
    bool poster = std::strcmp(p.type, "poster") == 0;
    if ((poster || p.fileName[0] != '\0') && !json_utils_poster::usable_file_name(p.fileName)) {
        LOG_E(TAG_DEAL, "fileName [%s] refused", p.fileName);
        return NIMBO_ERR_INVALID;
    }
    if (c.found.result == POSTER_LOOKUP_SAME) {
        LOG_V(TAG_DEAL, "enter the update configuration process");
        return update_entry(c, "");
    }
    if (c.found.result == POSTER_LOOKUP_RENAMED) {
        LOG_V(TAG_DEAL, "enter the update configuration process");
        return update_entry(c, rename_file(c));
    }
    LOG_V(TAG_DEAL, "resource type: %s", p.type);
    if (std::strcmp(p.type, "message") == 0) return add_message(c);
    if (poster) return start_download(c);
    return NIMBO_ERR_NOT_SUPPORTED;
}

// Moves the downloaded file into the resource folder, both held open: a link put in place of
// either folder is refused, never followed.
bool move_into_place(const std::string& from, const std::string& to) {
    char from_dir[NIMBO_PATH_MAX], to_dir[NIMBO_PATH_MAX];
    const char* from_name = nimbo::split_path(from.c_str(), from_dir, sizeof from_dir);
    const char* to_name = nimbo::split_path(to.c_str(), to_dir, sizeof to_dir);
    if (from_name == nullptr || to_name == nullptr) return false;
    UniqueFd src = nimbo::open_folder(from_dir, false, TAG_ADEAL);
    UniqueFd dst = nimbo::open_folder(to_dir, false, TAG_ADEAL);
    return src && dst && nimbo::move_at(src.get(), from_name, dst.get(), to_name) == 0;
}

void install(Record* p, const std::string& tmp) {
    custom_resource_poster_callback(p, "1", "Installing");
    p->env->sleep(1);
    if (!move_into_place(tmp, p->localPath)) {
        LOG_E(TAG_ADEAL, "rename %s to %s failed", tmp.c_str(), p->localPath.c_str());
        custom_resource_poster_callback(p, "3", "An unknown error occurred in install");
        return;
    }
    if (!write_list(p->configPath, p->newConfig.c_str(), TAG_ADEAL)) {
        // The list still names what it named: the new file is taken away again.
        if (!p->sameFile) nimbo_utils_delete_file(p->localPath.c_str());
        custom_resource_poster_callback(p, "3", "An unknown error occurred in install");
        return;
    }
    if (!p->oldPath.empty() && p->oldPath != p->localPath) nimbo_utils_delete_file(p->oldPath.c_str());
    notify_app(TAG_ADEAL);
    custom_resource_poster_callback(p, "2", "");
}

// The worker: owns its record and ends its task.
void work(Record* p) {
    const tasks::Publisher publisher = tasks::publisher_of(*p->env);
    const tasks::Ending ending(p->entry, publisher);
    std::string tmp = std::string(g_nimbo_download_path) + "/" + p->storedName;
    DownloadTask task;
    if (curl_utils_download_task_init(&task, p->url.c_str(), tmp.c_str(), custom_resource_poster_callback, p,
                                      p->fileSize, p->md5sum.c_str()) != 0) {
        LOG_E(TAG_ADEAL, "download task refused: [%s] -> [%s]", p->url.c_str(), tmp.c_str());
        custom_resource_poster_callback(p, "3", "Invalid parameter");
        tasks::ledger().finish(p->entry, publisher);
        return;
    }
    int rc = p->env->download(task);
    if (rc == NIMBO_PAUSED || rc == NIMBO_DOWNLOAD_BUSY) {
        custom_resource_poster_callback(p, "1", "The task is paused and restarted the next time connect to the server");
        tasks::ledger().pause(p->entry, publisher);
        return;
    }
    if (rc == 0) install(p, tmp);
    tasks::ledger().remove_at_end(p->entry, tmp);
    tasks::ledger().finish(p->entry, publisher);
}

}  // namespace

std::string mqtt_cmd_deal_poster::resource_dir() { return std::string(g_device_app_path) + "/" + POSTER_RESOURCE_DIR; }

extern "C" int mqtt_cmd_deal_custom_resource_poster(MQTTAsync client, const RequestCmd* request, char* out,
                                                    int* out_len) {
    if (request == nullptr) return NIMBO_ERR_INVALID;
    tasks::EntryPtr entry = tasks::ledger().claim(*request, client);
    if (!entry) return NIMBO_HANDLED;
    int rc;
    if (!mqtt_cmd_deal::args_ok(out, out_len) || client == nullptr) {
        rc = NIMBO_ERR_FAILED;
    } else if (request->param[0] == '\0') {
        rc = NIMBO_ERR_INVALID;
    } else {
        try {
            rc = handle(client, *request, entry, out, out_len);
        } catch (const std::bad_alloc&) {
            LOG_E(TAG_DEAL, "Memory allocation failed");
            rc = NIMBO_ERR_FAILED;
        }
    }
    // A refusal releases the task file; an answer for good ends the task.
    tasks::ledger().settle(entry, rc, out != nullptr ? out : "");
    return rc;
}

extern "C" void custom_resource_poster_callback(void* context, const char* status, const char* text) {
    if (status == nullptr) return;
    if (text == nullptr) text = "";
    auto* p = static_cast<Record*>(context);
    tasks::send_report(p, p != nullptr ? p->progress : 0, status, text,
                       [&] { return json_utils_poster_resources_param_to_jsonstr(status, text, "add"); });
}
