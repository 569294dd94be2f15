// nimboctl: the commands the service understands, for help texts and for knowing what
// answer to wait for. docs/protocol.md is the full reference.
#pragma once

#include <cjson/cJSON.h>

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

// What is wrong with a request that nimboctl can see before sending it: missing required
// parameters (also those one case of a command needs, such as the lookup fields of a poster
// deletion) and values of another JSON type, which the service would ignore. Empty: fine.
std::vector<std::string> request_errors(const CommandInfo& c, const cJSON* param);

// Parameters the command does not take (the service ignores them), each with a suggestion.
std::vector<std::string> request_warnings(const CommandInfo& c, const cJSON* param);

// The parameters as command-line words with every value of the wrong type converted where
// it can be (lockType:=1 -> lockType=1, progress=10 -> progress:=10), and every parameter
// still missing as a placeholder ('md5sum=<md5sum>'); empty when nothing could be converted.
std::string corrected_words(const CommandInfo& c, const cJSON* param);

// The parameter words of an object: key=text for strings, key:=JSON for the rest, quoted
// for a shell where needed.
std::string param_words(const cJSON* param);

// The candidate closest to `word` (case ignored) when it is close enough to be a typo, else "".
std::string closest(const std::string& word, const std::vector<std::string>& candidates);

// The parameters that --file fills for a command: the MD5 and the size keys; null when the
// command downloads nothing.
struct FileKeys {
    const char* md5;
    const char* size;
    const char* name;   // the file-name key, or null
};
const FileKeys* file_keys(const std::string& command);

// Texts with status "2" that say the action did not happen.
bool reply_means_nothing_done(const std::string& fail_des);

}  // namespace nimboctl
