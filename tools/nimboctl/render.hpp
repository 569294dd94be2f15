// nimboctl: readable output of replies, reports and progress.
#pragma once

#include <cjson/cJSON.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

namespace nimboctl {

// "key  value" lines for the members of an object, indented; nested objects indent further,
// arrays of objects become numbered blocks, arrays of texts a comma-separated line.
std::string describe_object(const cJSON* object, int indent);

// One line for a report or alert seen by `watch`.
std::string describe_report(const std::string& cmd, const std::string& sn, const cJSON* param);

// The leading percentage of a progress text such as "10.52%", if any.
std::optional<double> percentage_of(const std::string& text);

// The operator's words for a state text of the service ("The task is paused..."), or the
// text itself when it needs none.
std::string explain_state(const std::string& text);

// Bytes, speed and time left of a download from its percentages and its announced size,
// e.g. "1.2 of 4.0 MB, 180 kB/s, 16 s left"; "" when the size is unknown or nothing moved yet.
std::string transfer_figures(double percent, unsigned long long total_bytes, double bytes_per_second);

// Progress of a long task: a redrawn bar on a terminal, plain lines elsewhere.
class Progress {
public:
    explicit Progress(std::FILE* out);
    void set_total_bytes(unsigned long long total) { total_bytes_ = total; }
    void percent(double value, const std::string& text);
    void state(const std::string& text);   // "Installing", a pause, ...
    // Called while nothing arrives: after a while the bar says how long it has been quiet.
    void idle(long seconds);
    void finish();                          // ends a bar line before other output

private:
    void draw(const std::string& note);

    std::FILE* out_;
    bool tty_;
    bool bar_open_ = false;
    std::string last_state_;
    unsigned long long total_bytes_ = 0;
    double last_percent_ = -1;
    double rate_ = 0;                        // bytes per second, smoothed
    double rate_percent_ = -1;               // where the rate was last measured
    std::chrono::steady_clock::time_point rate_time_{};
    long idle_shown_ = 0;
};

std::string local_time_now();

}  // namespace nimboctl
