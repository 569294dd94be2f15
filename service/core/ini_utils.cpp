// Parser of "nimboservice.ini" (log tag "ini_utils").
//
// The records have fixed widths (50 sections, 100 entries a section, 49-character names
// and keys, 255-character values, 1023-character lines). Whatever exceeds them is refused
// with a warning rather than cut: a cut key or value would be a different setting.
#include "core/ini_utils.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>

#include "c_handles.hpp"
#include "elog.h"
#include "log_tags.h"
#include "util/nimbo_utils.h"

namespace {

constexpr int kMaxSections = 50;
constexpr int kMaxEntries = 100;
constexpr size_t kMaxLine = 1023;

template <size_t N>
bool fits(const char (&)[N], size_t len) {
    return len < N;
}

template <size_t N>
void copy_field(char (&field)[N], const char* text, size_t len) {
    memcpy(field, text, len);
    field[len] = '\0';
}

class Parser {
public:
    explicit Parser(IniSection* sections) : sections_(sections) {}

    void line(std::string text, int number) {
        size_t cut = text.find_first_of("\r\n");
        if (cut != std::string::npos) text.resize(cut);
        if (text.size() > kMaxLine) {
            LOG_W(TAG_INI, "line %d longer than %zu characters ignored", number, kMaxLine);
            return;
        }
        if (text.empty() || text[0] == ';' || text[0] == '#') return;
        if (text[0] == '[' && text.find(']') != std::string::npos) {
            section(text.substr(1, text.find(']') - 1), number);
            return;
        }
        size_t eq = text.find('=');
        if (current_ == nullptr || eq == std::string::npos) return;
        entry(text.substr(0, eq), text.substr(eq + 1), number);
    }

    int count() const { return count_; }

private:
    void section(const std::string& name, int number) {
        current_ = nullptr;
        if (count_ >= kMaxSections) {
            LOG_W(TAG_INI, "line %d: more than %d sections, section [%s] ignored", number, kMaxSections,
                  name.c_str());
            return;
        }
        IniSection& s = sections_[count_];
        if (!fits(s.name, name.size())) {
            LOG_W(TAG_INI, "line %d: section name longer than %zu characters, section ignored", number,
                  sizeof s.name - 1);
            return;
        }
        copy_field(s.name, name.data(), name.size());
        s.entry_count = 0;
        current_ = &s;
        ++count_;
    }

    void entry(const std::string& key, const std::string& value, int number) {
        IniSection& s = *current_;
        if (s.entry_count >= kMaxEntries) {
            LOG_W(TAG_INI, "line %d: more than %d entries in [%s], key %s ignored", number, kMaxEntries, s.name,
                  key.c_str());
            return;
        }
        IniKeyValue& kv = s.entries[s.entry_count];
        if (!fits(kv.key, key.size()) || !fits(kv.value, value.size())) {
            LOG_W(TAG_INI, "line %d: key longer than %zu or value longer than %zu characters ignored", number,
                  sizeof kv.key - 1, sizeof kv.value - 1);
            return;
        }
        copy_field(kv.key, key.data(), key.size());
        copy_field(kv.value, value.data(), value.size());
        ++s.entry_count;
    }

    IniSection* sections_;
    IniSection* current_ = nullptr;
    int count_ = 0;
};

}  // namespace

IniConfig ini_utils_parse_config_file(const char* path) {
    IniConfig config{nullptr, 0};
    FilePtr file{path ? fopen(path, "re") : nullptr};
    if (!file) {
        LOG_E(TAG_INI, "Failed to open file");
        return config;
    }
    auto* sections = static_cast<IniSection*>(calloc(kMaxSections, sizeof(IniSection)));
    if (sections == nullptr) {
        LOG_E(TAG_INI, "Memory allocation failed");
        return config;
    }
    try {
        Parser parser(sections);
        std::string text;
        int number = 0;
        while (nimbo::read_line(file.get(), &text)) parser.line(std::move(text), ++number);
        config.sections = sections;
        config.count = parser.count();
    } catch (...) {
        LOG_E(TAG_INI, "Memory allocation failed");
        free(sections);
        config = IniConfig{nullptr, 0};
    }
    return config;
}

void ini_utils_free_config(IniSection* sections) { free(sections); }

void ini_utils_print_configs(const IniSection* sections, int count) {
    if (sections == nullptr) return;
    for (int i = 0; i < count; ++i) {
        LOG_D(TAG_INI, "[%s]", sections[i].name);
        for (int j = 0; j < sections[i].entry_count; ++j)
            LOG_D(TAG_INI, "%s = %s", sections[i].entries[j].key, sections[i].entries[j].value);
    }
}
