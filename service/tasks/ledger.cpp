// The task ledger. Files go through the shared helpers: the task file through the line-file
// writer and the task-file reader, the finished record through its atomic replacement.
#include "tasks/ledger.h"

#include <pthread.h>

#include <cstring>

#include "c_handles.hpp"
#include "log_tags.h"
#include "nimbo_exports.h"
#include "result_codes.h"
#include "tasks/nimbo_utils_task.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

namespace {

constexpr const char* kBusyText = "The task has already begun.";
constexpr const char* kRecoveryText = "recovery tasks from backup file";

// The stored request, parsed. False when there is none; `unreadable` when it does not parse.
bool stored_request(const std::string& path, RequestCmd* out, std::string* text, bool* unreadable) {
    *unreadable = false;
    if (!nimbo::read_task_command(path, text)) return false;
    if (json_utils_jsonstr_to_request_cmd(text->c_str(), g_device_serialno, out) != 0) {
        *unreadable = true;
        return false;
    }
    return true;
}

std::string envelope_of(const tasks::LedgerEntry& e, const std::string& param) {
    CText text{json_utils_embed_param_in_replay_jsonstr(e.cmd.c_str(), e.sn.c_str(), e.task_id.c_str(), param.c_str())};
    return text ? std::string(text.get()) : std::string();
}

std::string failure_param() {
    CText text{json_utils_generated_common_replay_param_to_jsonstr("3", "Operation failed")};
    return text ? std::string(text.get()) : std::string(R"({"status":"3","failDes":"Operation failed"})");
}

}  // namespace

namespace tasks {

Ledger::Ledger(std::function<Files()> files, Publisher publisher, std::function<bool()> download_running)
    : files_(std::move(files)), publisher_(std::move(publisher)), download_running_(std::move(download_running)) {}

void Ledger::use_publisher(Publisher publisher) {
    std::lock_guard<std::mutex> lock(mutex_);
    publisher_ = std::move(publisher);
}

Publisher Ledger::publisher() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return publisher_;
}

std::string Ledger::holder() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slot_ ? slot_->task_id : std::string();
}

bool Ledger::slot_held() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slot_ != nullptr;
}

// ---- admission ---------------------------------------------------------------------------

Admission Ledger::admit(const RequestCmd& request, const std::string& text, MQTTAsync client) {
    const Files files = files_();
    const std::string task_id = request.taskId;
    if (nimbo::task_finished(files.finished, task_id)) {
        LOG_W(TAG_UTILS, "task already finished, copy dropped, cmd: %s, taskId: %s", request.cmd, request.taskId);
        // A task file still naming it was left by an end cut short: it blocks no more.
        release_file(task_id);
        return Admission::finished_copy;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (slot_) {
        if (slot_->task_id == task_id && slot_->cmd == request.cmd) {
            slot_->resume_wanted = true;
            LOG_W(TAG_UTILS, "%s", kBusyText);
            return Admission::running_again;
        }
        if (slot_->task_id == task_id) {
            LOG_W(TAG_UTILS, "cmd[%s] refused: taskId %s belongs to the running cmd[%s]", request.cmd, request.taskId,
                  slot_->cmd.c_str());
            return Admission::conflict;
        }
        LOG_W(TAG_UTILS, "The last mission is still in progress, cmd: %s, taskId: %s", slot_->cmd.c_str(),
              slot_->task_id.c_str());
        return Admission::other_pending;
    }
    RequestCmd stored;
    std::string stored_text;
    bool unreadable = false;
    bool pending = stored_request(files.task_file, &stored, &stored_text, &unreadable);
    if (unreadable) {
        LOG_W(TAG_UTILS, "stored task unreadable, removed; cmd[%s] dropped", request.cmd);
        nimbo_utils_delete_file(files.task_file.c_str());
        return Admission::unreadable;
    }
    Admission result = Admission::fresh;
    if (pending) {
        if (task_id != stored.taskId) {
            LOG_W(TAG_UTILS, "The last mission is still in progress, cmd: %s, taskId: %s", stored.cmd, stored.taskId);
            return Admission::other_pending;
        }
        if (std::strcmp(stored.cmd, request.cmd) != 0) {
            LOG_W(TAG_UTILS, "cmd[%s] refused: taskId %s belongs to the stored cmd[%s]", request.cmd, request.taskId,
                  stored.cmd);
            return Admission::conflict;
        }
        result = Admission::resume;
    } else if (download_running_ && download_running_()) {
        LOG_W(TAG_UTILS, "%s", kBusyText);
        return Admission::busy;
    }
    if (!nimbo::write_line_file(files.task_file.c_str(), text.c_str(), 0)) {
        LOG_E(TAG_UTILS, "task[%s] could not be recorded in %s, cmd[%s] fails", request.taskId,
              files.task_file.c_str(), request.cmd);
        return Admission::unrecorded;
    }
    slot_ = std::make_shared<LedgerEntry>(request.cmd, request.sn, request.taskId, client);
    return result;
}

void Ledger::handler_returned(const std::string& task_id, int rc, const char* reply) {
    EntryPtr entry;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (slot_ && slot_->task_id == task_id) entry = slot_;
    }
    if (entry) settle(entry, rc, reply);
}

// ---- handlers ----------------------------------------------------------------------------

EntryPtr Ledger::claim(const RequestCmd& request, MQTTAsync client) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (slot_) {
        if (slot_->phase == LedgerEntry::Phase::admitted && slot_->task_id == request.taskId &&
            slot_->cmd == request.cmd)
            return slot_;
        if (slot_->task_id == request.taskId) slot_->resume_wanted = true;
        LOG_W(TAG_DEAL, "%s", kBusyText);
        return nullptr;
    }
    if (download_running_ && download_running_()) {
        LOG_W(TAG_DEAL, "%s", kBusyText);
        return nullptr;
    }
    slot_ = std::make_shared<LedgerEntry>(request.cmd, request.sn, request.taskId, client);
    return slot_;
}

void Ledger::hand_to_worker(const EntryPtr& entry) {
    if (!entry) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (entry->phase == LedgerEntry::Phase::admitted) entry->phase = LedgerEntry::Phase::running;
}

void Ledger::take_back(const EntryPtr& entry) {
    if (!entry) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (entry->phase == LedgerEntry::Phase::running) entry->phase = LedgerEntry::Phase::admitted;
}

void Ledger::settle(const EntryPtr& entry, int rc, const char* reply) {
    if (!entry) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (entry->phase != LedgerEntry::Phase::admitted) return;
    }
    const bool has_reply = reply != nullptr && reply[0] != '\0';
    if (rc == NIMBO_REPLY_QOS2 && has_reply) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            entry->has_final = true;
            entry->final_param = reply;
        }
        end(entry, nullptr, {});  // the dispatcher publishes the reply
        return;
    }
    if (rc != 0 && rc != NIMBO_HANDLED) release_file(entry->task_id);
    free_slot(entry, rc == 0 || rc == NIMBO_HANDLED ? LedgerEntry::Phase::stored : LedgerEntry::Phase::ended);
}

void Ledger::remove_at_end(const EntryPtr& entry, const std::string& path) {
    if (!entry) return;
    std::lock_guard<std::mutex> lock(mutex_);
    entry->remove_at_end.push_back(path);
}

// ---- workers -----------------------------------------------------------------------------

void Ledger::set_final(const EntryPtr& entry, const std::string& param) {
    if (!entry) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (entry->has_final) {
        LOG_W(TAG_ADEAL, "task[%s]: a second final reply dropped", entry->task_id.c_str());
        return;
    }
    entry->has_final = true;
    entry->final_param = param;
}

void Ledger::mark_answered(const EntryPtr& entry) {
    if (!entry) return;
    std::lock_guard<std::mutex> lock(mutex_);
    entry->answered = true;
}

void Ledger::finish(const EntryPtr& entry, const Publisher& publisher, const std::function<void()>& after_store) {
    end(entry, &publisher, after_store);
}

void Ledger::end(const EntryPtr& entry, const Publisher* publisher, const std::function<void()>& after_store) {
    if (!entry) return;
    std::string param;
    Publisher own;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (entry->phase == LedgerEntry::Phase::stored || entry->phase == LedgerEntry::Phase::ended) return;
        if (!entry->has_final && !entry->answered) {
            entry->has_final = true;
            entry->final_param = failure_param();
            LOG_W(TAG_ADEAL, "task[%s] ended without a final reply: answered as failed", entry->task_id.c_str());
        }
        if (entry->has_final) param = entry->final_param;
        own = publisher_;
    }
    const Files files = files_();
    // 1. The final reply is stored before anything is forgotten.
    if (!param.empty()) {
        const Publisher& store_by = (publisher != nullptr && publisher->store) ? *publisher : own;
        if (store_by.store) store_by.store(envelope_of(*entry, param));
    }
    if (after_store) after_store();
    // 2. Recorded as finished: a copy arriving from now on is dropped.
    if (!entry->task_id.empty()) nimbo::record_finished_task(files.finished, entry->task_id);
    // 3. Its files, then the task file.
    for (const std::string& path : entry->remove_at_end) nimbo_utils_delete_file(path.c_str());
    release_file(entry->task_id);
    // 4. The slot: the next task can be admitted.
    free_slot(entry, LedgerEntry::Phase::ended);
    // 5. The final reply, which now means "the terminal is free".
    if (publisher != nullptr && !param.empty() && publisher->publish &&
        publisher->publish(entry->client, entry->cmd.c_str(), entry->sn.c_str(), entry->task_id.c_str(),
                           param.c_str(), 2) != 0)
        LOG_E(TAG_ADEAL, "replay failed");
}

void Ledger::pause(const EntryPtr& entry, const Publisher& publisher) {
    if (!entry) return;
    bool wanted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (entry->phase == LedgerEntry::Phase::stored || entry->phase == LedgerEntry::Phase::ended) return;
        wanted = entry->resume_wanted;
    }
    free_slot(entry, LedgerEntry::Phase::stored);
    // The session came back while the task still held the slot: its delivery was refused.
    if (!wanted || !publisher.connected || !publisher.connected() || !publisher.republish) return;
    std::string text;
    RequestCmd stored;
    bool unreadable = false;
    if (!stored_request(files_().task_file, &stored, &text, &unreadable) || entry->task_id != stored.taskId) return;
    LOG_W(TAG_ADEAL, "%s", kRecoveryText);
    publisher.republish(entry->client, text);
}

void Ledger::wait_for_restart(const EntryPtr& entry) {
    if (!entry) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (entry->phase == LedgerEntry::Phase::stored || entry->phase == LedgerEntry::Phase::ended) return;
    }
    free_slot(entry, LedgerEntry::Phase::stored);
}

// ---- session -----------------------------------------------------------------------------

void Ledger::connected(MQTTAsync client, const Publisher& publisher) {
    // Also while the task runs: its delivery is then refused and remembered, so that the task
    // is taken up again at once should it pause.
    std::string text;
    if (!nimbo::read_task_command(files_().task_file, &text)) return;
    LOG_W(TAG_LOGIC, "%s", kRecoveryText);
    if (publisher.republish) publisher.republish(client, text);
}

// ---- helpers -----------------------------------------------------------------------------

void Ledger::free_slot(const EntryPtr& entry, LedgerEntry::Phase phase) {
    std::lock_guard<std::mutex> lock(mutex_);
    entry->phase = phase;
    if (slot_ == entry) slot_.reset();
}

bool Ledger::release_file(const std::string& task_id) {
    const std::string path = files_().task_file;
    RequestCmd stored;
    std::string text;
    bool unreadable = false;
    if (!stored_request(path, &stored, &text, &unreadable) || task_id != stored.taskId) return false;
    nimbo_utils_delete_file(path.c_str());
    return true;
}

Ledger& ledger() {
    static Ledger* the = new Ledger(  // never destroyed: detached workers may outlive exit
        [] {
            return Ledger::Files{g_nimbo_cmd_file_path, nimbo::finished_tasks_path()};
        },
        Publisher{},
        [] {
            pthread_mutex_lock(&g_download_mutex);
            bool running = g_flag_download_running.load() != 0;
            pthread_mutex_unlock(&g_download_mutex);
            return running;
        });
    return *the;
}

}  // namespace tasks
