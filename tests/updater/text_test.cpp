// Text composition of the updater: description matching, sub-block paths, the bounded command line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "updater.h"

namespace trsn::updater {
namespace {

struct DescriptionCase {
    const char* name;
    std::string value;
    bool accepted;
};

TEST(UpdaterText, AcceptsOnlyTheExactWordsWithinTheFirst127Characters) {
    const DescriptionCase cases[] = {
        {"product word at the start", "skyLens2 Setup", true},
        {"maker word in the middle", "Setup of Tarsen tools", true},
        {"product word in other case", "SKYLENS2 Setup", false},
        {"maker word in other case", "tarsen setup", false},
        {"word ending at character 127", std::string(120, 'x') + "skyLens", true},
        {"word ending at character 128", std::string(121, 'x') + "skyLens", false},
        {"empty", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char copy[kDescriptionBufferSize];
        std::memset(copy, '#', sizeof(copy));
        EXPECT_EQ(IsAcceptedDescription(copy, c.value.c_str(), c.value.size() + 1), c.accepted);
        EXPECT_EQ(std::string(copy), c.value.substr(0, 127));
        EXPECT_EQ(copy[127], '\0');
    }
}

TEST(UpdaterText, ReadsNoFurtherThanTheValueLength) {
    // The word lies behind the reported length: an unterminated value must not be read past its end.
    const char value[] = "Media Setup skyLens2";
    char copy[kDescriptionBufferSize];
    EXPECT_FALSE(IsAcceptedDescription(copy, value, 12));
    EXPECT_STREQ(copy, "Media Setup ");
    EXPECT_TRUE(IsAcceptedDescription(copy, value, sizeof(value)));
}

TEST(UpdaterText, FormatsDescriptionPathWithLanguageThenCodePageInLowerCaseHex) {
    char path[kDescriptionBufferSize];
    std::memset(path, '#', sizeof(path));
    FormatDescriptionPath(path, 0x0409, 0x04B0);
    EXPECT_STREQ(path, "\\StringFileInfo\\040904b0\\FileDescription");
    FormatDescriptionPath(path, 0x7, 0xFDE9);
    EXPECT_STREQ(path, "\\StringFileInfo\\0007fde9\\FileDescription");
}

TEST(UpdaterText, QuotesThePathAndAppendsTheSwitches) {
    char commandLine[kCommandLineBufferSize];
    ASSERT_TRUE(BuildCommandLine(commandLine, "C:\\Program Files\\skyLens2 Setup.exe"));
    EXPECT_STREQ(commandLine, "\"C:\\Program Files\\skyLens2 Setup.exe\" /S /skipjre /skipchecks /skiptray");
}

TEST(UpdaterText, RefusesACommandLineLongerThan519Characters) {
    // Quotes, blank and switches take 36 characters: a 483-character path fills the buffer exactly.
    const std::string switches = " /S /skipjre /skipchecks /skiptray";
    struct {
        std::size_t pathLength;
        bool fits;
    } const cases[] = {{483, true}, {484, false}, {519, false}, {600, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pathLength);
        const std::string path(c.pathLength, 'p');
        const std::string full = "\"" + path + "\"" + switches;
        char commandLine[kCommandLineBufferSize];
        EXPECT_EQ(BuildCommandLine(commandLine, path.c_str()), c.fits);
        EXPECT_EQ(std::string(commandLine), full.substr(0, 519));
    }
}

}  // namespace
}  // namespace trsn::updater
