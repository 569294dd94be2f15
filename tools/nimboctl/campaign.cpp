#include "campaign.hpp"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <unordered_map>

#include "c_handles.hpp"
#include "catalogue.hpp"
#include "exit_codes.hpp"

namespace nimboctl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kCommandTopicPrefix = "/e/default/ma/d/";
constexpr const char* kReplyTopic = "/e/default/ma/d/plat";

std::string text_member(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : "";
}

// Every "{sn}" in the string values of `item`, at any depth, becomes the serial number.
void fill_serial(cJSON* item, const std::string& sn) {
    for (cJSON* child = item ? item->child : nullptr; child != nullptr; child = child->next) {
        if (cJSON_IsString(child) && child->valuestring) {
            std::string value = child->valuestring;
            bool changed = false;
            for (auto at = value.find("{sn}"); at != std::string::npos; at = value.find("{sn}", at + sn.size())) {
                value.replace(at, 4, sn);
                changed = true;
            }
            if (changed) cJSON_SetValuestring(child, value.c_str());
        } else {
            fill_serial(child, sn);
        }
    }
}

std::string request_for(const CampaignSettings& s, const cJSON* param, const TerminalTask& t) {
    JsonPtr request{cJSON_CreateObject()};
    cJSON_AddStringToObject(request.get(), "cmd", s.command.c_str());
    cJSON_AddStringToObject(request.get(), "taskId", t.task_id.c_str());
    cJSON_AddStringToObject(request.get(), "sn", t.sn.c_str());
    if (param != nullptr) {
        cJSON* own = cJSON_Duplicate(param, 1);
        fill_serial(own, t.sn);
        cJSON_AddItemToObject(request.get(), "param", own);
    }
    JsonText text{cJSON_PrintUnformatted(request.get())};
    return text ? text.get() : "";
}

bool ended(Outcome o) { return o == Outcome::finished || o == Outcome::failed || o == Outcome::no_answer; }

struct Counts {
    std::size_t waiting = 0, in_flight = 0, finished = 0, failed = 0, no_answer = 0;
};

Counts count(const std::vector<TerminalTask>& tasks) {
    Counts c;
    for (const auto& t : tasks) {
        switch (t.outcome) {
        case Outcome::waiting: ++c.waiting; break;
        case Outcome::sent:
        case Outcome::running: ++c.in_flight; break;
        case Outcome::finished: ++c.finished; break;
        case Outcome::failed: ++c.failed; break;
        case Outcome::no_answer: ++c.no_answer; break;
        }
    }
    return c;
}

// One JSON line for a terminal whose task ended (--json).
void print_terminal_json(const TerminalTask& t) {
    JsonPtr line{cJSON_CreateObject()};
    cJSON_AddStringToObject(line.get(), "sn", t.sn.c_str());
    cJSON_AddStringToObject(line.get(), "taskId", t.task_id.c_str());
    cJSON_AddStringToObject(line.get(), "result", outcome_name(t.outcome));
    if (!t.status.empty()) cJSON_AddStringToObject(line.get(), "status", t.status.c_str());
    if (!t.fail_des.empty()) cJSON_AddStringToObject(line.get(), "failDes", t.fail_des.c_str());
    if (!t.reply.empty()) {
        if (cJSON* reply = cJSON_Parse(t.reply.c_str())) cJSON_AddItemToObject(line.get(), "reply", reply);
    }
    JsonText text{cJSON_PrintUnformatted(line.get())};
    std::printf("%s\n", text ? text.get() : "{}");
    std::fflush(stdout);
}

std::string progress_line(const CampaignSettings& s, const Counts& c, std::size_t total, double seconds) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s: %zu/%zu ended (%zu finished, %zu failed, %zu no answer), %zu running, %zu to send  [%.0f s]",
                  s.command.c_str(), c.finished + c.failed + c.no_answer, total, c.finished, c.failed, c.no_answer,
                  c.in_flight, c.waiting, seconds);
    return text;
}

void print_summary(const CampaignSettings& s, const std::vector<TerminalTask>& tasks, double seconds,
                   const CampaignResult& r) {
    Counts c = count(tasks);
    if (s.json) {
        JsonPtr line{cJSON_CreateObject()};
        cJSON* sum = cJSON_AddObjectToObject(line.get(), "summary");
        cJSON_AddStringToObject(sum, "cmd", s.command.c_str());
        cJSON_AddNumberToObject(sum, "terminals", static_cast<double>(tasks.size()));
        cJSON_AddNumberToObject(sum, "finished", static_cast<double>(c.finished));
        cJSON_AddNumberToObject(sum, "failed", static_cast<double>(c.failed));
        cJSON_AddNumberToObject(sum, "no_answer", static_cast<double>(c.no_answer));
        cJSON_AddNumberToObject(sum, "running", static_cast<double>(c.in_flight));
        cJSON_AddNumberToObject(sum, "not_sent", static_cast<double>(c.waiting));
        cJSON_AddNumberToObject(sum, "seconds", static_cast<double>(static_cast<long>(seconds * 10)) / 10.0);
        cJSON_AddNumberToObject(line.get(), "exit", r.exit_code);
        JsonText text{cJSON_PrintUnformatted(line.get())};
        std::printf("%s\n", text ? text.get() : "{}");
        std::fflush(stdout);
        return;
    }
    std::printf("%s on %zu terminals: %zu finished, %zu failed, %zu no answer", s.command.c_str(), tasks.size(),
                c.finished, c.failed, c.no_answer);
    if (c.in_flight > 0) std::printf(", %zu still running", c.in_flight);
    if (c.waiting > 0) std::printf(", %zu not sent", c.waiting);
    std::printf(" (%.1f s)\n\n", seconds);

    // Counts per result and reason, then every terminal that did not finish.
    std::map<std::pair<int, std::string>, std::size_t> groups;
    for (const auto& t : tasks) {
        std::string reason = t.outcome == Outcome::finished ? "" : t.fail_des;
        if (t.outcome == Outcome::no_answer) reason = t.status.empty() ? "no reply" : "no news (last: " + t.fail_des + ")";
        groups[{static_cast<int>(t.outcome), reason}]++;
    }
    std::printf("  %-10s %9s  %s\n", "result", "terminals", "reason");
    for (const auto& [key, n] : groups)
        std::printf("  %-10s %9zu  %s\n", outcome_name(static_cast<Outcome>(key.first)), n, key.second.c_str());
    bool header = false;
    for (const auto& t : tasks) {
        if (t.outcome == Outcome::finished) continue;
        if (!header) {
            std::printf("\n  %-20s %-10s %s\n", "terminal", "result", "failDes / last state");
            header = true;
        }
        std::printf("  %-20s %-10s %s\n", t.sn.c_str(), outcome_name(t.outcome), t.fail_des.c_str());
    }
    if (r.interrupted && c.in_flight > 0)
        std::printf("\ninterrupted: the %zu running tasks go on on their terminals (taskId <base>-<SN>)\n",
                    c.in_flight);
    if (r.link_lost) std::printf("\nthe broker could not be reached: %zu commands were not sent\n", c.waiting);
    std::fflush(stdout);
}

}  // namespace

std::string final_ack_request(const std::string& sn, const std::string& task_id) {
    JsonPtr request{cJSON_CreateObject()};
    cJSON_AddStringToObject(request.get(), "cmd", "finalAck");
    cJSON_AddStringToObject(request.get(), "taskId", task_id.c_str());
    cJSON_AddStringToObject(request.get(), "sn", sn.c_str());
    JsonText text{cJSON_PrintUnformatted(request.get())};
    return text ? text.get() : "";
}

const char* outcome_name(Outcome o) {
    switch (o) {
    case Outcome::waiting: return "not sent";
    case Outcome::sent: return "sent";
    case Outcome::running: return "running";
    case Outcome::finished: return "finished";
    case Outcome::failed: return "failed";
    case Outcome::no_answer: return "no answer";
    }
    return "?";
}

std::string serial_problem(const std::string& sn) {
    if (sn.empty()) return "an empty serial number";
    if (sn.size() > 64) return "'" + sn.substr(0, 64) + "...' is longer than 64 characters";
    for (unsigned char c : sn) {
        if (c <= ' ' || c == 0x7f || c == '/' || c == '+' || c == '#' || c == '"' || c == '\\' || c == '{' || c == '}')
            return "'" + sn + "' holds a character a serial number cannot hold";
    }
    return "";
}

std::vector<std::string> serials_from_text(const std::string& text, std::string* error) {
    std::vector<std::string> out;
    std::set<std::string> seen;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        auto hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::string sn;
        if (!(words >> sn)) continue;
        std::string problem = serial_problem(sn);
        if (!problem.empty()) {
            *error = "line " + std::to_string(number) + ": " + problem;
            return {};
        }
        if (!seen.insert(sn).second) continue;
        if (out.size() >= kMaxCampaignTerminals) {
            *error = "more than " + std::to_string(kMaxCampaignTerminals) + " serial numbers";
            return {};
        }
        out.push_back(sn);
    }
    if (out.empty()) *error = "no serial number in it";
    return out;
}

std::vector<std::string> serials_from_pattern(const std::string& pattern, std::string* error) {
    const std::string form = "; write PREFIX%0Nd:FIRST-LAST, e.g. 'NB%04d:1-1000'";
    auto colon = pattern.rfind(':');
    auto pct = pattern.find('%');
    if (colon == std::string::npos || pct == std::string::npos || pct > colon) {
        *error = "'" + pattern + "' is not a serial pattern" + form;
        return {};
    }
    // The conversion: %d or %0Nd, once.
    std::size_t at = pct + 1;
    int width = 0;
    if (at < colon && pattern[at] == '0') {
        ++at;
        std::size_t digits = at;
        while (at < colon && std::isdigit(static_cast<unsigned char>(pattern[at]))) width = width * 10 + (pattern[at++] - '0');
        if (at == digits || width > 20) {
            *error = "'" + pattern + "': the number's width is missing or too large" + form;
            return {};
        }
    }
    if (at >= colon || pattern[at] != 'd' || pattern.find('%', at) < colon) {
        *error = "'" + pattern + "': the pattern takes one %d or %0Nd" + form;
        return {};
    }
    const std::string prefix = pattern.substr(0, pct);
    const std::string suffix = pattern.substr(at + 1, colon - at - 1);
    const std::string range = pattern.substr(colon + 1);
    auto dash = range.find('-');
    auto number = [](const std::string& t, unsigned long long* v) {
        if (t.empty() || t.size() > 12 || !std::all_of(t.begin(), t.end(), [](unsigned char c) { return std::isdigit(c); }))
            return false;
        *v = std::strtoull(t.c_str(), nullptr, 10);
        return true;
    };
    unsigned long long first = 0, last = 0;
    if (dash == std::string::npos || !number(range.substr(0, dash), &first) || !number(range.substr(dash + 1), &last) ||
        last < first) {
        *error = "'" + pattern + "': the range is not FIRST-LAST with FIRST <= LAST" + form;
        return {};
    }
    if (last - first >= kMaxCampaignTerminals) {
        *error = "'" + pattern + "' names more than " + std::to_string(kMaxCampaignTerminals) + " terminals";
        return {};
    }
    std::vector<std::string> out;
    for (unsigned long long n = first; n <= last; ++n) {
        std::string digits = std::to_string(n);
        if (digits.size() < static_cast<std::size_t>(width)) digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
        std::string sn = prefix + digits + suffix;
        std::string problem = serial_problem(sn);
        if (!problem.empty()) {
            *error = "'" + pattern + "': " + problem;
            return {};
        }
        out.push_back(std::move(sn));
    }
    return out;
}

CampaignResult run_campaign(const CampaignSettings& s, std::vector<TerminalTask>& tasks, BrokerLink& link,
                            const std::function<bool()>& stop) {
    CampaignResult result;
    JsonPtr param;
    if (!s.param_text.empty()) param.reset(cJSON_Parse(s.param_text.c_str()));
    std::unordered_map<std::string, std::size_t> by_task;
    for (std::size_t i = 0; i < tasks.size(); ++i) by_task[tasks[i].task_id] = i;
    const std::string reply_cmd = s.command + "Resp";
    const auto began = Clock::now();
    auto last_progress = Clock::time_point{};
    auto last_scan = Clock::time_point{};
    std::size_t next_to_send = 0;
    std::size_t in_flight = 0;
    bool failing = false;
    auto failing_since = Clock::time_point{};
    auto send_again_at = Clock::time_point{};

    auto end_task = [&](TerminalTask& t, Outcome o) {
        if (t.outcome == Outcome::sent || t.outcome == Outcome::running) --in_flight;
        t.outcome = o;
        if (s.json) print_terminal_json(t);
    };

    for (;;) {
        if (stop()) {
            result.interrupted = true;
            break;
        }
        auto now = Clock::now();
        // Fill the free places; a send that fails (the link reconnects) is tried again shortly.
        while (next_to_send < tasks.size() && in_flight < s.parallel && now >= send_again_at && !stop()) {
            TerminalTask& t = tasks[next_to_send];
            if (auto err = link.publish(kCommandTopicPrefix + t.sn, request_for(s, param.get(), t))) {
                if (!failing) failing_since = now;
                failing = true;
                if (now - failing_since > std::chrono::seconds(s.link_patience_s)) {
                    result.link_lost = true;
                    break;
                }
                send_again_at = now + std::chrono::seconds(1);
                break;
            }
            failing = false;
            ++next_to_send;
            ++in_flight;
            t.outcome = Outcome::sent;
            t.deadline = Clock::now() + std::chrono::seconds(s.first_reply_s);
            if (!s.answered) end_task(t, Outcome::finished);
            now = Clock::now();
        }
        if (result.link_lost) break;
        if (next_to_send >= tasks.size() && in_flight == 0) break;

        // Progress on standard error: redrawn twice a second on a terminal, else every 10 s.
        if (!s.json && now - last_progress >= std::chrono::milliseconds(s.tty ? 500 : 10000)) {
            last_progress = now;
            std::string line = progress_line(s, count(tasks), tasks.size(),
                                             std::chrono::duration<double>(now - began).count());
            if (s.tty) std::fprintf(stderr, "\r%s\033[K", line.c_str());
            else std::fprintf(stderr, "%s\n", line.c_str());
            std::fflush(stderr);
        }
        for (const auto& n : link.take_notices()) std::fprintf(stderr, "%snimboctl: %s\n", s.tty ? "\r\033[K" : "", n.c_str());

        auto msg = link.next(now + std::chrono::milliseconds(250));
        if (msg && msg->topic == kReplyTopic) {
            JsonPtr reply{cJSON_Parse(msg->payload.c_str())};
            auto it = by_task.find(text_member(reply.get(), "taskId"));
            if (it != by_task.end() && text_member(reply.get(), "cmd") == reply_cmd) {
                TerminalTask& t = tasks[it->second];
                const std::string rstatus = text_member(cJSON_GetObjectItemCaseSensitive(reply.get(), "param"), "status");
                // Every copy of a final reply is acknowledged (the terminal re-sends until then);
                // the task takes only the first.
                if (s.final_ack && (rstatus == "2" || rstatus == "3") && text_member(reply.get(), "sn") == t.sn)
                    (void)link.publish(kCommandTopicPrefix + t.sn, final_ack_request(t.sn, t.task_id));
                // Replies after the end (a QoS 1 duplicate, a late one) change nothing.
                if (!ended(t.outcome) && t.outcome != Outcome::waiting && text_member(reply.get(), "sn") == t.sn) {
                    const cJSON* p = cJSON_GetObjectItemCaseSensitive(reply.get(), "param");
                    t.status = text_member(p, "status");
                    t.fail_des = text_member(p, "failDes");
                    if (t.status == "1") {
                        t.outcome = Outcome::running;
                        t.deadline = Clock::now() + std::chrono::seconds(s.silence_s);
                    } else {
                        t.reply = msg->payload;
                        end_task(t, t.status == "2" && !reply_means_nothing_done(t.fail_des) ? Outcome::finished
                                                                                             : Outcome::failed);
                    }
                }
            }
        }
        now = Clock::now();
        if (now - last_scan < std::chrono::milliseconds(200)) continue;
        last_scan = now;
        for (auto& t : tasks) {
            if ((t.outcome == Outcome::sent || t.outcome == Outcome::running) && now >= t.deadline)
                end_task(t, Outcome::no_answer);
        }
    }
    if (s.tty && !s.json) std::fprintf(stderr, "\r\033[K");
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    Counts c = count(tasks);
    if (result.interrupted) result.exit_code = kInterrupted;
    else if (result.link_lost) result.exit_code = kConnection;
    else if (c.failed > 0) result.exit_code = kFailed;
    else if (c.no_answer > 0) result.exit_code = kTimeout;
    else result.exit_code = kOk;
    print_summary(s, tasks, seconds, result);
    return result;
}

}  // namespace nimboctl
