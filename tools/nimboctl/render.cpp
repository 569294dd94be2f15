#include "render.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "handles.hpp"

namespace nimboctl {
namespace {

std::string scalar(const cJSON* item) {
    if (cJSON_IsString(item)) return item->valuestring ? item->valuestring : "";
    if (cJSON_IsBool(item)) return cJSON_IsTrue(item) ? "true" : "false";
    if (cJSON_IsNull(item)) return "null";
    JsonText text{cJSON_PrintUnformatted(item)};
    return text ? text.get() : "";
}

bool all_scalars(const cJSON* array) {
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, array) {
        if (cJSON_IsObject(item) || cJSON_IsArray(item)) return false;
    }
    return true;
}

const char* text_member(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : "";
}

}  // namespace

std::string describe_object(const cJSON* object, int indent) {
    std::string out;
    std::size_t width = 0;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, object) width = std::max(width, std::string(item->string ? item->string : "").size());
    const std::string pad(static_cast<std::size_t>(indent), ' ');
    cJSON_ArrayForEach(item, object) {
        std::string key = item->string ? item->string : "";
        std::string line = pad + key + std::string(width - key.size() + 2, ' ');
        if (cJSON_IsObject(item)) {
            out += pad + key + "\n" + describe_object(item, indent + 2);
        } else if (cJSON_IsArray(item) && cJSON_GetArraySize(item) == 0) {
            out += line + "(none)\n";
        } else if (cJSON_IsArray(item) && all_scalars(item)) {
            std::string joined;
            const cJSON* e = nullptr;
            cJSON_ArrayForEach(e, item) joined += (joined.empty() ? "" : ", ") + scalar(e);
            out += line + joined + "\n";
        } else if (cJSON_IsArray(item)) {
            out += pad + key + "\n";
            int n = 0;
            const cJSON* e = nullptr;
            cJSON_ArrayForEach(e, item) {
                out += pad + "  [" + std::to_string(++n) + "]\n";
                out += cJSON_IsObject(e) ? describe_object(e, indent + 6) : pad + "      " + scalar(e) + "\n";
            }
        } else {
            std::string value = scalar(item);
            out += line + (value.empty() ? "\"\"" : value) + "\n";
        }
    }
    return out;
}

std::string describe_report(const std::string& cmd, const std::string& sn, const cJSON* param) {
    std::string head = local_time_now() + "  " + sn + "  " + cmd;
    if (cmd == "alert" && cJSON_IsObject(param)) {
        std::string line = head + "  " + text_member(param, "msgName") + " " + text_member(param, "alertStatus");
        std::string level = text_member(param, "level");
        if (!level.empty()) line += " (" + level + ")";
        std::string when = text_member(param, "time");
        if (!when.empty()) line += " at " + when;
        const cJSON* msg = cJSON_GetObjectItemCaseSensitive(param, "msg");
        std::string where = text_member(msg, "coordinates");
        if (!where.empty()) line += ", position " + where;
        std::string place = text_member(msg, "location");
        if (!place.empty()) line += " (" + place + ")";
        return line + "\n";
    }
    if (cmd == "deviceInfo" && cJSON_IsObject(param)) {
        std::string line = head;
        for (const char* key : {"model", "fwVer", "sysVer", "devIP", "macAddr"}) {
            std::string v = text_member(param, key);
            if (!v.empty()) line += std::string("  ") + key + "=" + v;
        }
        const cJSON* apps = cJSON_GetObjectItemCaseSensitive(param, "apkList");
        if (cJSON_IsArray(apps)) line += "  apps=" + std::to_string(cJSON_GetArraySize(apps));
        return line + "\n";
    }
    if (!cJSON_IsObject(param)) return head + "\n";
    return head + "\n" + describe_object(param, 4);
}

std::optional<double> percentage_of(const std::string& text) {
    if (text.find('%') == std::string::npos) return std::nullopt;
    const char* begin = text.c_str();
    char* end = nullptr;
    double value = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(value)) return std::nullopt;
    while (*end == ' ') ++end;
    if (*end != '%') return std::nullopt;
    return std::clamp(value, 0.0, 100.0);
}

Progress::Progress(std::FILE* out) : out_(out), tty_(isatty(fileno(out)) == 1) {}

void Progress::percent(double value, const std::string& text) {
    if (!tty_) {
        std::fprintf(out_, "  progress %s\n", text.c_str());
        std::fflush(out_);
        return;
    }
    constexpr int kWidth = 30;
    int filled = static_cast<int>(value / 100.0 * kWidth + 0.5);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar += std::string(static_cast<std::size_t>(kWidth - filled), '-');
    std::fprintf(out_, "\r  [%s] %6.2f%%  downloading\033[K", bar.c_str(), value);
    std::fflush(out_);
    bar_open_ = true;
}

void Progress::state(const std::string& text) {
    if (text == last_state_) return;
    last_state_ = text;
    finish();
    std::fprintf(out_, "  %s\n", text.c_str());
    std::fflush(out_);
}

void Progress::finish() {
    if (bar_open_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        bar_open_ = false;
    }
}

std::string local_time_now() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

}  // namespace nimboctl
