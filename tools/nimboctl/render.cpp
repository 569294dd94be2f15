#include "render.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "c_handles.hpp"

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

std::string explain_state(const std::string& text) {
    if (text == "The task is paused and restarted the next time connect to the server")
        return "paused: waiting for the broker (the terminal lost its connection; the download resumes after the "
               "next one)";
    if (text == "Installation successful, waiting for restart")
        return "installed, waiting for the terminal to restart (the result comes after it reconnects; new upgrade "
               "and poster tasks are ignored until then)";
    return text;
}

namespace {

std::string amount(double bytes) {
    char text[32];
    if (bytes >= 1e9) std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
    else if (bytes >= 1e6) std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    else if (bytes >= 1e3) std::snprintf(text, sizeof text, "%.0f kB", bytes / 1e3);
    else std::snprintf(text, sizeof text, "%.0f B", bytes);
    return text;
}

}  // namespace

std::string transfer_figures(double percent, unsigned long long total_bytes, double bytes_per_second) {
    if (total_bytes == 0) return "";
    const double total = static_cast<double>(total_bytes);
    std::string out = amount(total * percent / 100.0) + " of " + amount(total);
    if (bytes_per_second > 0) {
        out += ", " + amount(bytes_per_second) + "/s";
        long left = static_cast<long>(total * (100.0 - percent) / 100.0 / bytes_per_second + 0.5);
        if (percent < 100.0) out += ", " + std::to_string(left) + " s left";
    }
    return out;
}

Progress::Progress(std::FILE* out) : out_(out), tty_(isatty(fileno(out)) == 1) {}

void Progress::percent(double value, const std::string& text) {
    auto now = std::chrono::steady_clock::now();
    idle_shown_ = 0;
    // A percentage well below the last one after a complete file: the MD5 check failed and
    // the terminal downloads the file again from the start.
    if (last_percent_ >= 99.99 && value + 1.0 < last_percent_) {
        state("MD5 mismatch, downloading again");
        rate_percent_ = -1;
    } else if (last_percent_ >= 0 && value + 1.0 < last_percent_) {
        state("downloading again from " + text);
        rate_percent_ = -1;
    }
    if (rate_percent_ >= 0 && value > rate_percent_ && total_bytes_ > 0) {
        double seconds = std::chrono::duration<double>(now - rate_time_).count();
        if (seconds > 0.2) {
            double rate = static_cast<double>(total_bytes_) * (value - rate_percent_) / 100.0 / seconds;
            rate_ = rate_ > 0 ? 0.5 * rate_ + 0.5 * rate : rate;
        }
    }
    if (rate_percent_ < 0 || value > rate_percent_) {
        rate_percent_ = value;
        rate_time_ = now;
    }
    last_percent_ = value;
    last_state_.clear();
    std::string figures = transfer_figures(value, total_bytes_, rate_);
    if (!tty_) {
        std::fprintf(out_, "  progress %s%s%s\n", text.c_str(), figures.empty() ? "" : "  ", figures.c_str());
        std::fflush(out_);
        return;
    }
    draw(figures.empty() ? "downloading" : figures);
}

void Progress::draw(const std::string& note) {
    constexpr int kWidth = 30;
    double value = last_percent_ < 0 ? 0 : last_percent_;
    int filled = static_cast<int>(value / 100.0 * kWidth + 0.5);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar += std::string(static_cast<std::size_t>(kWidth - filled), '-');
    std::fprintf(out_, "\r  [%s] %6.2f%%  %s\033[K", bar.c_str(), value, note.c_str());
    std::fflush(out_);
    bar_open_ = true;
}

void Progress::state(const std::string& text) {
    std::string shown = explain_state(text);
    if (shown == last_state_) return;
    last_state_ = shown;
    idle_shown_ = 0;
    finish();
    std::fprintf(out_, "  %s\n", shown.c_str());
    std::fflush(out_);
}

void Progress::idle(long seconds) {
    // The terminal reports at least once a minute while bytes arrive; a longer silence is a
    // stalled link or a wait between attempts (10 to 180 s).
    if (seconds < 20 || seconds - idle_shown_ < 10) return;
    idle_shown_ = seconds;
    std::string note = "no news for " + std::to_string(seconds) +
                       " s: the link may be stalled or the terminal waits to retry";
    if (tty_ && bar_open_) {
        draw(note);
    } else if (!tty_) {
        std::fprintf(out_, "  %s\n", note.c_str());
        std::fflush(out_);
    }
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
