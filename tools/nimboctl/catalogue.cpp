#include "catalogue.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "c_handles.hpp"

namespace nimboctl {

const std::vector<CommandInfo>& command_catalogue() {
    static const std::vector<CommandInfo> table = {
        {"querySysStatus", "battery, temperature, CPU, memory, network, signal and uptime", Answer::reply, {}, "", ""},
        {"queryLog", "list the log files the device can upload", Answer::reply,
         {{"fileType", "string", true, "must be \"log\""},
          {"queryType", "string", false, "echoed back"},
          {"filePath", "string", false, "not used"}},
         "fileType=log", ""},
        {"getLog", "collect a log file on the device and upload it to a server", Answer::reply,
         {{"downloadFileUrl", "string", true, "base URL the file is posted to"},
          {"filePath", "string", true, "ends with \"dmesg.log\" or \"app_log.tar.gz\"; its directory part is appended to the URL"},
          {"fileType", "string", true, "must be \"log\""},
          {"dirPath", "string", false, "not used"}},
         "fileType=log downloadFileUrl=http://127.0.0.1:8080/logs filePath=/NB0001/app_log.tar.gz",
         "The first reply (status 1) says the upload started; the final reply carries the uploaded\n"
         "file's time-stamped path."},
        {"apkUpgrade", "download an application package, check it and install it", Answer::reply,
         {{"apkDownloadUrl", "string", true, "http(s) URL of the package, at most 255 characters"},
          {"md5sum", "string", false, "32 hexadecimal digits; empty: no check"},
          {"apkSize", "string", false, "size in bytes, decimal digits; used for the free-space check"},
          {"applicationName", "string", true, "the name the package is installed under (no \"/\", not \".\" or \"..\")"},
          {"apkVersion", "string", false, "reported back, handed to the installer"},
          {"apkFileName", "string", false, "not used"},
          {"progress", "number", false, "percentage points between progress replies; 100 or more: none"},
          {"autoStart", "boolean", false, "not used"},
          {"setKioskMode", "boolean", false, "not used"},
          {"setLauncher", "boolean", false, "not used"}},
         "apkDownloadUrl=http://127.0.0.1:8080/files/shop.zip md5sum=0123456789abcdef0123456789abcdef "
         "applicationName=shop apkVersion=1.2.0 progress:=10",
         "Replies: accepted (status 1), download percentages, \"Installing\", then status 2 or 3.\n"
         "A lost connection or a restart pauses the download; it resumes after the next connection."},
        {"otaUpgrade", "download a firmware package and install it (takes effect after a restart)", Answer::reply,
         {{"otaDownloadUrl", "string", true, "http(s) URL of the package"},
          {"md5sum", "string", false, "32 hexadecimal digits; empty: no check"},
          {"otaSize", "string", false, "size in bytes, decimal digits"},
          {"otaVersion", "string", false, "reported back"},
          {"packageName", "string", false, "reported back as \"otaName\""},
          {"progress", "number", false, "percentage points between progress replies"},
          {"semiSilent", "string", false, "not used"},
          {"silentIns", "boolean", false, "not used"}},
         "otaDownloadUrl=http://127.0.0.1:8080/files/fw.zip otaVersion=2.0.1 progress:=20",
         "After \"Installation successful, waiting for restart\" the final result (\"100%\" or\n"
         "\"Version not changed\") comes once the terminal has restarted and reconnected."},
        {"customResourcePoster", "add, update or delete a poster or message shown by the payment application",
         Answer::reply,
         {{"action", "string", false, "\"delete\" deletes the entry at position; anything else adds or updates"},
          {"type", "string", false, "\"poster\" (a file to download) or \"message\""},
          {"position", "number", true, "slot of the entry, the key entries are found by"},
          {"url", "string", false, "where the poster file is fetched (posters)"},
          {"fileName", "string", false, "name of the poster file"},
          {"md5sum", "string", false, "MD5 of the poster file"},
          {"fileSize", "string", false, "size in bytes, decimal digits"},
          {"enable", "boolean", false, "stored as 1 or 0"},
          {"level", "number", false, "stored"},
          {"progress", "number", false, "percentage points between progress replies"},
          {"beginTime", "string", false, "stored"},
          {"endTime", "string", false, "stored"},
          {"source", "string", false, "stored"},
          {"sliderTitle", "string", false, "stored"}},
         "action=add type=poster position:=1 url=http://127.0.0.1:8080/files/sale.png fileName=sale.png "
         "md5sum=0123456789abcdef0123456789abcdef enable:=true",
         ""},
        {"devOrgInfo", "subscribe the organisation, department and group topics (no reply)", Answer::none,
         {{"organizationId", "string", true, "first element of every topic"},
          {"departmentId", "string", false, "department topic /e/ORG/ma/d/DEPT"},
          {"groupId", "string", false, "group topic /e/ORG/ma/g/GROUP"}},
         "organizationId=7 groupId=3",
         "The service never answers this command; it takes effect once per connection."},
        {"reboot", "restart the terminal (through the payment application)", Answer::reply,
         {{"rebootType", "string", true, "\"1\" or \"2\" (the two restart signals of the payment application)"},
          {"time", "string", false, "logged only"},
          {"weekCycle", "string", false, "logged only"}},
         "rebootType=1", ""},
        {"switchServerUrl", "move the terminal to another management server", Answer::reply,
         {{"url", "string", true, "base URL of the new server; it must answer the bootstrap"},
          {"resetFactoryType", "string", true, "\"2\": keep the URL across a factory reset"}},
         "url=http://127.0.0.1:8081/ resetFactoryType=1",
         "After a successful reply the service restarts itself with the new server."},
        {"geofence", "confine the terminal to a circle; leaving it locks the terminal", Answer::reply,
         {{"geofenceCoordinates", "string", false, "\"longitude,latitude\"; empty removes the fence"},
          {"geofenceRadius", "string", false, "metres, decimal; empty removes the fence"},
          {"pushAlert", "number", false, "1: raise \"GeoFence\" alerts"},
          {"cycle", "string", false, "stored only"}},
         "geofenceCoordinates=113.9,22.5 geofenceRadius=500 pushAlert:=1", ""},
        {"devLock", "lock or unlock the terminal", Answer::reply,
         {{"lockType", "string", true, "\"1\" locks, anything else unlocks"},
          {"pwd", "string", false, "logged only"}},
         "lockType=1",
         "The reply comes at once; the \"LockDevice\" alert (see `nimboctl watch`) follows when the\n"
         "payment application confirms."},
        {"setDevParam", "set brightness, volume and Wi-Fi networks", Answer::reply,
         {{"brightness", "number", false, "screen brightness"},
          {"systemVolume", "number", false, "system volume"},
          {"wifiAP", "array", false, "[{\"ssid\":...,\"pwd\":...,\"stype\":2|4}] (2 WPA2, 8+ characters; 4 WPA3, 6+)"}},
         "brightness:=80 systemVolume:=5", ""},
        {"onOff", "power the terminal off now", Answer::reply,
         {{"offTime", "string", false, "logged only"},
          {"onTime", "string", false, "logged only"},
          {"weekCycle", "string", false, "logged only"}},
         "", ""},
        {"antPayCode", "hand a payment code to the payment application", Answer::reply,
         {{"orderId", "string", true, "order the code belongs to"}}, "orderId=A1001 ...", ""},
        {"antPayStatus", "hand a payment status to the payment application", Answer::reply,
         {{"orderId", "string", true, "order the status belongs to"}}, "orderId=A1001 ...", ""},
        {"finalAck", "acknowledge a final reply: the terminal removes its backup (final_ack=1)", Answer::reply, {}, "",
         "--task-id names the task whose final reply was received. A terminal with final_ack=1 keeps\n"
         "each final reply and sends it again (at every connection, then on a timer) until this comes;\n"
         "one without answers \"Operation does not support\". --final-ack sends it for every final reply."},
    };
    return table;
}

const CommandInfo* find_command(const std::string& name) {
    for (const auto& c : command_catalogue())
        if (name == c.name) return &c;
    return nullptr;
}

}  // namespace nimboctl

namespace nimboctl {
namespace {

const char* type_of(const cJSON* item) {
    if (cJSON_IsString(item)) return "string";
    if (cJSON_IsNumber(item)) return "number";
    if (cJSON_IsBool(item)) return "boolean";
    if (cJSON_IsArray(item)) return "array";
    if (cJSON_IsObject(item)) return "object";
    return "null";
}

bool takes_any_member(const CommandInfo& c) {
    return std::strcmp(c.name, "antPayCode") == 0 || std::strcmp(c.name, "antPayStatus") == 0;
}

const ParamInfo* param_info(const CommandInfo& c, const char* name) {
    for (const auto& p : c.params)
        if (std::strcmp(p.name, name) == 0) return &p;
    return nullptr;
}

std::string text_member(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : "";
}

// Requirements of one case of a command, beyond the always-required parameters.
std::vector<std::pair<const char*, const char*>> case_requirements(const CommandInfo& c, const cJSON* param) {
    std::vector<std::pair<const char*, const char*>> need;
    if (std::strcmp(c.name, "customResourcePoster") != 0) return need;
    const std::string action = text_member(param, "action");
    if (action == "delete") {
        const char* why = "a deletion finds the entry by position, md5sum and fileName together";
        need.push_back({"md5sum", why});
        need.push_back({"fileName", why});
        return need;
    }
    need.push_back({"type", "an addition or update says \"poster\" or \"message\""});
    if (text_member(param, "type") == "poster") {
        need.push_back({"url", "a poster is downloaded from it"});
        need.push_back({"fileName", "the poster is stored as <position>_<fileName>"});
    }
    return need;
}

// A value of `type` made from `item`, or null when it cannot be converted.
cJSON* converted(const cJSON* item, const char* type) {
    if (std::strcmp(type, "string") == 0) {
        if (cJSON_IsNumber(item)) {
            JsonText text{cJSON_PrintUnformatted(item)};
            return text ? cJSON_CreateString(text.get()) : nullptr;
        }
        if (cJSON_IsBool(item)) return cJSON_CreateString(cJSON_IsTrue(item) ? "true" : "false");
        return nullptr;
    }
    if (!cJSON_IsString(item) || item->valuestring == nullptr) return nullptr;
    const std::string text = item->valuestring;
    if (std::strcmp(type, "boolean") == 0) {
        if (text == "true" || text == "1") return cJSON_CreateTrue();
        if (text == "false" || text == "0") return cJSON_CreateFalse();
        return nullptr;
    }
    if (std::strcmp(type, "number") == 0) {
        char* end = nullptr;
        double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0') return nullptr;
        return cJSON_CreateNumber(v);
    }
    if (std::strcmp(type, "array") == 0) {
        cJSON* parsed = cJSON_Parse(text.c_str());
        if (cJSON_IsArray(parsed)) return parsed;
        cJSON_Delete(parsed);
    }
    return nullptr;
}

std::string shell_quoted(const std::string& word) {
    if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                                "_-+=:,./@%") == std::string::npos)
        return word;
    std::string out = "'";
    for (char ch : word) out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return out + "'";
}

std::size_t distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t up = row[j];
            bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

}  // namespace

std::vector<std::string> request_errors(const CommandInfo& c, const cJSON* param) {
    std::vector<std::string> errors;
    for (const auto& p : c.params) {
        const cJSON* item = param ? cJSON_GetObjectItemCaseSensitive(param, p.name) : nullptr;
        if (item == nullptr) {
            if (p.required) errors.push_back("needs the parameter " + std::string(p.name) + " (" + p.note + ")");
        } else if (std::strcmp(type_of(item), p.type) != 0) {
            errors.push_back(std::string(p.name) + " must be a " + p.type + ", not a " + type_of(item) +
                             " (the service would ignore it)");
        }
    }
    for (const auto& [name, why] : case_requirements(c, param)) {
        if (param == nullptr || cJSON_GetObjectItemCaseSensitive(param, name) == nullptr)
            errors.push_back("needs the parameter " + std::string(name) + " here: " + why);
    }
    return errors;
}

std::vector<std::string> request_warnings(const CommandInfo& c, const cJSON* param) {
    std::vector<std::string> warnings;
    if (param == nullptr || takes_any_member(c)) return warnings;
    std::vector<std::string> names;
    for (const auto& p : c.params) names.push_back(p.name);
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, param) {
        if (param_info(c, item->string) != nullptr) continue;
        std::string guess = closest(item->string, names);
        warnings.push_back(std::string(c.name) + " does not take a parameter '" + item->string +
                           "' (ignored by the service)" + (guess.empty() ? "" : "; did you mean " + guess + "?"));
    }
    return warnings;
}

std::string param_words(const cJSON* param) {
    std::string out;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, param) {
        std::string word;
        if (cJSON_IsString(item)) {
            word = std::string(item->string) + "=" + (item->valuestring ? item->valuestring : "");
        } else {
            JsonText text{cJSON_PrintUnformatted(item)};
            word = std::string(item->string) + ":=" + (text ? text.get() : "null");
        }
        out += (out.empty() ? "" : " ") + shell_quoted(word);
    }
    return out;
}

std::string corrected_words(const CommandInfo& c, const cJSON* param) {
    if (param == nullptr) return "";
    JsonPtr copy{cJSON_Duplicate(param, 1)};
    if (!copy) return "";
    bool changed = false;
    for (const auto& p : c.params) {
        const cJSON* item = cJSON_GetObjectItemCaseSensitive(copy.get(), p.name);
        if (item == nullptr || std::strcmp(type_of(item), p.type) == 0) continue;
        cJSON* value = converted(item, p.type);
        if (value == nullptr) return "";
        cJSON_ReplaceItemInObjectCaseSensitive(copy.get(), p.name, value);
        changed = true;
    }
    if (!changed) return "";
    // A corrected form must not fail again: what is still missing appears as a placeholder
    // to fill in (quoted, so that a shell never takes "<" for a redirection).
    for (const auto& p : c.params) {
        if (p.required && cJSON_GetObjectItemCaseSensitive(copy.get(), p.name) == nullptr)
            cJSON_AddStringToObject(copy.get(), p.name, ("<" + std::string(p.name) + ">").c_str());
    }
    for (const auto& [name, why] : case_requirements(c, copy.get())) {
        (void)why;
        if (cJSON_GetObjectItemCaseSensitive(copy.get(), name) == nullptr)
            cJSON_AddStringToObject(copy.get(), name, ("<" + std::string(name) + ">").c_str());
    }
    return param_words(copy.get());
}

std::string closest(const std::string& word, const std::vector<std::string>& candidates) {
    std::string best;
    std::size_t best_distance = 0;
    for (const auto& c : candidates) {
        std::size_t d = distance(word, c);
        if (best.empty() || d < best_distance) {
            best = c;
            best_distance = d;
        }
    }
    // A typo: at most a third of the word (and at least one edit) away.
    std::size_t allowed = std::max<std::size_t>(1, word.size() / 3);
    return !best.empty() && best_distance <= allowed ? best : "";
}

const FileKeys* file_keys(const std::string& command) {
    static const FileKeys apk{"md5sum", "apkSize", nullptr};
    static const FileKeys ota{"md5sum", "otaSize", nullptr};
    static const FileKeys poster{"md5sum", "fileSize", "fileName"};
    if (command == "apkUpgrade") return &apk;
    if (command == "otaUpgrade") return &ota;
    if (command == "customResourcePoster") return &poster;
    return nullptr;
}

bool reply_means_nothing_done(const std::string& fail_des) { return fail_des == "Resources do not exist"; }

}  // namespace nimboctl
