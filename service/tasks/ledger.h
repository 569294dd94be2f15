// The task ledger: the one owner of a long task's lifecycle (application upgrade, firmware
// upgrade, poster download). It admits a long command, keeps the task file (the stored
// request of the one pending task), holds the one slot a running task occupies, records the
// tasks answered for good, re-publishes the stored task after a connection, and ends a task in
// the order that makes its final reply mean "the terminal is free". Log tag "nimbo_utils".
//
// One long task at a time, whatever its kind. Its states:
//
//   state    | task file | slot | finished record | next
//   ---------+-----------+------+-----------------+----------------------------------------------
//   idle     | absent    | free | -               | admit: new -> admitted
//   admitted | its text  | held | -               | handed to its worker -> running; the handler
//            |           |      |                 |   answered for good -> ended; accepted (0) or
//            |           |      |                 |   awaiting its restart (-10000) -> stored;
//            |           |      |                 |   refused -> idle (file released)
//   running  | its text  | held | -               | finish -> ended; pause / awaiting the
//            |           |      |                 |   firmware's restart -> stored
//   stored   | its text  | free | -               | admit: the same task again -> admitted;
//            |           |      |                 |   a connection re-publishes it
//   ended    | absent    | free | its taskId      | copies are dropped
//
// A restart keeps what is on disk: a running or admitted task becomes stored.
//
// Admission (the dispatcher asks once per long command), first match:
//
//   the taskId is in the finished record   -> finished_copy: dropped (a task file naming it goes)
//   the slot's task, same cmd              -> running_again: dropped; a pause takes it up again
//   the slot's or stored taskId, other cmd -> conflict: dropped, nothing touched
//   another task holds the slot or file    -> other_pending: dropped ("The last mission is still
//                                             in progress, cmd: %s, taskId: %s")
//   the stored task, slot free             -> resume: the file rewritten with the delivery
//   the stored text does not parse         -> unreadable: the file removed, the delivery dropped
//   a download runs outside any task       -> busy: dropped ("The task has already begun.")
//   nothing pending                        -> fresh: the file written, the slot taken
//   (fresh or resume, the file not written) -> unrecorded: answered "Operation failed"
//
// The end: store the final reply's backup -> record the task as finished -> remove its files
// and the task file -> free the slot -> publish the final reply.
#pragma once

#include <MQTTAsync.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "json/json_utils.h"

namespace tasks {

enum class Admission {
    fresh, resume, finished_copy, running_again, conflict, other_pending, unreadable, busy,
    unrecorded,  // the task file could not be written: the command fails, nothing started
};

// True when the command goes on to its handler.
inline bool admitted(Admission a) { return a == Admission::fresh || a == Admission::resume; }

// What the ledger needs of the session.
struct Publisher {
    // Stores a final reply envelope so that it outlives a lost connection or a restart.
    std::function<void(const std::string& envelope)> store;
    // Publishes a reply parameter; 0 when the MQTT library took it.
    std::function<int(MQTTAsync client, const char* cmd, const char* sn, const char* task_id, const char* param,
                      int qos)>
        publish;
    // Publishes the stored task command on the device's own command topic.
    std::function<void(MQTTAsync client, const std::string& text)> republish;
    // True while the MQTT session is up.
    std::function<bool()> connected;
    // True when the final reply of `task_id` is stored and not yet confirmed by the broker.
    std::function<bool(const std::string& task_id)> reply_stored;
};

// One admitted long task. The identity is fixed; the rest belongs to the ledger.
class LedgerEntry {
public:
    LedgerEntry(std::string cmd, std::string sn, std::string task_id, MQTTAsync client)
        : cmd(std::move(cmd)), sn(std::move(sn)), task_id(std::move(task_id)), client(client) {}
    const std::string cmd, sn, task_id;
    const MQTTAsync client;

private:
    friend class Ledger;
    enum class Phase { admitted, running, stored, ended };
    Phase phase = Phase::admitted;
    bool resume_wanted = false;  // a delivery of it was refused while it ran
    bool has_final = false;
    bool answered = false;       // its final reply was stored before (a restart)
    std::string final_param;
    std::vector<std::string> remove_at_end;
};
using EntryPtr = std::shared_ptr<LedgerEntry>;

class Ledger {
public:
    struct Files {
        std::string task_file;
        std::string finished;
    };
    // `files` is asked at every use (the paths are set at start-up); `download_running` tells
    // whether a download runs outside any task (may be empty: never).
    Ledger(std::function<Files()> files, Publisher publisher, std::function<bool()> download_running = {});

    // ---- dispatcher ----
    // Decides about one long command; `text` is the request as it arrived.
    Admission admit(const RequestCmd& request, const std::string& text, MQTTAsync client);
    // After the handler of an admitted command returned `rc` with the reply text `reply`: what
    // its handler did not settle itself (see settle).
    void handler_returned(const std::string& task_id, int rc, const char* reply);

    // ---- handlers ----
    // The entry of the command being handled: the admitted one, or (a handler called on its
    // own) the free slot taken now. Null (logged "The task has already begun.") when another
    // task or a download holds it; a refused delivery of the running task is remembered.
    EntryPtr claim(const RequestCmd& request, MQTTAsync client);
    // The worker takes the task over: it ends it (finish, pause, wait_for_restart).
    void hand_to_worker(const EntryPtr& entry);
    // The worker did not start after all: the handler settles the task.
    void take_back(const EntryPtr& entry);
    // The handler's result for an entry no worker took: -10002 with a reply ends the task
    // (all but the publishing, which the dispatcher does); 0 and -10000 keep it stored;
    // anything else releases the task file. Only an admitted entry is settled.
    void settle(const EntryPtr& entry, int rc, const char* reply);
    // A file removed once the task is recorded as finished.
    void remove_at_end(const EntryPtr& entry, const std::string& path);

    // ---- workers ----
    // The final reply's parameter, sent at the end (the first one counts).
    void set_final(const EntryPtr& entry, const std::string& param);
    // Its final reply was stored before a restart: the end sends none.
    void mark_answered(const EntryPtr& entry);
    // The end of a running or admitted task. Without a final reply (and not answered before)
    // it answers {"status":"3","failDes":"Operation failed"}. `after_store` runs once the
    // reply is stored. Does nothing for a stored or ended entry.
    void finish(const EntryPtr& entry, const Publisher& publisher, const std::function<void()>& after_store = {});
    // Paused: the task file stays for the next connection; the slot is freed. A delivery
    // refused meanwhile is taken up at once when the session is up.
    void pause(const EntryPtr& entry, const Publisher& publisher);
    // Installed, judged after the restart: the task file stays, the slot is freed.
    void wait_for_restart(const EntryPtr& entry);

    // ---- session ----
    // After a connection: the stored task comes back on the command topic (a running one's
    // delivery is refused and remembered: it is taken up again when it pauses).
    void connected(MQTTAsync client, const Publisher& publisher);

    // ---- state ----
    // The taskId holding the slot; empty when free.
    std::string holder() const;
    bool slot_held() const;
    // The session's publishing (installed when the session starts).
    void use_publisher(Publisher publisher);
    Publisher publisher() const;

private:
    void end(const EntryPtr& entry, const Publisher* publisher, const std::function<void()>& after_store);
    void free_slot(const EntryPtr& entry, LedgerEntry::Phase phase);
    bool release_file(const std::string& task_id);

    std::function<Files()> files_;
    Publisher publisher_;  // guarded by mutex_
    std::function<bool()> download_running_;
    mutable std::mutex mutex_;
    EntryPtr slot_;  // guarded by mutex_
};

// The service's ledger (the task file and record of the data directory, the real session).
Ledger& ledger();

}  // namespace tasks
