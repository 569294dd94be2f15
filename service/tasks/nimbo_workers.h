// The one launcher of detached workers (application and firmware upgrades, log upload,
// poster download, server switch): counted, with a ceiling per kind, and stoppable
// together when the service stops. Log tag "nimbo_utils".
#pragma once

#include <chrono>

namespace workers {

enum class Kind { apk, ota, log_upload, poster, server_switch };

// Threads of one kind at most. Each kind allows one task at a time by its own rule (the
// download slot, the server-switch queue); the second thread covers a worker that has left
// its slot and not yet ended. Log uploads have no rule of their own: two run side by side.
constexpr int kPerKind = 2;

// Starts body(record) on a detached thread when fewer than kPerKind workers of the kind
// run. True: started, the record belongs to the worker. False: refused ("too many ...
// workers") or no thread; the record is still the caller's.
bool start(Kind kind, void* (*body)(void*), void* record);

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

}  // namespace workers
