// nimboctl: the serial numbers of a campaign, from a pattern or a file; the corrected form
// of a request it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "campaign.hpp"
#include "catalogue.hpp"

using nimboctl::serials_from_pattern;
using nimboctl::serials_from_text;

TEST(CampaignSerials, Pattern) {
    struct Case {
        const char* pattern;
        std::vector<std::string> want;   // empty: refused
    };
    const Case cases[] = {
        {"NB%04d:1-3", {"NB0001", "NB0002", "NB0003"}},
        {"NB%02d-X:99-101", {"NB99-X", "NB100-X", "NB101-X"}},   // wider numbers are printed whole
        {"T%d:9-10", {"T9", "T10"}},
        {"%03d:7-7", {"007"}},
        {"NB%04d:3-1", {}},          // an empty range
        {"NB%04d", {}},              // no range
        {"NB0001:1-2", {}},          // no conversion
        {"NB%04d%d:1-2", {}},        // two
        {"NB%04x:1-2", {}},
        {"NB/%04d:1-2", {}},         // a topic separator
        {"NB%04d:1-200000", {}},     // more than a campaign takes
    };
    for (const auto& c : cases) {
        std::string error;
        auto got = serials_from_pattern(c.pattern, &error);
        EXPECT_EQ(got, c.want) << c.pattern;
        EXPECT_EQ(error.empty(), !c.want.empty()) << c.pattern << ": " << error;
    }
}

TEST(CampaignSerials, File) {
    std::string error;
    EXPECT_EQ(serials_from_text("# fleet\nNB1\n\n  NB2  shop 3\nNB1\nNB3 # last\n", &error),
              (std::vector<std::string>{"NB1", "NB2", "NB3"}));   // first word, each once, in order
    EXPECT_TRUE(error.empty()) << error;
    EXPECT_TRUE(serials_from_text("NB1\nNB+2\n", &error).empty());
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    error.clear();
    EXPECT_TRUE(serials_from_text("# none\n\n", &error).empty());
    EXPECT_FALSE(error.empty());
}

// The corrected form nimboctl prints must not be refused again: values of the wrong type
// converted, and what is still missing shown as a placeholder to fill in.
TEST(CorrectedForm, ConvertsAndNamesWhatIsMissing) {
    struct Case {
        const char* command;
        const char* param;
        std::string words;  // "" when there is nothing to correct
    };
    const Case cases[] = {
        {"devLock", R"({"lockType":1})", "lockType=1"},
        {"devLock", R"({"lockType":"1"})", ""},
        {"customResourcePoster", R"({"action":"delete","position":"1"})",
         "action=delete position:=1 'md5sum=<md5sum>' 'fileName=<fileName>'"},
        {"customResourcePoster", R"({"action":"delete","position":"1","md5sum":"0cc1","fileName":"a.png"})",
         "action=delete position:=1 md5sum=0cc1 fileName=a.png"},
        {"customResourcePoster", R"({"type":"poster","position":"2"})",
         "type=poster position:=2 'url=<url>' 'fileName=<fileName>'"},
        {"customResourcePoster", R"({"action":"add","position":"2"})", "action=add position:=2 'type=<type>'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + c.param);
        const nimboctl::CommandInfo* info = nimboctl::find_command(c.command);
        ASSERT_NE(info, nullptr);
        cJSON* param = cJSON_Parse(c.param);
        ASSERT_NE(param, nullptr);
        EXPECT_EQ(nimboctl::corrected_words(*info, param), c.words);
        cJSON_Delete(param);
    }
}
