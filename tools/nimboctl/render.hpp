// nimboctl: readable output of replies, reports and progress.
#pragma once

#include <cjson/cJSON.h>

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

// Progress of a long task: a redrawn bar on a terminal, plain lines elsewhere.
class Progress {
public:
    explicit Progress(std::FILE* out);
    void percent(double value, const std::string& text);
    void state(const std::string& text);   // "Installing", a pause, ...
    void finish();                          // ends a bar line before other output

private:
    std::FILE* out_;
    bool tty_;
    bool bar_open_ = false;
    std::string last_state_;
};

std::string local_time_now();

}  // namespace nimboctl
