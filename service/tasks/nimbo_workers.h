// The one launcher of detached workers (application and firmware upgrades, log upload,
// poster download, server switch): counted, with a ceiling per kind, every exception ended
// at the thread's edge, and stoppable together when the service stops. With it the one
// registry of task slots: the workers that take one task at a time claim their slot here.
// Log tag "nimbo_utils".
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace workers {

enum class Kind { apk, ota, log_upload, poster, server_switch };

// Threads of one kind at most. Each kind allows one task at a time by its own rule (the
// task slot, the server-switch queue); the second thread covers a worker that has left
// its slot and not yet ended. Log uploads have no rule of their own: two run side by side.
constexpr int kPerKind = 2;

// Runs `job` on a detached thread when fewer than kPerKind workers of the kind run. True:
// started. False: refused ("too many ... workers") or no thread.
bool start(Kind kind, std::function<void()> job);

// Starts body(record) on a detached thread. True: the record belongs to the worker and is
// freed when it ends. False: refused or no thread; the record is still the caller's.
template <class Record>
bool start(Kind kind, std::unique_ptr<Record>& record, void (*body)(Record*)) {
    Record* raw = record.get();
    if (!start(kind, [raw, body] {
            std::unique_ptr<Record> owner{raw};
            body(raw);
        }))
        return false;
    (void)record.release();
    return true;
}

// Workers started and not yet ended: of one kind, of all kinds.
int running(Kind kind);
int running();

// Sleeps `d`, or less when the service stops (g_run_flag cleared and request_stop
// called). False when the service is stopping.
bool sleep_for(std::chrono::milliseconds d);

// Wakes every sleeper after g_run_flag was cleared.
void request_stop();

// Waits until no worker runs, at most `limit`. True when none is left.
bool wait_idle(std::chrono::milliseconds limit);

// ---- task slots ------------------------------------------------------------------------
// The application upgrade, the firmware upgrade and the poster download each take one task
// at a time, and none starts while a download runs. A handler claims the kind's slot for
// the worker's record before it starts the worker; the worker holds it until it ends. Under
// g_download_mutex.

// The record holding the kind's slot; null when none.
void* holder(Kind kind);

// True (logged "The task has already begun.") when a download runs or the kind's slot is
// held. A refused delivery of the held task (the same taskId) is remembered, so that a
// worker that pauses after the session came back takes the task up again.
bool busy(Kind kind, const std::string& task_id);

// One claim of a kind's slot; the slot is emptied when the claim ends unless handed over.
class Claim {
public:
    // The handler's claim for `record`: empty (false) when busy() refuses it.
    static Claim take(Kind kind, void* record, const std::string& task_id);
    // The worker's: holds the slot for `record` whether or not a handler claimed it.
    static Claim adopt(Kind kind, void* record, const std::string& task_id);
    // No claim (a kind without a slot).
    static Claim none(Kind kind) { return Claim(kind, nullptr); }

    Claim(Claim&& other) noexcept : kind_(other.kind_), record_(other.record_) { other.record_ = nullptr; }
    Claim& operator=(Claim&&) = delete;
    ~Claim() { leave(); }

    explicit operator bool() const { return record_ != nullptr; }
    // The slot goes on with the record (to its worker): this claim no longer empties it.
    void hand_over() { record_ = nullptr; }
    // Empties the slot when the record still holds it. True when a delivery of the task was
    // refused meanwhile.
    bool leave();

private:
    Claim(Kind kind, void* record) : kind_(kind), record_(record) {}
    Kind kind_;
    void* record_;
};

// The one download of the service at a time (g_flag_download_running).
class DownloadSlot {
public:
    DownloadSlot() = default;
    DownloadSlot(const DownloadSlot&) = delete;
    DownloadSlot& operator=(const DownloadSlot&) = delete;
    // False when another download holds it.
    bool acquire();
    ~DownloadSlot();

private:
    bool held_ = false;
};

}  // namespace workers
