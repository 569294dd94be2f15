// The parser of "nimboservice.ini": the file format and its limits.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/ini_utils.h"
#include "test_support.h"

namespace {

using testsupport::TempDir;
using testsupport::write_file;

struct Parsed {
    IniConfig config{nullptr, 0};
    ~Parsed() { ini_utils_free_config(config.sections); }
    // "section:key=value" for every entry, in file order.
    std::vector<std::string> flat() const {
        std::vector<std::string> out;
        for (int i = 0; i < config.count; ++i)
            for (int j = 0; j < config.sections[i].entry_count; ++j)
                out.push_back(std::string(config.sections[i].name) + ":" + config.sections[i].entries[j].key + "=" +
                              config.sections[i].entries[j].value);
        return out;
    }
};

std::unique_ptr<Parsed> parse(const TempDir& dir, const std::string& text) {
    write_file(dir / "nimboservice.ini", text);
    auto p = std::make_unique<Parsed>();
    p->config = ini_utils_parse_config_file((dir / "nimboservice.ini").c_str());
    return p;
}

TEST(IniParser, FileFormat) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> entries;
        int sections;
    };
    const std::string long_line = "k=" + std::string(1100, 'x');
    const Case cases[] = {
        {"comments and empty lines", "; c\n# c\n\n[s]\na=1\n", {"s:a=1"}, 1},
        {"keys before the first section have no effect", "server_url=x\n[s]\nb=2\n", {"s:b=2"}, 1},
        {"split at the first '='", "[s]\nk=v=w\n", {"s:k=v=w"}, 1},
        {"no trimming of blanks", "[s]\nserver_url = x\n", {"s:server_url = x"}, 1},
        {"CR and LF cut the line", "[s]\r\na=1\r\nb=2\rjunk\n", {"s:a=1", "s:b=2"}, 1},
        {"';' and '#' later in a line are text", "[s]\nu=a;b#c\n", {"s:u=a;b#c"}, 1},
        {"lines without '=' are ignored", "[s]\njunk\nc=3\n", {"s:c=3"}, 1},
        {"repeated section names open new sections", "[s]\na=1\n[s]\na=2\n", {"s:a=1", "s:a=2"}, 2},
        {"header name ends at the first ']'", "[a]b]\nx=1\n", {"a:x=1"}, 1},
        {"'[' without ']' is an ordinary line", "[s]\n[nope=1\n", {"s:[nope=1"}, 1},
        {"empty value", "[s]\nk=\n", {"s:k="}, 1},
        {"last line without line feed", "[s]\nk=v", {"s:k=v"}, 1},
        // A line over 1023 characters is refused whole: its tail must not become an entry.
        {"oversized line", "[s]\n" + long_line + "\nafter=1\n", {"s:after=1"}, 1},
        {"oversized key refused", "[s]\n" + std::string(50, 'k') + "=v\nok=1\n", {"s:ok=1"}, 1},
        {"longest key kept", "[s]\n" + std::string(49, 'k') + "=v\n", {"s:" + std::string(49, 'k') + "=v"}, 1},
        {"oversized value refused", "[s]\nk=" + std::string(256, 'v') + "\nok=1\n", {"s:ok=1"}, 1},
        {"longest value kept", "[s]\nk=" + std::string(255, 'v') + "\n", {"s:k=" + std::string(255, 'v')}, 1},
        {"oversized section name drops its entries", "[" + std::string(50, 'n') + "]\nk=1\n[t]\nj=2\n", {"t:j=2"}, 1},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = parse(dir, c.text);
        ASSERT_NE(p->config.sections, nullptr);
        EXPECT_EQ(p->config.count, c.sections);
        EXPECT_EQ(p->flat(), c.entries);
    }
}

TEST(IniParser, SectionAndEntryLimits) {
    TempDir dir;
    std::string text;
    for (int i = 0; i < 52; ++i) text += "[s" + std::to_string(i) + "]\nk=" + std::to_string(i) + "\n";
    auto p = parse(dir, text);
    ASSERT_EQ(p->config.count, 50);
    EXPECT_STREQ(p->config.sections[49].name, "s49");
    EXPECT_STREQ(p->config.sections[49].entries[0].value, "49");
    EXPECT_EQ(p->config.sections[49].entry_count, 1);  // the 51st section's entry is not added here

    text = "[big]\n";
    for (int i = 0; i < 105; ++i) text += "k" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    p = parse(dir, text);
    ASSERT_EQ(p->config.count, 1);
    EXPECT_EQ(p->config.sections[0].entry_count, 100);
    EXPECT_STREQ(p->config.sections[0].entries[99].key, "k99");
}

TEST(IniParser, MissingFile) {
    TempDir dir;
    IniConfig c = ini_utils_parse_config_file((dir / "absent.ini").c_str());
    EXPECT_EQ(c.sections, nullptr);
    EXPECT_EQ(c.count, 0);
    c = ini_utils_parse_config_file(nullptr);
    EXPECT_EQ(c.sections, nullptr);
    ini_utils_print_configs(nullptr, 0);  // must not crash on the failure result
}

}  // namespace
