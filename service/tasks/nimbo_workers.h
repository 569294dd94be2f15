// The one launcher of detached workers (application and firmware upgrades, log upload,
// poster download, server switch): counted, with a ceiling per kind, every exception ended
// at the thread's edge, and stoppable together when the service stops. The long tasks' one
// slot is the task ledger's (ledger.h). Log tag "nimbo_utils".
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace workers {

enum class Kind { apk, ota, log_upload, poster, server_switch };

// Threads of one kind at most. Each kind allows one task at a time by its own rule (the
// ledger's slot, the server-switch queue); the second thread covers a worker that has left
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

// ---- downloads -------------------------------------------------------------------------
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
