// The task ledger as a state machine: seeded random interleavings of what happens to long
// tasks (a new task arrives, a copy of one arrives, a worker finishes, fails, pauses or waits
// for the firmware's restart, the session connects, the service restarts, a re-published copy
// arrives late), with the invariants checked after every step against a model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "result_codes.h"
#include "tasks/ledger.h"
#include "tasks/nimbo_utils_task.h"
#include "test_support.h"
#include "util/nimbo_globals.h"

using testsupport::exists;
using testsupport::TempDir;

namespace {

constexpr int kSteps = 12000;
const char* const kCmds[] = {"apkUpgrade", "otaUpgrade", "customResourcePoster"};

enum class State { running, stored, ended, refused };

struct Task {
    std::string cmd;
    State state = State::running;
};

class LedgerMachine {
public:
    explicit LedgerMachine(unsigned seed) : rng_(seed) {
        files_.task_file = dir_ / "task_cmd";
        files_.finished = dir_ / "finished_tasks";
        publisher_.store = [this](const std::string& envelope) {
            std::string id = id_of(envelope);
            ++stores_[id];
        };
        publisher_.publish = [this](MQTTAsync, const char*, const char*, const char* task_id, const char*, int qos) {
            if (qos == 2) on_final(task_id);
            return 0;
        };
        publisher_.republish = [this](MQTTAsync, const std::string& text) {
            republished_.push_back(text);
            // Only the pending task comes back.
            EXPECT_EQ(id_of(text), pending_id());
        };
        publisher_.connected = [this] { return connected_; };
        restart();
    }

    void run(int steps) {
        for (step_ = 0; step_ < steps && !::testing::Test::HasFailure(); ++step_) {
            switch (pick(9)) {
            case 0: case 1: arrive(next_id()); break;
            case 2: copy(); break;
            case 3: worker_end(true); break;
            case 4: worker_end(false); break;
            case 5: pause(); break;
            case 6: connection(); break;
            case 7: if (pick(4) == 0) restart(); else late_copy(); break;
            case 8: late_copy(); break;
            }
            check();
        }
    }

    std::map<std::string, int> counts() const {
        std::map<std::string, int> c;
        for (const auto& kv : tasks_) ++c[kv.second.state == State::ended ? "ended" : kv.second.state == State::refused ? "refused" : "pending"];
        return c;
    }
    int steps() const { return step_; }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    std::string next_id() { return "T" + std::to_string(++ids_); }

    static std::string id_of(const std::string& json) {
        RequestCmd r;
        json_utils_jsonstr_to_request_cmd(json.c_str(), "", &r);
        return r.taskId;
    }

    std::string pending_id() const {
        for (const auto& kv : tasks_)
            if (kv.second.state == State::running || kv.second.state == State::stored) return kv.first;
        return "";
    }

    // The answer the ledger must give a delivery of (id, cmd).
    tasks::Admission expected(const std::string& id, const std::string& cmd) const {
        if (std::find(finished_.begin(), finished_.end(), id) != finished_.end()) return tasks::Admission::finished_copy;
        std::string pending = pending_id();
        if (pending.empty()) return tasks::Admission::fresh;
        const Task& p = tasks_.at(pending);
        if (pending != id) return tasks::Admission::other_pending;
        if (p.cmd != cmd) return tasks::Admission::conflict;
        return p.state == State::running ? tasks::Admission::running_again : tasks::Admission::resume;
    }

    // One delivery through the dispatcher and, when admitted, the handler.
    void deliver(const std::string& id, const std::string& cmd) {
        const std::string text = R"({"cmd":")" + cmd + R"(","taskId":")" + id + R"(","param":{}})";
        RequestCmd request = testsupport::request(cmd, "{}", id, "SN");
        tasks::Admission want = expected(id, cmd);
        tasks::Admission got = ledger_->admit(request, text, nullptr);
        ASSERT_EQ(static_cast<int>(got), static_cast<int>(want)) << "step " << step_ << " " << cmd << " " << id;
        if (!tasks::admitted(got)) return;
        Task& task = tasks_[id];
        task.cmd = cmd;
        tasks::EntryPtr entry = ledger_->claim(request, nullptr);
        ASSERT_TRUE(entry);
        int outcome = pick(10);
        if (outcome < 6) {  // the worker starts
            ledger_->hand_to_worker(entry);
            ledger_->settle(entry, 0, R"({"status":"1"})");
            ledger_->handler_returned(id, 0, R"({"status":"1"})");
            task.state = State::running;
            worker_ = entry;
        } else if (outcome < 8) {  // answered for good by the handler (a judgement, an empty URL)
            const char* reply = R"({"status":"2","failDes":"100%"})";
            ledger_->settle(entry, NIMBO_REPLY_QOS2, reply);
            ledger_->handler_returned(id, NIMBO_REPLY_QOS2, reply);
            task.state = State::ended;
            remember_finished(id);
            publisher_.publish(nullptr, cmd.c_str(), "SN", id.c_str(), reply, 2);  // the dispatcher's reply
        } else if (outcome < 9) {  // waiting for the firmware's restart: stays stored
            ledger_->settle(entry, NIMBO_HANDLED, "");
            ledger_->handler_returned(id, NIMBO_HANDLED, "");
            task.state = State::stored;
        } else {  // refused (a bad parameter): answered "3" by the dispatcher, file released
            ledger_->settle(entry, NIMBO_ERR_INVALID, "");
            ledger_->handler_returned(id, NIMBO_ERR_INVALID, "");
            task.state = State::refused;
        }
    }

    void arrive(const std::string& id) { deliver(id, kCmds[pick(3)]); }

    // A copy of a known task: the same command, or its taskId under another one.
    void copy() {
        if (tasks_.empty()) return;
        auto it = tasks_.begin();
        std::advance(it, pick(static_cast<int>(tasks_.size())));
        if (it->second.state == State::ended &&
            std::find(finished_.begin(), finished_.end(), it->first) == finished_.end())
            return;  // beyond the record's memory: a copy that old is not modelled
        std::string cmd = pick(4) == 0 ? kCmds[pick(3)] : it->second.cmd;
        deliver(it->first, cmd);
    }

    void late_copy() {
        if (republished_.empty()) return;
        std::string text = republished_.front();
        republished_.pop_front();
        RequestCmd r;
        json_utils_jsonstr_to_request_cmd(text.c_str(), "", &r);
        if (tasks_.count(r.taskId) && tasks_[r.taskId].state == State::ended &&
            std::find(finished_.begin(), finished_.end(), std::string(r.taskId)) == finished_.end())
            return;
        deliver(r.taskId, r.cmd);
    }

    void worker_end(bool with_reply) {
        if (!worker_) return;
        tasks::EntryPtr entry = std::move(worker_);
        if (with_reply) ledger_->set_final(entry, pick(2) ? R"({"status":"2"})" : R"({"status":"3","failDes":"x"})");
        if (entry->cmd == "otaUpgrade" && with_reply && pick(3) == 0) {
            ledger_->wait_for_restart(entry);  // installed: judged after the restart
            tasks_[entry->task_id].state = State::stored;
            return;
        }
        ledger_->finish(entry, publisher_);
        tasks_[entry->task_id].state = State::ended;
        remember_finished(entry->task_id);
    }

    void pause() {
        if (!worker_) return;
        tasks::EntryPtr entry = std::move(worker_);
        tasks_[entry->task_id].state = State::stored;
        ledger_->pause(entry, publisher_);
    }

    void connection() {
        connected_ = !connected_;
        if (connected_) ledger_->connected(nullptr, publisher_);
    }

    // The service stops at any point and starts again: only the disk is left.
    void restart() {
        worker_.reset();
        for (auto& kv : tasks_)
            if (kv.second.state == State::running) kv.second.state = State::stored;
        const tasks::Ledger::Files files = files_;
        ledger_ = std::make_unique<tasks::Ledger>([files] { return files; }, publisher_, [] { return false; });
        connected_ = false;
    }

    void remember_finished(const std::string& id) {
        finished_.push_back(id);
        if (finished_.size() > nimbo::kFinishedTasksKept) finished_.pop_front();
    }

    void on_final(const std::string& id) {
        ++finals_[id];
        // The final reply means "the terminal is free": stored, recorded, file gone, slot free.
        EXPECT_EQ(stores_[id], 1) << id;
        EXPECT_TRUE(nimbo::task_finished(files_.finished, id)) << id;
        std::string text;
        EXPECT_FALSE(nimbo::read_task_command(files_.task_file, &text) && id_of(text) == id) << id;
        EXPECT_NE(ledger_->holder(), id);
    }

    void check() {
        SCOPED_TRACE("step " + std::to_string(step_));
        // At most one task runs, and it is the one holding the slot.
        int running = 0, pending = 0;
        for (const auto& kv : tasks_) {
            running += kv.second.state == State::running;
            pending += kv.second.state == State::running || kv.second.state == State::stored;
        }
        ASSERT_LE(running, 1);
        ASSERT_LE(pending, 1);
        ASSERT_EQ(ledger_->holder(), worker_ ? worker_->task_id : std::string());
        // The task file exists exactly while its task runs, is paused or awaits its restart.
        std::string text;
        bool file = nimbo::read_task_command(files_.task_file, &text);
        ASSERT_EQ(file, pending == 1);
        if (file) {
            ASSERT_EQ(id_of(text), pending_id());
        }
        // Every task that ended got exactly one final reply; nothing else got one.
        for (const auto& kv : tasks_) {
            int n = finals_.count(kv.first) ? finals_.at(kv.first) : 0;
            ASSERT_EQ(n, kv.second.state == State::ended ? 1 : 0) << kv.first;
        }
        // Nothing answered is forgotten (within the record's bound), across restarts too.
        std::vector<std::string> record = nimbo::finished_tasks(files_.finished);
        ASSERT_EQ(record, std::vector<std::string>(finished_.begin(), finished_.end()));
    }

    TempDir dir_;
    std::mt19937 rng_;
    tasks::Ledger::Files files_;
    tasks::Publisher publisher_;
    std::unique_ptr<tasks::Ledger> ledger_;
    std::map<std::string, Task> tasks_;
    std::deque<std::string> finished_;  // the record's expected content, oldest first
    std::deque<std::string> republished_;
    std::map<std::string, int> finals_, stores_;
    tasks::EntryPtr worker_;
    bool connected_ = false;
    int ids_ = 0;
    int step_ = 0;
};

TEST(LedgerMachine, InvariantsHoldOverRandomInterleavings) {
    std::snprintf(g_device_serialno, sizeof g_device_serialno, "%s", "SN");
    for (unsigned seed : {1u, 20u, 77u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        LedgerMachine machine(seed);
        machine.run(kSteps);
        EXPECT_EQ(machine.steps(), kSteps);
        std::map<std::string, int> c = machine.counts();
        // The walk reaches every end.
        EXPECT_GT(c["ended"], 100);
        EXPECT_GT(c["refused"], 10);
    }
}

}  // namespace
