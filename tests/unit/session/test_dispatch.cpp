// The dispatcher's decisions (admission rules, task gate, organisation gate, result
// mapping), the task command file, the payment-lock probe and the backup files.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <set>
#include <string>
#include <vector>

#include "commands/mqtt_cmd_deal.h"
#include "device/nimbo_utils_paylock.h"
#include "elog.h"
#include "session/mqtt_logic.h"
#include "session/mqtt_utils_async.h"
#include "tasks/nimbo_utils_task.h"
#include "test_support.h"
#include "util/nimbo_globals.h"

using mqtt_logic::Outcome;
using testsupport::exists;
using testsupport::read_file;
using testsupport::write_file;

namespace {

// What the fake handlers saw and what they answer.
struct FakeState {
    std::vector<std::string> calls;  // "cmd|taskId|sn|param"
    int rc = 0;
    std::string reply;
    std::string task_file_seen;  // the task file while the handler ran
};
FakeState g_fake;

int fake_handler(MQTTAsync, const RequestCmd* r, char* out, int* out_len) {
    g_fake.calls.push_back(std::string(r->cmd) + "|" + r->taskId + "|" + r->sn + "|" + r->param);
    g_fake.task_file_seen = read_file(g_nimbo_cmd_file_path);
    std::snprintf(out, MQTT_DEAL_REPLY_SIZE, "%s", g_fake.reply.c_str());
    *out_len = static_cast<int>(g_fake.reply.size());
    return g_fake.rc;
}

const mqtt_cmd_deal::Command kFakeRows[] = {
    {"apkUpgrade", mqtt_cmd_deal::Gate::task, fake_handler},
    {"otaUpgrade", mqtt_cmd_deal::Gate::task, fake_handler},
    {"customResourcePoster", mqtt_cmd_deal::Gate::task, fake_handler},
    {"devOrgInfo", mqtt_cmd_deal::Gate::organisation, fake_handler},
    {"reboot", mqtt_cmd_deal::Gate::none, fake_handler},
    {"setDevParam", mqtt_cmd_deal::Gate::none, fake_handler},
    {"querySysStatus", mqtt_cmd_deal::Gate::none, fake_handler},
};
const mqtt_cmd_deal::Table kFake{kFakeRows, static_cast<int>(sizeof kFakeRows / sizeof kFakeRows[0])};

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        g_fake = FakeState{};
        testsupport::set_path(g_nimbo_data_path, dir_.path());
        testsupport::set_path(g_nimbo_cmd_file_path, dir_ / "task_cmd");
        std::snprintf(g_device_serialno, sizeof g_device_serialno, "%s", "NB00000001");
        g_flag_download_running = 0;
        g_flag_mqtt_sub_devorginfo = 0;
    }
    void TearDown() override {
        g_flag_download_running = 0;
        g_flag_mqtt_sub_devorginfo = 0;
    }
    Outcome run(const std::string& text) { return mqtt_logic::dispatch(nullptr, text.c_str(), kFake); }
    std::string task_file() const { return dir_ / "task_cmd"; }

    testsupport::TempDir dir_;
    testsupport::DeviceRoot root_{dir_ / "root"};
};

void expect_result(const Outcome& o, const char* status, const char* fail_des) {
    EXPECT_EQ(o.kind, Outcome::Kind::result);
    EXPECT_EQ(o.status, status);
    EXPECT_EQ(o.fail_des, fail_des);
    EXPECT_EQ(o.qos, 0);
}

TEST_F(Dispatch, ResultMapping) {
    struct Case {
        int rc;
        const char* reply;
        Outcome::Kind kind;
        int qos;
        const char *status, *fail_des;
    };
    const Case cases[] = {
        {0, "", Outcome::Kind::result, 0, "2", "Success"},
        {0, R"({"status":"1"})", Outcome::Kind::param, 0, "", ""},
        {-10000, R"({"ignored":1})", Outcome::Kind::none, 0, "", ""},
        {-10002, R"({"status":"3","failDes":"x"})", Outcome::Kind::param, 2, "", ""},
        {-10002, "", Outcome::Kind::result, 0, "3", "Operation failed"},
        {-2, "", Outcome::Kind::result, 0, "3", "Invalid parameter"},
        {-7, "", Outcome::Kind::result, 0, "3", "Operation does not support"},
        {-9, "", Outcome::Kind::result, 0, "3", "No permissions"},
        {-12345, "", Outcome::Kind::result, 0, "3", "Operation failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rc);
        g_fake.rc = c.rc;
        g_fake.reply = c.reply;
        Outcome o = run(R"({"cmd":"reboot","taskId":"t1","param":{"rebootType":"1"}})");
        EXPECT_EQ(o.kind, c.kind);
        EXPECT_EQ(o.qos, c.qos);
        EXPECT_EQ(o.cmd, "reboot");
        EXPECT_EQ(o.task_id, "t1");
        EXPECT_EQ(o.sn, "NB00000001");
        if (c.kind == Outcome::Kind::param) {
            EXPECT_EQ(o.param, c.reply);
        }
        if (c.kind == Outcome::Kind::result) {
            EXPECT_EQ(o.status, c.status);
            EXPECT_EQ(o.fail_des, c.fail_des);
        }
        if (c.kind == Outcome::Kind::none) {
            EXPECT_EQ(o.code, 0);
        }
    }
}

TEST_F(Dispatch, RequestsThatAreNotExecuted) {
    // Not JSON: no reply at all.
    Outcome o = run("hello");
    EXPECT_EQ(o.kind, Outcome::Kind::none);
    EXPECT_EQ(o.code, -8);
    // Unknown name.
    o = run(R"({"cmd":"nope","taskId":"u","sn":"X"})");
    expect_result(o, "3", "Operation does not support");
    EXPECT_EQ(o.cmd, "nope");
    EXPECT_EQ(o.sn, "X");
    // Overlong param: refused, answered, handler never called.
    o = run(R"({"cmd":"reboot","taskId":"L","param":")" + std::string(3072, 'p') + "\"}");
    expect_result(o, "3", "Invalid parameter");
    EXPECT_EQ(o.task_id, "L");
    // Overlong taskId: cannot be addressed, not answered.
    o = run(R"({"cmd":"reboot","taskId":")" + std::string(256, 't') + "\"}");
    EXPECT_EQ(o.kind, Outcome::Kind::none);
    EXPECT_TRUE(g_fake.calls.empty());
}

TEST_F(Dispatch, ReceivedPayloads) {
    const std::string big(mqtt_logic::kMaxRequestBytes, 'p');
    const std::string nul(1, '\0');
    struct Case {
        const char* name;
        std::string payload;
        bool dispatched;         // the handler ran
        const char* task_id;     // answered "Invalid parameter" with this taskId; null: no reply
        const char* sn;
    };
    const Case cases[] = {
        {"terminating NUL", R"({"cmd":"reboot","taskId":"n1"})" + nul, true, nullptr, nullptr},
        {"NUL ends the text", R"({"cmd":"reboot","taskId":"n2"})" + nul + "junk", true, nullptr, nullptr},
        {"NUL inside a string", R"({"cmd":"reb)" + nul + R"(oot","taskId":"n3"})", false, nullptr, nullptr},
        {"NUL between members", R"({"cmd":"reboot",)" + nul + R"("taskId":"n4"})", false, nullptr, nullptr},
        {"oversized, addressable head", R"({"cmd":"reboot","taskId":"o1","sn":"S9","param":")" + big + "\"}", false,
         "o1", "S9"},
        {"oversized, head after a nested param",
         R"({"param":{"a":["}",{"b":"\"]"}],"c":1.5e3,"d":null},"cmd":"reboot","taskId":"o2","x":")" + big + "\"}",
         false, "o2", "NB00000001"},
        {"oversized, escaped taskId", R"({"cmd":"reboot","taskId":"o\/3","param":")" + big + "\"}", false, "o/3",
         "NB00000001"},
        {"oversized, no taskId", R"({"cmd":"reboot","param":")" + big + "\"}", false, nullptr, nullptr},
        {"oversized, cmd beyond the head", R"({"param":")" + big + R"(","cmd":"reboot","taskId":"o4"})", false, nullptr,
         nullptr},
        {"oversized, taskId too long", R"({"cmd":"reboot","taskId":")" + std::string(256, 't') + big + "\"}", false,
         nullptr, nullptr},
        {"oversized, not JSON", big + big, false, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_fake = FakeState{};
        Outcome o = mqtt_logic::receive(nullptr, c.payload.data(), c.payload.size(), kFake);
        EXPECT_EQ(g_fake.calls.size(), c.dispatched ? 1u : 0u);
        if (c.dispatched) continue;
        if (c.task_id == nullptr) {
            EXPECT_EQ(o.kind, Outcome::Kind::none);
            continue;
        }
        expect_result(o, "3", "Invalid parameter");
        EXPECT_EQ(o.cmd, "reboot");
        EXPECT_EQ(o.task_id, c.task_id);
        EXPECT_EQ(o.sn, c.sn);
    }
}

TEST_F(Dispatch, ParamReachesHandlerAsText) {
    run(R"({"cmd":"reboot","param":{ "rebootType" : "1" }})");
    run(R"({"cmd":"reboot","param":"{\"rebootType\": \"1\"}"})");
    ASSERT_EQ(g_fake.calls.size(), 2u);
    EXPECT_EQ(g_fake.calls[0], R"(reboot||NB00000001|{"rebootType":"1"})");
    EXPECT_EQ(g_fake.calls[1], R"(reboot||NB00000001|{"rebootType": "1"})");
}

TEST_F(Dispatch, AdmissionRules) {
    struct Case {
        const char* cmd;
        bool locked, paying, downloading;
        const char* refusal;  // null: admitted
    };
    const char* locked = "Device is locked, please unlock it and try again.";
    const char* busy = "Device is busy, please try again later.";
    const Case cases[] = {
        {"setDevParam", true, false, false, locked},
        {"reboot", true, false, false, nullptr},  // the lock rule does not list reboot
        {"reboot", false, true, false, busy},
        {"setDevParam", false, false, true, busy},
        {"reboot", false, false, true, nullptr},
        {"querySysStatus", true, true, true, nullptr},
        {"setDevParam", true, true, true, locked},  // rules apply in order
    };
    pid_t holder = -1;
    int to_child[2] = {-1, -1};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cmd) + (c.locked ? " locked" : "") + (c.paying ? " paying" : "") +
                     (c.downloading ? " downloading" : ""));
        g_fake.calls.clear();
        if (c.locked) write_file(dir_ / "devlock_state", "1\n");
        else ::unlink((dir_ / "devlock_state").c_str());
        g_flag_download_running = c.downloading ? 1 : 0;
        if (c.paying && holder < 0) {
            // Another process holds the write lock, as the payment process does.
            std::string lock_path = dir_ / "root/tmp/nimbo_pay_lock";
            write_file(lock_path, "");
            int ready[2];
            ASSERT_EQ(::pipe(ready), 0);
            ASSERT_EQ(::pipe(to_child), 0);
            holder = ::fork();
            ASSERT_GE(holder, 0);
            if (holder == 0) {
                ::close(to_child[1]);  // so that the parent's close ends the read below
                ::close(ready[0]);
                int fd = ::open(lock_path.c_str(), O_RDWR);
                struct flock fl;
                std::memset(&fl, 0, sizeof fl);
                fl.l_type = F_WRLCK;
                fl.l_whence = SEEK_SET;
                char ok = (fd >= 0 && ::fcntl(fd, F_SETLK, &fl) == 0) ? '1' : '0';
                if (::write(ready[1], &ok, 1) != 1) _exit(2);
                char b;
                (void)!::read(to_child[0], &b, 1);
                _exit(0);
            }
            ::close(to_child[0]);
            char ok = 0;
            ASSERT_EQ(::read(ready[0], &ok, 1), 1);
            ASSERT_EQ(ok, '1');
            ::close(ready[0]);
            ::close(ready[1]);
            EXPECT_EQ(nimbo_utils_check_paylock_state(), -9);
        }
        if (!c.paying && holder > 0) {
            ::close(to_child[1]);
            ::waitpid(holder, nullptr, 0);
            holder = -1;
            EXPECT_EQ(nimbo_utils_check_paylock_state(), 0);
        }
        Outcome o = run(std::string(R"({"cmd":")") + c.cmd + R"(","taskId":"a1"})");
        if (c.refusal) {
            expect_result(o, "3", c.refusal);
            EXPECT_TRUE(g_fake.calls.empty());
        } else {
            EXPECT_EQ(g_fake.calls.size(), 1u);
        }
    }
    if (holder > 0) {
        ::close(to_child[1]);
        ::waitpid(holder, nullptr, 0);
    }
}

TEST_F(Dispatch, PayLockProbe) {
    EXPECT_EQ(nimbo_utils_check_paylock_state(), 0);  // no file: not paying
    write_file(dir_ / "root/tmp/nimbo_pay_lock", "");
    EXPECT_EQ(nimbo_utils_check_paylock_state(), 0);  // nobody holds it
}

// What stands at the lock path in the world-writable temporary folder may be planted by
// anyone: only a regular file is the payment application's lock, and nothing else is
// opened (a FIFO without a writer would block an open, a device node would be acted on).
TEST_F(Dispatch, PayLockPlantedThingsMeanNoPayment) {
    const std::string lock_path = dir_ / "root/tmp/nimbo_pay_lock";
    const std::string log = dir_ / "paylock.log";
    write_file(dir_ / "elsewhere/file", "x");
    write_file(lock_path, "");  // its folder
    write_file(log, "");
    ASSERT_EQ(init_easylogger(log.c_str()), 0);
    struct Case {
        const char* what;
        std::function<void()> plant;
        const char* log;  // "" when no line is expected
    };
    const Case cases[] = {
        {"folder", [&] { ::mkdir(lock_path.c_str(), 0755); }, "is a folder, not a regular file: no payment running"},
        {"link to a folder", [&] { (void)!::symlink((dir_ / "elsewhere").c_str(), lock_path.c_str()); },
         "is a symbolic link, not a regular file: no payment running"},
        {"link to a device node", [&] { (void)!::symlink("/dev/null", lock_path.c_str()); },
         "is a symbolic link, not a regular file: no payment running"},
        {"link to a regular file", [&] { (void)!::symlink((dir_ / "elsewhere/file").c_str(), lock_path.c_str()); },
         "is a symbolic link, not a regular file: no payment running"},
        {"fifo", [&] { ::mkfifo(lock_path.c_str(), 0600); }, "is a FIFO, not a regular file: no payment running"},
        {"regular file nobody locks", [&] { write_file(lock_path, ""); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::rmdir(lock_path.c_str());
        ::unlink(lock_path.c_str());
        c.plant();
        size_t before = read_file(log).size();
        EXPECT_EQ(nimbo_utils_check_paylock_state(), 0);
        std::string lines = read_file(log).substr(before);
        if (*c.log) {
            EXPECT_NE(lines.find(lock_path + " " + c.log), std::string::npos) << lines;
        } else {
            EXPECT_EQ(lines, "");
        }
        // A planted thing does not block the commands a payment would.
        g_fake.calls.clear();
        run(R"({"cmd":"reboot","taskId":"a1"})");
        EXPECT_EQ(g_fake.calls.size(), 1u);
    }
    deinit_easylogger();
    EXPECT_EQ(read_file(dir_ / "elsewhere/file"), "x");
}

TEST_F(Dispatch, PosterRefusalCarriesItsParam) {
    write_file(dir_ / "devlock_state", "1\n");
    Outcome o = run(R"({"cmd":"customResourcePoster","taskId":"p1","param":{"action":"insert"}})");
    EXPECT_EQ(o.kind, Outcome::Kind::poster_refusal);
    EXPECT_EQ(o.param, R"({"action":"insert"})");
    EXPECT_FALSE(exists(task_file()));  // refused before the gate
}

TEST_F(Dispatch, TaskGate) {
    const std::string a = R"({"cmd":"apkUpgrade","taskId":"A","param":{"x":1}})";
    const std::string a_again = R"({"taskId":"A", "cmd":"apkUpgrade","param":{"x":1}})";
    const std::string b = R"({"cmd":"apkUpgrade","taskId":"B"})";

    // No file: admitted, the raw text recorded before the handler runs.
    g_fake.rc = 0;
    run(a);
    EXPECT_EQ(g_fake.task_file_seen, a + "\n");
    // Another taskId: dropped without reply; the pending one stays.
    Outcome o = run(b);
    EXPECT_EQ(o.kind, Outcome::Kind::none);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(g_fake.calls.size(), 1u);
    EXPECT_EQ(read_file(task_file()), a + "\n");
    // The same taskId passes and rewrites the file with the new text.
    run(a_again);
    EXPECT_EQ(g_fake.calls.size(), 2u);
    EXPECT_EQ(read_file(task_file()), a_again + "\n");
    // A gate for one kind blocks the other long kinds too.
    run(R"({"cmd":"customResourcePoster","taskId":"C","param":{}})");
    EXPECT_EQ(g_fake.calls.size(), 2u);

    // Unparsable stored text: deleted, the command that found it dropped, the next admitted.
    write_file(task_file(), "garbage\n");
    o = run(b);
    EXPECT_EQ(o.kind, Outcome::Kind::none);
    EXPECT_FALSE(exists(task_file()));
    EXPECT_EQ(g_fake.calls.size(), 2u);
    run(b);
    EXPECT_EQ(g_fake.calls.size(), 3u);

    // Empty file: admitted and overwritten.
    write_file(task_file(), "");
    run(a);
    EXPECT_EQ(g_fake.calls.size(), 4u);
    EXPECT_EQ(read_file(task_file()), a + "\n");
}

// The same taskId under another command is not the same task: refused without a reply and
// without touching the stored one (which would otherwise run in its place after a restart).
TEST_F(Dispatch, SameTaskIdWithAnotherCommandLeavesTheRecord) {
    const std::string apk = R"({"cmd":"apkUpgrade","taskId":"A","param":{"u":1}})";
    g_fake.rc = 0;
    run(apk);
    ASSERT_EQ(g_fake.calls.size(), 1u);
    for (const char* other : {R"({"cmd":"otaUpgrade","taskId":"A","param":{"o":1}})",
                              R"({"cmd":"customResourcePoster","taskId":"A","param":{}})"}) {
        SCOPED_TRACE(other);
        Outcome o = run(other);
        EXPECT_EQ(o.kind, Outcome::Kind::none);
        EXPECT_EQ(g_fake.calls.size(), 1u);
        EXPECT_EQ(read_file(task_file()), apk + "\n");
    }
    // The task itself still passes.
    run(apk);
    EXPECT_EQ(g_fake.calls.size(), 2u);
}

// A folder in the task file's place (damaged state) does not block long tasks for good: it is
// removed and the task recorded.
TEST_F(Dispatch, FolderInPlaceOfTheTaskFileIsReplaced) {
    ASSERT_EQ(::mkdir(task_file().c_str(), 0700), 0);
    write_file(task_file() + "/inner", "x");
    const std::string a = R"({"cmd":"apkUpgrade","taskId":"D","param":{}})";
    g_fake.rc = 0;
    run(a);
    EXPECT_EQ(g_fake.calls.size(), 1u);
    EXPECT_EQ(read_file(task_file()), a + "\n");
}

TEST_F(Dispatch, LongStoredCommandIsReadWhole) {
    // Longer than any line buffer: still recognised as the same task, and read back intact.
    std::string param(3000, 'q');
    std::string text = R"({"cmd":"apkUpgrade","taskId":"LONG","param":")" + param + "\"}";
    write_file(task_file(), text + "\n");
    EXPECT_EQ(nimbo_utils_cmd_file_compare(task_file().c_str(), "LONG", nullptr, nullptr), 0);
    EXPECT_EQ(nimbo_utils_cmd_file_compare(task_file().c_str(), "OTHER", nullptr, nullptr), -10000);
    std::string back;
    ASSERT_TRUE(nimbo::read_task_command(task_file(), &back));
    EXPECT_EQ(back, text);
}

TEST_F(Dispatch, RefusedLongTaskReleasesTheGate) {
    struct Case {
        const char* task_id;
        int rc;
        const char* reply;
        bool kept;
        bool finished;  // answered for good: a later copy is dropped
    };
    const Case cases[] = {
        {"R1", 0, R"({"status":"1"})", true, false},                      // worker started (or paused later)
        {"R2", -10000, "", true, false},                                  // download running / awaiting restart
        {"R3", -10002, R"({"status":"3","failDes":"u"})", false, true},  // empty URL answered "3"
        {"R4", -8, "", false, false},                                     // unparsable param, no worker
        {"R5", -2, "", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rc);
        ::unlink(task_file().c_str());
        g_fake.rc = c.rc;
        g_fake.reply = c.reply;
        const std::string text = std::string(R"({"cmd":"apkUpgrade","param":{},"taskId":")") + c.task_id + "\"}";
        mqtt_logic::answer(nullptr, run(text));
        EXPECT_EQ(exists(task_file()), c.kept);
        EXPECT_EQ(nimbo::task_finished(nimbo::finished_tasks_path(), c.task_id), c.finished);
    }
}

TEST_F(Dispatch, CopyOfAFinishedTaskIsDropped) {
    const std::string a = R"({"cmd":"apkUpgrade","taskId":"A","param":{}})";
    nimbo::record_finished_task(nimbo::finished_tasks_path(), "A");
    // Its task file left by an end cut short goes with the dropped copy.
    write_file(task_file(), a + "\n");
    Outcome o = run(a);
    EXPECT_EQ(o.kind, Outcome::Kind::none);
    EXPECT_TRUE(g_fake.calls.empty());
    EXPECT_FALSE(exists(task_file()));
    // Another task passes; once it is answered for good, its copy is dropped too.
    g_fake.rc = -10002;
    g_fake.reply = R"({"status":"2"})";
    run(R"({"cmd":"customResourcePoster","taskId":"B","param":{}})");
    ASSERT_EQ(g_fake.calls.size(), 1u);
    EXPECT_FALSE(exists(task_file()));
    EXPECT_TRUE(nimbo::task_finished(nimbo::finished_tasks_path(), "B"));
    run(R"({"cmd":"customResourcePoster","taskId":"B","param":{}})");
    EXPECT_EQ(g_fake.calls.size(), 1u);
    // Tasks without a taskId are never taken for one another.
    run(R"({"cmd":"apkUpgrade","param":{}})");
    run(R"({"cmd":"apkUpgrade","param":{}})");
    EXPECT_EQ(g_fake.calls.size(), 3u);
}

TEST(FinishedTasks, RecordIsBoundedPersistedAndSurvivesDamage) {
    testsupport::TempDir dir;
    const std::string path = dir / "finished_tasks";
    using Ids = std::vector<std::string>;
    for (const char* id : {"a", "b", "c", "d"}) EXPECT_TRUE(nimbo::record_finished_task(path, id, 3));
    EXPECT_EQ(nimbo::finished_tasks(path), (Ids{"b", "c", "d"}));
    nimbo::record_finished_task(path, "b", 3);  // again: the newest, not twice
    EXPECT_EQ(read_file(path), R"(["c","d","b"])" "\n");
    EXPECT_TRUE(nimbo::task_finished(path, "c"));
    EXPECT_FALSE(nimbo::task_finished(path, "a"));

    struct Case {
        const char* content;
        Ids kept;
    };
    const Case cases[] = {
        {R"(["c","d")", {}},                 // torn
        {"\x01\xff garbage", {}},
        {R"({"c":1})", {}},                  // not a list
        {R"([1,"x","",null])" "\n", {"x"}},  // only non-empty texts count
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        write_file(path, c.content);
        EXPECT_EQ(nimbo::finished_tasks(path), c.kept);
        EXPECT_TRUE(nimbo::record_finished_task(path, "n", 3));
        Ids after = c.kept;
        after.push_back("n");
        EXPECT_EQ(nimbo::finished_tasks(path), after);
    }

    // A symbolic link in its place is neither read nor written through.
    write_file(dir / "target", R"(["t"])");
    ::unlink(path.c_str());
    ASSERT_EQ(::symlink((dir / "target").c_str(), path.c_str()), 0);
    EXPECT_FALSE(nimbo::task_finished(path, "t"));
    EXPECT_TRUE(nimbo::record_finished_task(path, "s", 3));
    EXPECT_EQ(read_file(dir / "target"), R"(["t"])");
    EXPECT_EQ(nimbo::finished_tasks(path), Ids{"s"});
}

TEST_F(Dispatch, OrganisationGateOncePerConnection) {
    g_fake.rc = -10000;
    run(R"({"cmd":"devOrgInfo","param":{"organizationId":"7"}})");
    Outcome o = run(R"({"cmd":"devOrgInfo","param":{"organizationId":"8"}})");
    EXPECT_EQ(o.kind, Outcome::Kind::none);
    EXPECT_EQ(g_fake.calls.size(), 1u);
    mf_mqtt_conn_lost(nullptr, nullptr);  // the flag is per connection
    run(R"({"cmd":"devOrgInfo","param":{"organizationId":"8"}})");
    EXPECT_EQ(g_fake.calls.size(), 2u);

    // A failing handler leaves the flag clear and is answered.
    mf_mqtt_conn_lost(nullptr, nullptr);
    g_fake.rc = -8;
    o = run(R"({"cmd":"devOrgInfo","param":{}})");
    expect_result(o, "3", "Operation failed");
    EXPECT_EQ(g_flag_mqtt_sub_devorginfo.load(), 0);
}

TEST(OrganisationTopics, Table) {
    struct Case {
        const char *org, *dept, *group;
        std::vector<std::string> topics;
    };
    const Case cases[] = {
        {"7", "", "3", {"/e/7/ma/d/default", "/e/7/ma/g/3"}},
        {"7", "d1", "g1", {"/e/7/ma/d/default", "/e/7/ma/d/d1", "/e/7/ma/g/g1"}},
        {"", "d1", "g1", {}},
        {"7", "", "", {"/e/7/ma/d/default"}},
        {"+", "", "", {}},
        {"7", "#", "", {}},
        {"7", "", "a/b", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.org) + "," + c.dept + "," + c.group);
        DevOrgInfoParam p;
        std::memset(&p, 0, sizeof p);
        std::snprintf(p.organizationId, sizeof p.organizationId, "%s", c.org);
        std::snprintf(p.departmentId, sizeof p.departmentId, "%s", c.dept);
        std::snprintf(p.groupId, sizeof p.groupId, "%s", c.group);
        EXPECT_EQ(mqtt_cmd_deal::organisation_topics(p), c.topics);
    }
}

TEST_F(Dispatch, BackupFiles) {
    const std::string reply = R"({"cmd":"apkUpgradeResp","sn":"NB","taskId":"T1","param":{"status":"2"}})";
    const std::string file = dir_ / "message_T1";
    struct Case {
        int qos;
        const char* topic;
        std::string payload;
        bool stored;
    };
    const Case cases[] = {
        {1, MQTT_REPLY_TOPIC, reply, false},
        {2, MQTT_REPORT_TOPIC, reply, false},
        {2, MQTT_REPLY_TOPIC, R"({"cmd":"xResp","sn":"NB","param":{}})", false},  // no taskId
        {2, MQTT_REPLY_TOPIC, R"({"cmd":"xResp","sn":"NB","taskId":"../T1"})", false},
        {2, MQTT_REPLY_TOPIC, reply, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload + " qos " + std::to_string(c.qos));
        backup_message_deal(1, c.qos, c.topic, c.payload.c_str());
        EXPECT_EQ(exists(file), c.stored);
    }
    EXPECT_EQ(read_file(file), reply + "\n");
    EXPECT_FALSE(exists(dir_.path() + "/../T1"));
    // A later reply for the same task id keeps the first.
    backup_message_deal(1, 2, MQTT_REPLY_TOPIC,
                        R"({"cmd":"apkUpgradeResp","sn":"NB","taskId":"T1","param":{"status":"3"}})");
    EXPECT_EQ(read_file(file), reply + "\n");
    // Completion deletes it.
    backup_message_deal(0, 2, MQTT_REPLY_TOPIC, reply.c_str());
    EXPECT_FALSE(exists(file));
}

TEST_F(Dispatch, BackupNamesForEveryTaskId) {
    struct Case {
        std::string task_id;
        bool plain;  // stored as "message_" + the taskId
    };
    const Case cases[] = {
        {"T-1.a_b", true},
        {"shop_v2", true},
        {"shop/v2", false},
        {"../T1", false},
        {std::string(250, 'x'), false},  // "message_" + it exceeds a file name
        {"t\xc3\xa2" "che 7", false},        // non-ASCII, a space
    };
    std::set<std::string> names;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.task_id);
        const std::string reply = R"({"cmd":"apkUpgradeResp","sn":"NB","taskId":")" + c.task_id + R"(","param":{}})";
        const std::string name = mqtt_utils::backup_name(c.task_id);
        EXPECT_EQ(name == "message_" + c.task_id, c.plain);
        names.insert(name);
        backup_message_deal(1, 2, MQTT_REPLY_TOPIC, reply.c_str());
        EXPECT_EQ(read_file(dir_ / name), reply + "\n");  // the taskId is kept inside
        backup_message_deal(0, 2, MQTT_REPLY_TOPIC, reply.c_str());
        EXPECT_FALSE(exists(dir_ / name));
    }
    EXPECT_EQ(names.size(), sizeof cases / sizeof cases[0]);
}

TEST_F(Dispatch, BackupUnderAnEarlierNameIsRecoveredAndRemoved) {
    const std::string id = "t\xc3\xa2" "che 7";
    const std::string reply = R"({"cmd":"apkUpgradeResp","sn":"NB","taskId":")" + id + R"(","param":{}})";
    write_file(dir_ / ("message_" + id), reply + "\n");
    write_file(dir_ / "message_stray", reply + "\n");  // not named after its reply: left alone
    mqtt_utils_backup_message_recovery(nullptr);
    EXPECT_FALSE(exists(dir_ / ("message_" + id)));
    EXPECT_TRUE(exists(dir_ / "message_stray"));
    EXPECT_EQ(read_file(dir_ / mqtt_utils::backup_name(id)), reply + "\n");
    backup_message_deal(0, 2, MQTT_REPLY_TOPIC, reply.c_str());  // the delivery completed
    EXPECT_FALSE(exists(dir_ / mqtt_utils::backup_name(id)));
}

// Log records while the logger has no file go to stderr: collected here through a pipe
// (a pipe, not a file, so that a file-size limit does not stop them).
class StderrLines {
public:
    StderrLines() {
        if (::pipe(fds_) != 0) throw std::runtime_error("pipe");
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(fds_[1], STDERR_FILENO);
        reader_ = std::thread([this] {
            char buf[4096];
            ssize_t n;
            while ((n = ::read(fds_[0], buf, sizeof buf)) > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                text_.append(buf, static_cast<size_t>(n));
            }
        });
    }
    ~StderrLines() {
        ::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        ::close(fds_[1]);
        reader_.join();
        ::close(fds_[0]);
    }
    // What arrived since the last call (waits until a marker line written now is read).
    std::string take() {
        static int n = 0;
        const std::string marker = "--mark " + std::to_string(++n) + "--\n";
        (void)!::write(STDERR_FILENO, marker.data(), marker.size());
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                size_t at = text_.find(marker);
                if (at != std::string::npos) {
                    std::string out = text_.substr(0, at);
                    text_.erase(0, at + marker.size());
                    return out;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }

private:
    int fds_[2] = {-1, -1};
    int saved_ = -1;
    std::mutex mutex_;
    std::string text_;
    std::thread reader_;
};

// A full data partition, as the process sees it: no file grows past 64 bytes (EFBIG), so no
// reply (about 90 bytes) can be stored; files already there stay readable. Not 0: a sanitizer
// report written meanwhile still leaves its first line in its log file.
class FullPartition {
public:
    FullPartition() {
        ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved_);
    }
    ~FullPartition() { set(false); }
    void set(bool full) {
        struct rlimit r = saved_;
        if (full) r.rlim_cur = kFullAt;
        ::setrlimit(RLIMIT_FSIZE, &r);
        full_ = full;
    }
    bool full() const { return full_; }

private:
    static constexpr rlim_t kFullAt = 64;
    struct rlimit saved_ {};
    bool full_ = false;
};

// Longer than what a full partition lets a file grow to (FullPartition).
std::string final_reply(int k) {
    return R"({"cmd":"apkUpgradeResp","sn":"NB","taskId":"T)" + std::to_string(k) +
           R"(","param":{"status":"2","failDes":"Success"}})";
}

// The broker confirmed the QoS 2 delivery of `payload`, as the library reports it.
void confirm(const std::string& payload) {
    MQTTAsync_successData data;
    std::memset(&data, 0, sizeof data);
    data.alt.pub.message.qos = 2;
    data.alt.pub.message.payload = const_cast<char*>(payload.data());
    data.alt.pub.message.payloadlen = static_cast<int>(payload.size());
    data.alt.pub.destinationName = const_cast<char*>(MQTT_REPLY_TOPIC);
    publish_onSuccess(nullptr, &data);
}

// The task ids of the QoS 2 replies whose send was attempted in `log`.
std::set<int> sent_in(const std::string& log) {
    std::set<int> ids;
    const std::string head = "send message failed, qos: 2, ";
    for (size_t at = log.find(head); at != std::string::npos; at = log.find(head, at + 1)) {
        size_t t = log.find("\"taskId\":\"T", at);
        if (t != std::string::npos) ids.insert(std::atoi(log.c_str() + t + 11));
    }
    return ids;
}

// Final replies over a link that is down (every send refused) and a data partition that
// fills and frees at random: a reply is never lost (each connection sends every reply not
// yet confirmed, whether or not its backup could be stored), a confirmed reply is never
// sent again, and once there is room every unconfirmed reply is stored (at the connection,
// or by the retry timer without one).
TEST_F(Dispatch, FinalRepliesSurviveAFullPartitionUntilConfirmed) {
    // Left set: the retry timer reads it while it runs, possibly after this test.
    ::setenv("NIMBO_RETRY_SECOND_MS", "1", 1);
    StderrLines log;
    FullPartition partition;
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        std::set<int> pending;  // replied, not confirmed
        for (int step = 0; step < 60; ++step) {
            const int what = static_cast<int>(rng() % 10);
            const int k = static_cast<int>(rng() % 6);
            std::string trace = "step " + std::to_string(step) + " action " + std::to_string(what) + " task " +
                                std::to_string(k) + (partition.full() ? " full" : " free");
            SCOPED_TRACE(trace);
            log.take();
            if (what < 4) {  // a worker ends with its final reply; the link is down
                EXPECT_EQ(mqtt_utils_async_publish_replay_message_with_qos(nullptr, final_reply(k).c_str(), 2), -8);
                pending.insert(k);
                if (!partition.full()) {
                    EXPECT_TRUE(exists(dir_ / ("message_T" + std::to_string(k))));
                }
            } else if (what < 6) {
                partition.set(!partition.full());
            } else if (what < 8) {  // a connection: the backups and the held replies go out
                mqtt_utils_backup_message_recovery(nullptr);
                EXPECT_EQ(sent_in(log.take()), pending);
                for (int id : pending) {
                    if (!partition.full()) {
                        EXPECT_TRUE(exists(dir_ / ("message_T" + std::to_string(id)))) << id;
                    }
                }
            } else if (what < 9 && pending.count(k)) {  // the broker confirms one
                confirm(final_reply(k));
                pending.erase(k);
                EXPECT_FALSE(exists(dir_ / ("message_T" + std::to_string(k))));
            } else if (!partition.full()) {  // no connection: the timer stores what it can
                bool all = false;
                for (int i = 0; i < 300 && !all; ++i) {
                    all = true;
                    for (int id : pending) all = all && exists(dir_ / ("message_T" + std::to_string(id)));
                    if (!all) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                EXPECT_TRUE(all) << "held replies stored by the retry timer";
            }
        }
        partition.set(false);
        for (int id : pending) confirm(final_reply(id));
        log.take();
        mqtt_utils_backup_message_recovery(nullptr);  // everything confirmed: nothing goes out
        EXPECT_EQ(sent_in(log.take()), std::set<int>{});
    }
}

// Memory for unstored replies is bounded: the one past the bound is refused with a log line.
TEST_F(Dispatch, HeldRepliesAreBounded) {
    StderrLines log;
    FullPartition partition;
    partition.set(true);
    for (int k = 0; k < 65; ++k)
        mqtt_utils_async_publish_replay_message_with_qos(nullptr, final_reply(100 + k).c_str(), 2);
    std::string lines = log.take();
    EXPECT_NE(lines.find("reply of task T100 could not be stored, kept in memory until the broker confirms it"),
              std::string::npos);
    EXPECT_NE(lines.find("reply of task T164 neither stored nor kept: 64 replies"), std::string::npos) << lines;
    partition.set(false);
    mqtt_utils_backup_message_recovery(nullptr);  // stores the 64 held
    std::set<int> sent = sent_in(log.take());
    EXPECT_EQ(sent.size(), 64u);
    EXPECT_EQ(sent.count(164), 0u);
    for (int k = 0; k < 64; ++k) confirm(final_reply(100 + k));
}

}  // namespace

// The whole serial number is the identity: 32 bytes are kept, a longer one is cut to 32.
TEST(Identity, SerialNumberReadWhole) {
    testsupport::TempDir dir;
    testsupport::DeviceRoot root{dir.path()};
    const std::string s32 = "NB" + std::string(30, '7');
    const std::pair<std::string, std::string> cases[] = {{"NB01", "NB01"}, {s32, s32}, {s32 + "X", s32}};
    for (const auto& [file, serial] : cases) {
        SCOPED_TRACE(file);
        write_file(dir / "usr/data/serialnumber", file + "\n");
        std::memset(g_device_serialno, 'x', sizeof g_device_serialno);
        EXPECT_EQ(nimbo_globals_load_serialno(), 0);
        EXPECT_EQ(std::string(g_device_serialno), serial);
    }
}
