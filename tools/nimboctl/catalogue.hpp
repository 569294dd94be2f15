// nimboctl: the commands the service understands, for help texts and for knowing what
// answer to wait for. docs/protocol.md is the full reference.
#pragma once

#include <string>
#include <vector>

namespace nimboctl {

enum class Answer {
    reply,      // one reply; status "1" means more replies follow (progress, then final)
    none,       // the service answers nothing (devOrgInfo)
};

struct ParamInfo {
    const char* name;
    const char* type;       // "string", "number", "boolean", "array"
    bool required;
    const char* note;
};

struct CommandInfo {
    const char* name;
    const char* summary;
    Answer answer;
    std::vector<ParamInfo> params;
    const char* example;    // parameters of an example call, or "" for none
    const char* details;    // more lines for `nimboctl CMD --help`, or ""
};

const std::vector<CommandInfo>& command_catalogue();
const CommandInfo* find_command(const std::string& name);

}  // namespace nimboctl
