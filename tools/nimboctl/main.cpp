// nimboctl: the operator's console for nimboservice terminals. It talks to the broker as
// the management server does: commands go to "/e/default/ma/d/<SN>", replies come back on
// "/e/default/ma/d/plat" (cmd + "Resp", matched by taskId), reports and alerts on
// "/e/default/rp/d/plat".
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>

#include "broker_link.hpp"
#include "c_handles.hpp"
#include "campaign.hpp"
#include "catalogue.hpp"
#include "exit_codes.hpp"
#include "render.hpp"

namespace nimboctl {
namespace {

constexpr const char* kCommandTopicPrefix = "/e/default/ma/d/";
constexpr const char* kReplyTopic = "/e/default/ma/d/plat";
constexpr const char* kReportTopic = "/e/default/rp/d/plat";
// Presence (terminals with presence=1 in their ini): a retained "online" on connection, the
// session's last will "offline" when the broker loses it.
constexpr const char* kPresenceTopics = "/e/default/st/d/+";
constexpr const char* kPresencePrefix = "/e/default/st/d/";

using Clock = std::chrono::steady_clock;

struct Options {
    std::string broker;
    std::string sn;
    std::string task_id;
    std::string username;
    std::string password;
    std::string cafile;
    bool insecure = false;
    int timeout_s = 15;
    int task_timeout_s = 600;
    int connect_timeout_s = 10;
    bool json = false;
    bool final_ack = false;           // --final-ack: acknowledge final replies (finalAck)
    bool no_wait = false;
    bool help = false;
    bool version = false;
    std::string file;                 // --file: fills the MD5 and size parameters
    // a campaign: many terminals
    bool sn_given = false;            // --sn on the line (not only $NIMBO_SN)
    std::string serials_file;
    std::string serial_pattern;
    long parallel = 50;
    // watch
    bool replies = false;
    long count = 0;
    int for_s = 0;
    std::vector<std::string> words;   // subcommand and its arguments
};

// ---- texts --------------------------------------------------------------------------------

const char* kMainHelp =
    "nimboctl - drive nimboservice terminals through their MQTT broker\n"
    "\n"
    "Usage:\n"
    "  nimboctl [options] COMMAND [PARAMS]       send a command to one terminal and wait for its answer\n"
    "  nimboctl [options] send NAME [PARAMS]     send any command name, without local checks\n"
    "  nimboctl [options] --serials FILE COMMAND [PARAMS]\n"
    "  nimboctl [options] --serial-pattern PATTERN COMMAND [PARAMS]\n"
    "                                            a campaign: the command to many terminals\n"
    "  nimboctl [options] watch                  print reports and alerts as they arrive\n"
    "  nimboctl [options] follow TASKID          re-attach to a long task running on the terminal\n"
    "  nimboctl [options] list                   terminals online and offline (presence)\n"
    "  nimboctl commands                         list the commands the service understands\n"
    "  nimboctl help [COMMAND|watch|send]        help on one of them (or COMMAND --help)\n"
    "\n"
    "PARAMS are the command's \"param\" object, either as one JSON text ('{\"lockType\":\"1\"}'),\n"
    "@FILE holding one, or as words: key=text for a string, key:=JSON for a number, boolean,\n"
    "array or object (progress:=10, enable:=true).\n"
    "\n"
    "Options (anywhere on the line):\n"
    "  --broker URL         broker address: tcp://HOST:PORT, mqtt://, ssl:// or HOST[:PORT]\n"
    "                       (default $NIMBO_BROKER, else tcp://127.0.0.1:1883)\n"
    "  --sn SN              serial number of the terminal (default $NIMBO_SN)\n"
    "  --serials FILE       a campaign on the terminals listed in FILE, one serial number a\n"
    "                       line ('#' starts a comment; '-' reads standard input)\n"
    "  --serial-pattern P   a campaign on PREFIX%0Nd[SUFFIX]:FIRST-LAST, e.g. 'NB%04d:1-1000'\n"
    "  --parallel N         campaign: at most N tasks running at once (default 50)\n"
    "  --final-ack          acknowledge each final reply with finalAck (terminals with final_ack=1\n"
    "                       keep a final reply and send it again until it is acknowledged)\n"
    "  --json               print the replies and reports as raw JSON, one per line\n"
    "  --timeout S          wait S seconds for the first reply (default 15)\n"
    "  --task-timeout S     give up on a long task that sent nothing for S seconds (default 600)\n"
    "  --no-wait            return after the first reply of a long task\n"
    "  --file PATH          apkUpgrade, otaUpgrade, customResourcePoster: fill md5sum and the\n"
    "                       size (and a poster's fileName) from the file that will be served\n"
    "  --task-id ID         use this taskId instead of a generated one (the same taskId\n"
    "                       re-attaches to a pending upgrade or poster task)\n"
    "  --connect-timeout S  seconds to reach the broker (default 10)\n"
    "  --username U, --password P   broker credentials ($NIMBO_USERNAME, $NIMBO_PASSWORD)\n"
    "  --cafile FILE, --insecure    ssl:// only: trusted CAs, or no certificate check\n"
    "  -h, --help           this text\n"
    "  -V, --version        nimboctl's version\n"
    "\n"
    "Requests that nimboctl knows to be wrong (a missing parameter, a value of another type) are\n"
    "not sent: it shows the corrected form and exits 2; 'send' sends anything unchecked.\n"
    "With --json, replies and errors are JSON, one object per line on standard output.\n"
    "\n"
    "A campaign sends the command to every terminal named, keeping at most --parallel tasks in\n"
    "flight; each task's taskId is the base (--task-id, else generated) and \"-SN\"; \"{sn}\" in a\n"
    "parameter value becomes each terminal's serial number. Every task is followed to its end\n"
    "(--timeout for the first reply, --task-timeout between replies) and a summary table ends the\n"
    "run: finished, failed (with the terminal's failDes), no answer. With --json: one line per\n"
    "terminal as its task ends, then {\"summary\":{...},\"exit\":N}. Progress goes to standard error.\n"
    "\n"
    "Exit status: 0 the device answered status \"2\" (or took a command that has no answer),\n"
    "1 it answered status \"3\" or said that nothing was done, 2 a usage error, 3 no answer in\n"
    "time, 4 no broker connection, 130 interrupted. A campaign: 0 when every terminal finished,\n"
    "1 when one failed, else 3 when one did not answer in time.\n"
    "\n"
    "Examples:\n"
    "  nimboctl --broker tcp://127.0.0.1:1883 --sn NB20260001 querySysStatus\n"
    "  nimboctl --sn NB20260001 apkUpgrade apkDownloadUrl=http://10.0.0.5:8080/files/shop.zip \\\n"
    "           md5sum=0123456789abcdef0123456789abcdef applicationName=shop progress:=10\n"
    "  nimboctl --sn NB20260001 devLock '{\"lockType\":\"1\"}'\n"
    "  nimboctl watch --sn NB20260001\n"
    "  nimboctl --serial-pattern 'NB2026%04d:1-1000' --parallel 100 --file shop.zip apkUpgrade \\\n"
    "           apkDownloadUrl=http://10.0.0.5:8080/files/shop.zip applicationName=shop progress:=100\n";

const char* kWatchHelp =
    "nimboctl watch - print the terminals' reports (\"deviceInfo\") and alerts as they arrive\n"
    "\n"
    "Usage: nimboctl [--broker URL] [--sn SN] [--json] watch [--replies] [--count N] [--for S]\n"
    "\n"
    "  --sn SN      only this terminal (default: every terminal on the broker)\n"
    "  --replies    also print command replies (progress of long tasks, other consoles' commands)\n"
    "  --count N    stop after N messages\n"
    "  --for S      stop after S seconds\n"
    "  --json       raw JSON, one message per line\n"
    "\n"
    "Stops on Ctrl-C with status 0.\n";

const char* kSendHelp =
    "nimboctl send - send any command name, without checking its parameters locally\n"
    "\n"
    "Usage: nimboctl [options] send NAME [PARAMS]\n"
    "\n"
    "Useful to try names or parameters that nimboctl does not know. The reply is awaited and\n"
    "shown as for the named commands; a service that does not know NAME answers status \"3\"\n"
    "\"Operation does not support\".\n";

const char* kFollowHelp =
    "nimboctl follow - re-attach to a long task that runs on a terminal\n"
    "\n"
    "Usage: nimboctl [--broker URL] --sn SN [--json] [--task-timeout S] follow TASKID\n"
    "\n"
    "Shows the task's next replies (progress, states, the final result) as if nimboctl had sent it,\n"
    "and exits as for the command: 0 done, 1 failed, 3 nothing within --task-timeout (default 600 s).\n"
    "The taskId is printed when a command is sent (and by 'watch --replies'). A task that waits for\n"
    "a connection or a firmware restart says nothing until then.\n";

const char* kListHelp =
    "nimboctl list - the terminals the broker knows as online or offline\n"
    "\n"
    "Usage: nimboctl [--broker URL] [--json] list [--for S]\n"
    "\n"
    "Reads the retained presence messages on /e/default/st/d/<SN> (\"online\" when a terminal\n"
    "connects, \"offline\" from its last will when the broker loses it) for --for S seconds\n"
    "(default 2) and prints one line per terminal. Only terminals with presence=1 in their\n"
    "nimboservice.ini announce themselves; others do not appear.\n";

void print_command_help(const CommandInfo& c) {
    std::printf("nimboctl %s - %s\n\n", c.name, c.summary);
    std::printf("Usage: nimboctl [options] %s%s\n", c.name, c.params.empty() ? "" : " [PARAMS]");
    if (!c.params.empty()) {
        std::printf("\nParameters (the \"param\" object):\n");
        for (const auto& p : c.params)
            std::printf("  %-20s %-8s %-9s %s\n", p.name, p.type, p.required ? "required" : "optional", p.note);
    } else {
        std::printf("\nNo parameters.\n");
    }
    if (*c.details) std::printf("\n%s\n", c.details);
    if (c.answer == Answer::none) std::printf("\nThe service sends no reply to this command.\n");
    std::printf("\nExample:\n  nimboctl --sn NB20260001 %s%s%s\n", c.name, *c.example ? " " : "", c.example);
    std::printf("\nString values are written key=text, numbers and booleans key:=value.\n"
                "Full reference: docs/protocol.md.\n");
}

void print_commands() {
    std::printf("Commands the service understands (nimboctl COMMAND --help for parameters):\n\n");
    for (const auto& c : command_catalogue()) std::printf("  %-22s %s\n", c.name, c.summary);
    std::printf("\nAnd: watch (reports and alerts), send NAME (any command name).\n");
}

// ---- errors -------------------------------------------------------------------------------

// --json: errors are JSON objects on standard output too, one line each. Set before the
// options are parsed, so that their own errors follow it.
bool g_json = false;

std::string json_line(const char* kind, const std::string& message, int code, const std::string& hint) {
    JsonPtr o{cJSON_CreateObject()};
    cJSON_AddStringToObject(o.get(), "error", kind);
    cJSON_AddStringToObject(o.get(), "message", message.c_str());
    if (!hint.empty()) cJSON_AddStringToObject(o.get(), "hint", hint.c_str());
    cJSON_AddNumberToObject(o.get(), "exit", code);
    JsonText text{cJSON_PrintUnformatted(o.get())};
    return text ? text.get() : "{}";
}

// An error for the user: "nimboctl: MESSAGE" and the hint on standard error, or one JSON
// line on standard output with --json. Returns the exit status.
int report_error(const char* kind, int code, const std::string& message, const std::string& hint = "") {
    if (g_json) {
        std::printf("%s\n", json_line(kind, message, code, hint).c_str());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "nimboctl: %s\n", message.c_str());
        if (!hint.empty()) std::fprintf(stderr, "%s\n", hint.c_str());
    }
    return code;
}

[[noreturn]] void usage_error(const std::string& text, const std::string& hint = "Run 'nimboctl --help' for usage.") {
    std::exit(report_error("usage", kUsage, text, hint));
}

std::string hint_for(const std::string& fail_des, const std::string& cmd) {
    if (fail_des == "Operation does not support")
        return "the service does not support this command or this parameter value (see 'nimboctl commands' and "
               "'nimboctl " + cmd + " --help')";
    if (fail_des == "Invalid parameter")
        return "a parameter is missing, too long or not accepted; see 'nimboctl " + cmd + " --help'";
    if (fail_des == "Operation failed")
        return "the service could not carry out the command; the terminal's log (nimbo_log.log) says why";
    if (fail_des == "App Alipay is offline") return "the payment application is not running on the terminal";
    if (fail_des.rfind("Device is locked", 0) == 0) return "unlock it first: nimboctl --sn SN devLock lockType=0";
    return "";
}

// ---- options ------------------------------------------------------------------------------

int parse_seconds(const std::string& option, const std::string& value) {
    char* end = nullptr;
    long v = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || v < 0 || v > 86400 * 7)
        usage_error(option + " takes a number of seconds (0 to 604800), not '" + value + "'");
    return static_cast<int>(v);
}

Options parse_options(int argc, char** argv) {
    Options o;
    if (const char* env = std::getenv("NIMBO_BROKER")) o.broker = env;
    if (const char* env = std::getenv("NIMBO_SN")) o.sn = env;
    if (const char* env = std::getenv("NIMBO_USERNAME")) o.username = env;
    if (const char* env = std::getenv("NIMBO_PASSWORD")) o.password = env;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-' || arg == "-") {
            o.words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::string name = arg, value;
        bool has_value = false;
        auto eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        auto take = [&]() -> std::string {
            if (has_value) return value;
            if (i + 1 >= argc) usage_error(name + " needs a value");
            return argv[++i];
        };
        if (name == "-h" || name == "--help") o.help = true;
        else if (name == "--version" || name == "-V") o.version = true;
        else if (name == "--file") o.file = take();
        else if (name == "--json") o.json = true;
        else if (name == "--final-ack") o.final_ack = true;
        else if (name == "--no-wait") o.no_wait = true;
        else if (name == "--insecure") o.insecure = true;
        else if (name == "--replies") o.replies = true;
        else if (name == "--broker") o.broker = take();
        else if (name == "--sn") {
            o.sn = take();
            o.sn_given = true;
        }
        else if (name == "--serials") o.serials_file = take();
        else if (name == "--serial-pattern") o.serial_pattern = take();
        else if (name == "--parallel") {
            std::string v = take();
            char* end = nullptr;
            o.parallel = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || o.parallel < 1 || o.parallel > 10000)
                usage_error("--parallel takes a number of tasks from 1 to 10000, not '" + v + "'");
        }
        else if (name == "--task-id") o.task_id = take();
        else if (name == "--username") o.username = take();
        else if (name == "--password") o.password = take();
        else if (name == "--cafile") o.cafile = take();
        else if (name == "--timeout") o.timeout_s = parse_seconds(name, take());
        else if (name == "--task-timeout") o.task_timeout_s = parse_seconds(name, take());
        else if (name == "--connect-timeout") o.connect_timeout_s = parse_seconds(name, take());
        else if (name == "--for") o.for_s = parse_seconds(name, take());
        else if (name == "--count") {
            std::string v = take();
            char* end = nullptr;
            o.count = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || o.count < 1) usage_error("--count takes a positive number, not '" + v + "'");
        } else {
            static const std::vector<std::string> known = {
                "--help", "--version", "--file", "--json", "--final-ack", "--no-wait", "--insecure", "--replies", "--broker", "--sn",
                "--task-id", "--username", "--password", "--cafile", "--timeout", "--task-timeout",
                "--connect-timeout", "--for", "--count", "--serials", "--serial-pattern", "--parallel"};
            std::string guess = closest(name, known);
            usage_error("unknown option '" + arg + "'" + (guess.empty() ? "" : "; did you mean " + guess + "?"));
        }
    }
    if (o.timeout_s == 0) o.timeout_s = 1;
    if (o.broker.empty()) o.broker = "tcp://127.0.0.1:1883";
    return o;
}

// ---- parameters ---------------------------------------------------------------------------

std::string json_error_near(const char* text) {
    const char* pos = cJSON_GetErrorPtr();
    if (pos == nullptr || text == nullptr) return "";
    std::string near(pos, strnlen(pos, 20));
    return " near '" + near + "'";
}

// The "param" object from the words after the command name; null when there are none.
JsonPtr build_param(const std::vector<std::string>& words, std::size_t first) {
    if (first >= words.size()) return nullptr;
    const std::string& head = words[first];
    if (!head.empty() && (head[0] == '{' || head[0] == '@')) {
        if (words.size() > first + 1)
            usage_error("give the parameters either as one JSON object or as key=value words, not both");
        std::string text = head;
        if (head[0] == '@') {
            std::ifstream in(head.substr(1));
            if (!in) usage_error("cannot read the parameter file '" + head.substr(1) + "'");
            text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        JsonPtr param{cJSON_Parse(text.c_str())};
        if (!param) usage_error("the parameters are not valid JSON" + json_error_near(text.c_str()) +
                                "; write one JSON object in single quotes, e.g. '{\"lockType\":\"1\"}'");
        if (!cJSON_IsObject(param.get())) usage_error("the parameters must be a JSON object ({...})");
        return param;
    }
    JsonPtr param{cJSON_CreateObject()};
    for (std::size_t i = first; i < words.size(); ++i) {
        const std::string& w = words[i];
        auto eq = w.find('=');
        if (eq == std::string::npos || eq == 0)
            usage_error("'" + w + "' is not a parameter; write key=text, key:=JSON or one JSON object");
        bool raw = w[eq - 1] == ':';
        std::string key = w.substr(0, raw ? eq - 1 : eq);
        std::string value = w.substr(eq + 1);
        if (key.empty()) usage_error("'" + w + "' has no parameter name");
        if (cJSON_GetObjectItemCaseSensitive(param.get(), key.c_str()) != nullptr)
            usage_error("parameter '" + key + "' is given twice");
        cJSON* item = nullptr;
        if (raw) {
            item = cJSON_Parse(value.c_str());
            if (item == nullptr)
                usage_error("the value of " + key + ":= is not JSON ('" + value + "'); for a text write " + key + "=" +
                            value);
        } else {
            item = cJSON_CreateString(value.c_str());
        }
        cJSON_AddItemToObject(param.get(), key.c_str(), item);
    }
    return param;
}

std::string text_of(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : "";
}


// Local checks for a known command: what the catalogue knows to be wrong is not sent (the
// service would ignore it or answer something misleading); `nimboctl send` sends it as it is.
void check_param(const Options& o, const CommandInfo& c, const cJSON* param) {
    for (const auto& w : request_warnings(c, param)) {
        if (g_json) std::printf("%s\n", json_line("warning", w, 0, "").c_str());
        else std::fprintf(stderr, "nimboctl: warning: %s\n", w.c_str());
    }
    auto errors = request_errors(c, param);
    if (errors.empty()) return;
    std::string message = std::string(c.name) + ": " + errors[0];
    for (std::size_t i = 1; i < errors.size(); ++i) message += "; " + errors[i];
    message += "; nothing was sent";
    const std::string sn = o.sn.empty() ? "SN" : o.sn;
    std::string fixed = corrected_words(c, param);
    std::string hint;
    if (!fixed.empty()) {
        hint = "Corrected:\n  nimboctl --sn " + sn + " " + c.name + " " + fixed + "\n";
        if (fixed.find("=<") != std::string::npos) hint += "(fill in the <...> values)\n";
    }
    else if (std::strcmp(c.name, "customResourcePoster") == 0 && text_of(param, "action") == "delete")
        hint = "For example:\n  nimboctl --sn " + sn + " customResourcePoster action=delete position:=1 "
               "md5sum=0123456789abcdef0123456789abcdef fileName=sale.png\n";
    else hint = "For example:\n  nimboctl --sn " + sn + " " + c.name + (*c.example ? " " : "") + c.example + "\n";
    hint += "('nimboctl " + std::string(c.name) + " --help' lists the parameters; 'nimboctl send " + c.name +
            " ...' sends a request unchecked)";
    usage_error(message, hint);
}

std::optional<std::string> md5_of_file(const std::string& path, unsigned long long* size) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return std::nullopt;
    std::vector<char> buffer(1 << 16);
    *size = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        std::streamsize n = in.gcount();
        if (n <= 0) break;
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(n));
        *size += static_cast<unsigned long long>(n);
    }
    if (in.bad()) return std::nullopt;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return std::nullopt;
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += "0123456789abcdef"[digest[i] >> 4];
        hex += "0123456789abcdef"[digest[i] & 15];
    }
    return hex;
}

// --file PATH: the MD5 and the size (and a poster's file name) from the file to be served.
// A value given on the command line that disagrees with the file is an error.
JsonPtr fill_from_file(const std::string& command, const std::string& path, JsonPtr param) {
    const FileKeys* keys = file_keys(command);
    if (keys == nullptr) usage_error("--file is for apkUpgrade, otaUpgrade and customResourcePoster, not " + command);
    unsigned long long size = 0;
    auto md5 = md5_of_file(path, &size);
    if (!md5) usage_error("cannot read '" + path + "' (--file)");
    if (!param) param.reset(cJSON_CreateObject());
    auto put = [&](const char* key, const std::string& value) {
        const cJSON* given = cJSON_GetObjectItemCaseSensitive(param.get(), key);
        if (given == nullptr) {
            cJSON_AddStringToObject(param.get(), key, value.c_str());
        } else if (!cJSON_IsString(given) || value != given->valuestring) {
            usage_error(std::string(key) + " given on the command line does not match " + path + " (" + value + ")");
        }
    };
    put(keys->md5, *md5);
    put(keys->size, std::to_string(size));
    if (keys->name != nullptr) {
        auto slash = path.find_last_of('/');
        put(keys->name, slash == std::string::npos ? path : path.substr(slash + 1));
    }
    return param;
}

// ---- session ------------------------------------------------------------------------------

std::string random_hex(int digits) {
    std::random_device rd;
    std::mt19937_64 gen(rd());
    std::uniform_int_distribution<unsigned> d(0, 15);
    std::string out;
    for (int i = 0; i < digits; ++i) out += "0123456789abcdef"[d(gen)];
    return out;
}

std::string generated_task_id() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    return "nimboctl-" + std::to_string(ms) + "-" + random_hex(6);
}

// Signals become a wake-up of the waiting main thread.
class SignalWatcher {
public:
    SignalWatcher() {
        sigemptyset(&set_);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&set_, s);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);   // before any other thread exists
        signal(SIGPIPE, SIG_IGN);
    }
    ~SignalWatcher() { stop(); }
    // Ends the waiting thread; called before the link it wakes goes away.
    void stop() {
        if (thread_.joinable()) {
            pthread_kill(thread_.native_handle(), SIGUSR1);
            thread_.join();
        }
    }
    void start(BrokerLink* link) {
        thread_ = std::thread([this, link] {
            int sig = 0;
            if (sigwait(&set_, &sig) == 0 && sig != SIGUSR1) {
                caught_ = sig;
                link->wake();
            }
        });
    }
    int caught() const { return caught_.load(); }

private:
    sigset_t set_;
    std::thread thread_;
    std::atomic<int> caught_{0};
};

int open_link(const Options& o, BrokerLink& link, const std::vector<std::string>& topics) {
    auto url = normalise_broker_url(o.broker);
    if (!url) usage_error("'" + o.broker + "' is not a broker address; write tcp://HOST:PORT (or HOST:PORT)");
    BrokerOptions bo;
    bo.url = *url;
    bo.client_id = "nimboctl-" + std::to_string(getpid()) + "-" + random_hex(8);
    bo.username = o.username;
    bo.password = o.password;
    bo.cafile = o.cafile;
    bo.insecure = o.insecure;
    bo.connect_timeout_s = o.connect_timeout_s > 0 ? o.connect_timeout_s : 1;
    if (auto err = link.open(bo, topics)) {
        if (link.woken()) return kInterrupted;
        return report_error("connection", kConnection, err->what + ".",
                            "Check that the broker is running and that --broker (or $NIMBO_BROKER) names it, "
                            "e.g. --broker tcp://127.0.0.1:1883.");
    }
    return kOk;
}

void show_notices(BrokerLink& link) {
    for (const auto& n : link.take_notices()) std::fprintf(stderr, "nimboctl: %s\n", n.c_str());
}


// The remaining members of a reply's param, without status and failDes.
std::string describe_extra(const cJSON* param) {
    if (!cJSON_IsObject(param)) return "";
    JsonPtr copy{cJSON_Duplicate(param, 1)};
    if (!copy) return "";
    cJSON_DeleteItemFromObjectCaseSensitive(copy.get(), "status");
    cJSON_DeleteItemFromObjectCaseSensitive(copy.get(), "failDes");
    return describe_object(copy.get(), 2);
}

bool is_long_task(const std::string& cmd) {
    return cmd == "apkUpgrade" || cmd == "otaUpgrade" || cmd == "customResourcePoster";
}

// The size in bytes the request announces (apkSize, otaSize, fileSize), 0 when none.
unsigned long long announced_size(const std::string& cmd, const cJSON* param) {
    const FileKeys* keys = file_keys(cmd);
    if (keys == nullptr || param == nullptr) return 0;
    std::string text = text_of(param, keys->size);
    return text.empty() ? 0 : std::strtoull(text.c_str(), nullptr, 10);
}

void check_serial(const Options& o) {
    if (o.sn.empty()) usage_error("no terminal named: give --sn SERIAL (or set NIMBO_SN)");
    if (o.sn.find_first_of("/+#") != std::string::npos) usage_error("a serial number cannot hold '/', '+' or '#'");
}

// Waits for the replies of one task and shows them. `want` is the reply's cmd, or empty to
// take any reply with the taskId (follow). `sent` tells whether this run sent the request.
int await_task(const Options& o, const std::string& name, const std::string& want, const std::string& task_id,
               unsigned long long total_bytes, bool sent, SignalWatcher& signals, BrokerLink& link) {
    Progress progress(stdout);
    progress.set_total_bytes(total_bytes);
    bool accepted = !sent;
    std::string last_state;
    std::string other_task;   // a long task of this terminal that is running instead
    const int first_wait = sent ? o.timeout_s : (o.task_timeout_s > 0 ? o.task_timeout_s : 86400 * 7);
    auto deadline = Clock::now() + std::chrono::seconds(first_wait);
    auto last_news = Clock::now();
    for (;;) {
        auto wake = std::min(deadline, Clock::now() + std::chrono::seconds(1));
        auto msg = link.next(wake);
        if (signals.caught()) {
            progress.finish();
            if (accepted)
                report_error("interrupted", kInterrupted,
                             "interrupted. The task goes on on the terminal (taskId " + task_id + ")",
                             "Re-attach with: nimboctl --sn " + o.sn + " follow " + task_id);
            else
                report_error("interrupted", kInterrupted, "interrupted.");
            return kInterrupted;
        }
        show_notices(link);
        if (!msg) {
            if (Clock::now() < deadline) {
                if (accepted && !o.json) progress.idle(std::chrono::duration_cast<std::chrono::seconds>(
                                                          Clock::now() - last_news).count());
                continue;
            }
            progress.finish();
            if (!accepted && sent) {
                std::string hint =
                    "Check that the terminal is online ('nimboctl --sn " + o.sn +
                    " watch' shows its reports when it connects) and that the serial number is right. --timeout S "
                    "waits longer.";
                if (is_long_task(name)) {
                    hint += "\nA terminal ignores a new upgrade or poster task, without any answer, while another one is "
                            "pending: a download in progress or paused, or a firmware update waiting for its restart.";
                    if (!other_task.empty())
                        hint += "\nPending now: " + other_task + ". Follow it with: nimboctl --sn " + o.sn + " follow " +
                                other_task.substr(0, other_task.find(' '));
                    else
                        hint += " Re-attach to the pending one with its taskId: nimboctl --sn " + o.sn +
                                " follow TASKID ('nimboctl --sn " + o.sn + " watch --replies' shows it).";
                }
                return report_error("timeout", kTimeout,
                                    "no reply from " + o.sn + " within " + std::to_string(first_wait) + " s.", hint);
            }
            if (!accepted) {
                return report_error("timeout", kTimeout,
                                    "no reply with taskId " + task_id + " from " + o.sn + " within " +
                                        std::to_string(first_wait) + " s.",
                                    "The task may have ended already, or it waits for a restart or a connection.");
            }
            return report_error("timeout", kTimeout,
                                "the task sent nothing for " + std::to_string(o.task_timeout_s) + " s" +
                                    (last_state.empty() ? "" : " (last: " + last_state + ")") +
                                    "; it may still be running on the terminal.",
                                "Re-attach with: nimboctl --sn " + o.sn + " follow " + task_id +
                                    " (or raise --task-timeout).");
        }
        if (msg->topic != kReplyTopic) continue;
        JsonPtr reply{cJSON_Parse(msg->payload.c_str())};
        if (!reply) continue;
        const std::string rcmd = text_of(reply.get(), "cmd");
        const std::string rtask = text_of(reply.get(), "taskId");
        const cJSON* rparam = cJSON_GetObjectItemCaseSensitive(reply.get(), "param");
        if (rtask != task_id || (want.empty() ? rcmd.size() <= 4 || rcmd.compare(rcmd.size() - 4, 4, "Resp") != 0
                                              : rcmd != want)) {
            // Another long task of the same terminal still running: why ours may get no answer.
            std::string base = rcmd.size() > 4 ? rcmd.substr(0, rcmd.size() - 4) : "";
            if (sent && text_of(reply.get(), "sn") == o.sn && is_long_task(base) && text_of(rparam, "status") == "1")
                other_task = rtask + " (" + base + ", " + text_of(rparam, "failDes") + ")";
            continue;
        }
        last_news = Clock::now();
        std::string status = text_of(rparam, "status");
        std::string fail_des = text_of(rparam, "failDes");
        if (o.json) {
            std::printf("%s\n", msg->payload.c_str());
            std::fflush(stdout);
        }
        if (status == "1") {
            deadline = Clock::now() + std::chrono::seconds(o.task_timeout_s > 0 ? o.task_timeout_s : 86400 * 7);
            if (!o.json) {
                if (!accepted) {
                    std::printf("%s; the terminal is working on it\n", sent ? "accepted" : "following");
                    std::string extra = describe_extra(rparam);
                    if (!extra.empty()) std::printf("%s", extra.c_str());
                }
                if (auto pct = percentage_of(fail_des)) progress.percent(*pct, fail_des);
                else if (!fail_des.empty()) progress.state(fail_des);
                std::fflush(stdout);
            }
            if (!fail_des.empty()) last_state = fail_des;
            accepted = true;
            if (o.no_wait) {
                if (!o.json) {
                    progress.finish();
                    std::printf("not waiting for the end (--no-wait); re-attach with: nimboctl --sn %s follow %s\n",
                                o.sn.c_str(), task_id.c_str());
                }
                return kOk;
            }
            continue;
        }
        progress.finish();
        if (o.final_ack && (status == "2" || status == "3"))
            (void)link.publish(kCommandTopicPrefix + o.sn, final_ack_request(o.sn, task_id));
        const std::string shown = want.empty() ? rcmd.substr(0, rcmd.size() - 4) : name;
        if (status != "2" || reply_means_nothing_done(fail_des)) {
            if (!o.json) {
                std::string extra = describe_extra(rparam);
                if (!extra.empty()) std::printf("%s", extra.c_str());
            }
            std::string what = status == "2" ? " (nothing was done)" : "";
            std::string hint = hint_for(fail_des, shown);
            const std::string message =
                shown + " failed on " + o.sn + ": " + (fail_des.empty() ? "(no reason given)" : fail_des) + what;
            if (o.json && status != "2") {
                // The reply on standard output is the JSON answer; the words go to standard error.
                std::fprintf(stderr, "nimboctl: %s\n", message.c_str());
                return kFailed;
            }
            return report_error("failed", kFailed, message, hint.empty() ? "" : "  " + hint);
        }
        if (!o.json) {
            std::printf("done%s%s\n", fail_des.empty() ? "" : ": ", fail_des.c_str());
            std::string extra = describe_extra(rparam);
            if (!extra.empty()) std::printf("%s", extra.c_str());
        }
        return kOk;
    }
}

int run_command(const Options& o, const std::string& name, const CommandInfo* info, JsonPtr param,
                SignalWatcher& signals, BrokerLink& link) {
    check_serial(o);
    if (name.size() > 255) usage_error("the command name is longer than 255 characters");
    const std::string task_id = o.task_id.empty() ? generated_task_id() : o.task_id;
    const unsigned long long total = announced_size(name, param.get());

    JsonPtr request{cJSON_CreateObject()};
    cJSON_AddStringToObject(request.get(), "cmd", name.c_str());
    cJSON_AddStringToObject(request.get(), "taskId", task_id.c_str());
    cJSON_AddStringToObject(request.get(), "sn", o.sn.c_str());
    if (param) cJSON_AddItemToObject(request.get(), "param", param.release());
    JsonText text{cJSON_PrintUnformatted(request.get())};
    if (!text) return report_error("internal", kFailed, "out of memory while building the command");

    signals.start(&link);
    if (int rc = open_link(o, link, {kReplyTopic}); rc != kOk) return rc;
    if (auto err = link.publish(kCommandTopicPrefix + o.sn, text.get())) {
        if (signals.caught()) return kInterrupted;
        return report_error("connection", kConnection, err->what + "; check the broker connection and try again.");
    }
    if (!o.json) std::printf("%s -> %s  (taskId %s)\n", name.c_str(), o.sn.c_str(), task_id.c_str());
    std::fflush(stdout);
    if (info != nullptr && info->answer == Answer::none) {
        if (!o.json) std::printf("sent; the service does not answer %s\n", name.c_str());
        return kOk;
    }
    return await_task(o, name, name + "Resp", task_id, total, true, signals, link);
}

bool is_campaign(const Options& o) { return !o.serials_file.empty() || !o.serial_pattern.empty(); }

// The terminals of a campaign, from --serials or --serial-pattern.
std::vector<std::string> campaign_serials(const Options& o) {
    if (o.sn_given)
        usage_error("--sn names one terminal; a campaign takes --serials or --serial-pattern alone");
    if (!o.serials_file.empty() && !o.serial_pattern.empty())
        usage_error("give either --serials or --serial-pattern, not both");
    std::string error;
    std::vector<std::string> serials;
    if (!o.serial_pattern.empty()) {
        serials = serials_from_pattern(o.serial_pattern, &error);
        if (serials.empty()) usage_error("--serial-pattern " + error);
        return serials;
    }
    std::string text;
    if (o.serials_file == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(o.serials_file);
        if (!in) usage_error("cannot read the serial numbers file '" + o.serials_file + "' (--serials)");
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    serials = serials_from_text(text, &error);
    if (serials.empty()) usage_error("--serials " + o.serials_file + ": " + error);
    return serials;
}

// A campaign: the command to every terminal named, followed to the end, then the summary.
int run_campaign_command(const Options& o, const std::string& name, const CommandInfo* info, JsonPtr param,
                         SignalWatcher& signals, BrokerLink& link) {
    if (o.no_wait) usage_error("--no-wait is for one terminal; a campaign follows every task to its end");
    if (name.size() > 255) usage_error("the command name is longer than 255 characters");
    const std::vector<std::string> serials = campaign_serials(o);
    const std::string base = o.task_id.empty() ? generated_task_id() : o.task_id;
    std::vector<TerminalTask> tasks(serials.size());
    for (std::size_t i = 0; i < serials.size(); ++i) {
        tasks[i].sn = serials[i];
        tasks[i].task_id = base + "-" + serials[i];
    }
    CampaignSettings settings;
    settings.command = name;
    if (param) {
        JsonText text{cJSON_PrintUnformatted(param.get())};
        if (!text) return report_error("internal", kFailed, "out of memory while building the command");
        settings.param_text = text.get();
    }
    settings.answered = info == nullptr || info->answer != Answer::none;
    settings.parallel = static_cast<std::size_t>(o.parallel);
    settings.first_reply_s = o.timeout_s;
    settings.silence_s = o.task_timeout_s > 0 ? o.task_timeout_s : 86400 * 7;
    settings.link_patience_s = std::max(30, o.connect_timeout_s * 3);
    settings.json = o.json;
    settings.final_ack = o.final_ack;
    settings.tty = isatty(STDERR_FILENO) == 1;

    signals.start(&link);
    if (int rc = open_link(o, link, {kReplyTopic}); rc != kOk) return rc;
    if (!o.json)
        std::fprintf(stderr, "%s to %zu terminals, at most %ld at once (taskId %s-<SN>); Ctrl-C stops\n",
                     name.c_str(), tasks.size(), o.parallel, base.c_str());
    CampaignResult r = run_campaign(settings, tasks, link, [&] { return signals.caught() != 0; });
    return r.exit_code;
}

// follow TASKID: re-attaches to a task that runs on the terminal (its progress and result).
int run_follow(const Options& o, const std::string& task_id, SignalWatcher& signals, BrokerLink& link) {
    check_serial(o);
    signals.start(&link);
    if (int rc = open_link(o, link, {kReplyTopic}); rc != kOk) return rc;
    if (!o.json)
        std::fprintf(stderr, "following task %s on %s; its next reply shows its state (Ctrl-C stops)\n",
                     task_id.c_str(), o.sn.c_str());
    return await_task(o, "", "", task_id, 0, false, signals, link);
}

int run_watch(const Options& o, SignalWatcher& signals, BrokerLink& link) {
    signals.start(&link);
    std::vector<std::string> topics{kReportTopic};
    if (o.replies) topics.push_back(kReplyTopic);
    if (int rc = open_link(o, link, topics); rc != kOk) return rc;
    if (!o.json) {
        std::fprintf(stderr, "watching %s on %s%s; Ctrl-C stops\n", o.sn.empty() ? "every terminal" : o.sn.c_str(),
                     o.broker.c_str(), o.replies ? " (reports, alerts and replies)" : " (reports and alerts)");
    }
    const auto far = Clock::now() + std::chrono::hours(24 * 365);
    const auto end = o.for_s > 0 ? Clock::now() + std::chrono::seconds(o.for_s) : far;
    long seen = 0;
    for (;;) {
        auto msg = link.next(end);
        if (signals.caught()) return kOk;
        show_notices(link);
        if (!msg) {
            if (Clock::now() >= end) return kOk;
            continue;
        }
        JsonPtr body{cJSON_Parse(msg->payload.c_str())};
        std::string sn = text_of(body.get(), "sn");
        if (!o.sn.empty() && sn != o.sn) continue;
        if (o.json || !body) {
            std::printf("%s\n", msg->payload.c_str());
        } else {
            std::string cmd = text_of(body.get(), "cmd");
            const cJSON* param = cJSON_GetObjectItemCaseSensitive(body.get(), "param");
            if (msg->topic == kReplyTopic) {
                std::printf("%s  %s  %s  taskId=%s  status=%s  %s\n", local_time_now().c_str(), sn.c_str(), cmd.c_str(),
                            text_of(body.get(), "taskId").c_str(), text_of(param, "status").c_str(),
                            text_of(param, "failDes").c_str());
            } else {
                std::printf("%s", describe_report(cmd, sn, param).c_str());
            }
        }
        std::fflush(stdout);
        if (o.count > 0 && ++seen >= o.count) return kOk;
    }
}

int run_list(const Options& o, SignalWatcher& signals, BrokerLink& link) {
    signals.start(&link);
    if (int rc = open_link(o, link, {kPresenceTopics}); rc != kOk) return rc;
    const auto end = Clock::now() + std::chrono::seconds(o.for_s > 0 ? o.for_s : 2);
    std::vector<std::pair<std::string, std::string>> seen;   // serial, state; in arrival order
    for (;;) {
        auto msg = link.next(end);
        if (signals.caught()) return kInterrupted;
        show_notices(link);
        if (!msg) {
            if (Clock::now() >= end) break;
            continue;
        }
        if (msg->topic.rfind(kPresencePrefix, 0) != 0) continue;
        std::string sn = msg->topic.substr(std::strlen(kPresencePrefix));
        if (!o.sn.empty() && sn != o.sn) continue;
        bool updated = false;
        for (auto& entry : seen) {
            if (entry.first == sn) {
                entry.second = msg->payload;
                updated = true;
            }
        }
        if (!updated) seen.emplace_back(sn, msg->payload);
    }
    if (o.json) {
        for (const auto& [sn, state] : seen) {
            JsonPtr line{cJSON_CreateObject()};
            cJSON_AddStringToObject(line.get(), "sn", sn.c_str());
            cJSON_AddStringToObject(line.get(), "state", state.c_str());
            JsonText text{cJSON_PrintUnformatted(line.get())};
            std::printf("%s\n", text ? text.get() : "{}");
        }
        return kOk;
    }
    if (seen.empty()) {
        std::printf("no terminal has announced itself on %s (presence=1 in a terminal's nimboservice.ini turns it "
                    "on)\n",
                    o.broker.c_str());
        return kOk;
    }
    std::size_t online = 0;
    for (const auto& [sn, state] : seen) {
        std::printf("  %-24s %s\n", sn.c_str(), state.c_str());
        online += state == "online" ? 1 : 0;
    }
    std::printf("%zu online, %zu offline\n", online, seen.size() - online);
    return kOk;
}

// Hidden helper of the bash completion: command names, or a command's parameter words.
int run_complete(const Options& o) {
    if (o.words.size() < 2) {
        for (const auto& c : command_catalogue()) std::printf("%s\n", c.name);
        for (const char* w : {"send", "watch", "follow", "list", "commands", "help"}) std::printf("%s\n", w);
        return kOk;
    }
    if (const CommandInfo* c = find_command(o.words[1])) {
        for (const auto& p : c->params) std::printf("%s%s\n", p.name, std::strcmp(p.type, "string") == 0 ? "=" : ":=");
    }
    return kOk;
}

std::vector<std::string> subcommand_names() {
    std::vector<std::string> names = {"send", "watch", "follow", "list", "commands", "help"};
    for (const auto& c : command_catalogue()) names.push_back(c.name);
    return names;
}

int dispatch(const Options& o, SignalWatcher& signals, BrokerLink& link) {
    if (o.version) {
        std::printf("nimboctl %s\n", NIMBO_VERSION_TEXT);
        return kOk;
    }
    if (o.words.empty()) {
        if (o.help) {
            std::printf("%s", kMainHelp);
            return kOk;
        }
        std::fprintf(stderr, "%s", kMainHelp);
        return kUsage;
    }
    const std::string sub = o.words[0];
    if (sub == "_complete") return run_complete(o);
    if (sub == "help") {
        if (o.words.size() < 2) std::printf("%s", kMainHelp);
        else if (o.words[1] == "watch") std::printf("%s", kWatchHelp);
        else if (o.words[1] == "send") std::printf("%s", kSendHelp);
        else if (o.words[1] == "follow") std::printf("%s", kFollowHelp);
        else if (o.words[1] == "list") std::printf("%s", kListHelp);
        else if (o.words[1] == "commands") print_commands();
        else if (const CommandInfo* c = find_command(o.words[1])) print_command_help(*c);
        else usage_error("no help on '" + o.words[1] + "'; 'nimboctl commands' lists the commands");
        return kOk;
    }
    if (sub == "commands") {
        print_commands();
        return kOk;
    }
    if (is_campaign(o) && (sub == "watch" || sub == "list" || sub == "follow"))
        usage_error("--serials and --serial-pattern are for commands, not for " + sub);
    if (sub == "watch") {
        if (o.help) {
            std::printf("%s", kWatchHelp);
            return kOk;
        }
        if (o.words.size() > 1) usage_error("watch takes no arguments besides its options");
        return run_watch(o, signals, link);
    }
    if (sub == "list") {
        if (o.help) {
            std::printf("%s", kListHelp);
            return kOk;
        }
        if (o.words.size() > 1) usage_error("list takes no arguments besides its options");
        return run_list(o, signals, link);
    }
    if (sub == "follow") {
        if (o.help) {
            std::printf("%s", kFollowHelp);
            return kOk;
        }
        if (o.words.size() != 2) usage_error("follow needs the task's taskId: nimboctl --sn SN follow TASKID");
        return run_follow(o, o.words[1], signals, link);
    }
    if (sub == "send") {
        if (o.help) {
            std::printf("%s", kSendHelp);
            return kOk;
        }
        if (o.words.size() < 2) usage_error("send needs a command name: nimboctl --sn SN send NAME [PARAMS]");
        JsonPtr param = build_param(o.words, 2);
        if (!o.file.empty()) param = fill_from_file(o.words[1], o.file, std::move(param));
        if (is_campaign(o))
            return run_campaign_command(o, o.words[1], find_command(o.words[1]), std::move(param), signals, link);
        return run_command(o, o.words[1], find_command(o.words[1]), std::move(param), signals, link);
    }
    const CommandInfo* info = find_command(sub);
    if (info == nullptr) {
        std::string guess = closest(sub, subcommand_names());
        usage_error("unknown command '" + sub + "'" + (guess.empty() ? "" : "; did you mean '" + guess + "'?"),
                    "'nimboctl commands' lists the commands; 'nimboctl send " + sub + "' sends any name as it is.");
    }
    if (o.help) {
        print_command_help(*info);
        return kOk;
    }
    JsonPtr param = build_param(o.words, 1);
    if (!o.file.empty()) param = fill_from_file(sub, o.file, std::move(param));
    check_param(o, *info, param.get());
    if (is_campaign(o)) return run_campaign_command(o, sub, info, std::move(param), signals, link);
    return run_command(o, sub, info, std::move(param), signals, link);
}

int main_inner(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) g_json = g_json || std::strcmp(argv[i], "--json") == 0;
    Options o = parse_options(argc, argv);
    SignalWatcher signals;   // first: signals are blocked before the client's threads exist
    BrokerLink link;
    int rc = dispatch(o, signals, link);
    signals.stop();
    link.close();
    return rc;
}

}  // namespace
}  // namespace nimboctl

int main(int argc, char** argv) {
    try {
        return nimboctl::main_inner(argc, argv);
    } catch (const std::exception& e) {
        return nimboctl::report_error("internal", nimboctl::kFailed, e.what());
    }
}
