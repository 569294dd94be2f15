// nimboctl: one command to many terminals (a campaign). The serial numbers come from a file
// or a pattern; at most `parallel` tasks run at once; every task is followed to its end, and
// the run ends with a summary of the terminals that finished, failed or never answered.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "broker_link.hpp"

namespace nimboctl {

// The most terminals one campaign takes (every one costs a task record and a taskId).
constexpr std::size_t kMaxCampaignTerminals = 100000;

// Serial numbers, one per line (the first word; blank lines and "#" comments skipped), in the
// order given, each once. Empty with `error` set when a line holds no valid serial number.
std::vector<std::string> serials_from_text(const std::string& text, std::string* error);

// "PREFIX%0Nd[SUFFIX]:FIRST-LAST", e.g. "NB%04d:1-1000" -> NB0001 ... NB1000 (the number
// printed with at least N digits, or as it is with plain %d). Empty with `error` set when the
// pattern is not of that form.
std::vector<std::string> serials_from_pattern(const std::string& pattern, std::string* error);

// What a serial number must not hold: the topic separators and wildcards, quotes, spaces and
// control characters. Empty when the serial number is fine, else why it is not.
std::string serial_problem(const std::string& sn);

enum class Outcome { waiting, sent, running, finished, failed, no_answer };

struct TerminalTask {
    std::string sn;
    std::string task_id;
    Outcome outcome = Outcome::waiting;
    std::string status;      // of the last reply
    std::string fail_des;    // of the last reply
    std::string reply;       // the final reply as received
    std::chrono::steady_clock::time_point deadline{};
};

struct CampaignSettings {
    std::string command;          // the request's cmd
    std::string param_text;       // the "param" object as JSON ("" for none); "{sn}" in its
                                  // string values becomes each terminal's serial number
    bool answered = true;         // false: the command has no reply; sent is done
    std::size_t parallel = 50;    // tasks in flight at once
    int first_reply_s = 15;       // from the send to the first reply
    int silence_s = 600;          // between two replies of a running task
    int link_patience_s = 30;     // sending may fail this long (the link reconnects) before giving up
    bool json = false;            // one JSON line per terminal and a summary line
    bool final_ack = false;       // acknowledge every final reply (finalAck; terminals with final_ack=1)
    bool tty = false;             // progress redrawn on one line of standard error
};

struct CampaignResult {
    int exit_code = 0;
    bool interrupted = false;
    bool link_lost = false;
};

// Runs the campaign over an open link (subscribed to the reply topic) and prints the summary.
// `stop` is polled: true ends the run early (the summary still comes).
CampaignResult run_campaign(const CampaignSettings& settings, std::vector<TerminalTask>& tasks, BrokerLink& link,
                            const std::function<bool()>& stop);

const char* outcome_name(Outcome o);

// The command finalAck for the final reply of task_id on terminal sn: the terminal removes the
// reply's backup (with final_ack=1 it keeps it, and sends the reply again, until then).
std::string final_ack_request(const std::string& sn, const std::string& task_id);

}  // namespace nimboctl
