// Help test, parser, validation, file-name checks and output type resolution.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include "argument_text.h"
#include "diagnostics/common.h"
#include "driver.h"
#include "report_text.h"

namespace {

std::vector<std::string> argsOf(std::initializer_list<std::string> rest) {
    std::vector<std::string> args{"trsn.mediatap"};
    args.insert(args.end(), rest);
    return args;
}

struct Parsed {
    std::optional<RunOptions> options;
    std::string out;
};

Parsed parse(const std::vector<std::string>& args) {
    testing::internal::CaptureStdout();
    Parsed parsed{parseCommandLine(args), ""};
    parsed.out = normalizeReports(testing::internal::GetCapturedStdout());
    return parsed;
}

TEST(CommandLine, HelpOnlyForNoArgumentsOrALoneHelpWord) {
    EXPECT_TRUE(isHelpRequest({"trsn.mediatap"}));
    EXPECT_TRUE(isHelpRequest(argsOf({"-h"})));
    EXPECT_TRUE(isHelpRequest(argsOf({"--help"})));
    EXPECT_FALSE(isHelpRequest(argsOf({"-H"})));
    EXPECT_FALSE(isHelpRequest(argsOf({"-help"})));
    EXPECT_FALSE(isHelpRequest(argsOf({"--help", "x"})));
    EXPECT_FALSE(isHelpRequest(argsOf({"-i"})));
}

TEST(CommandLine, RejectsBadCommandLinesWithTheirFatalReport) {
    struct Case {
        std::vector<std::string> args;
        std::string output;
    };
    const Case cases[] = {
        {argsOf({"-H"}), expectedFatal("-i option must be specified")},
        {argsOf({"-i"}), expectedFatal("-i option must be specified")},
        {argsOf({"--help", "x"}), expectedFatal("Unrecognized option: --help")},
        {argsOf({"-i", "in.ts", "-x", "1", "-nf", "0"}), expectedFatal("Unrecognized option: -x")},
        {argsOf({"-I", "in.ts"}), expectedFatal("Unrecognized option: -I")},
        {argsOf({"-i", "in.ts", "-nf", "0"}), expectedFatal("-nf option must be positive if specified")},
        {argsOf({"-i", "in.ts", "-nf", "-3"}), expectedFatal("-nf option must be positive if specified")},
        {argsOf({"-i", "in.ts", "-nf", "ten"}), expectedFatal("-nf option must be positive if specified")},
        {argsOf({"-i", "in.ts", "-nf", "-99999999999999"}),
         expectedFatal("-nf option must be positive if specified")},
        {argsOf({"-i", "in.ts", "-ns", "0"}), expectedFatal("-ns option must be positive if specified")},
        {argsOf({"-i", "in.ts", "-ns", "x"}), expectedFatal("-ns option must be positive if specified")},
        {argsOf({"-i", "in.ts", "-fix", "2"}), expectedFatal("-fix option must be either 0 or 1")},
        {argsOf({"-i", "in.ts", "-fix", "-1"}), expectedFatal("-fix option must be either 0 or 1")},
        // validation order: -i first, then -nf, -ns, -fix
        {argsOf({"-nf", "0", "-fix", "5"}), expectedFatal("-i option must be specified")},
        {argsOf({"-i", "a", "-ns", "0", "-nf", "0"}),
         expectedFatal("-nf option must be positive if specified")},
        {argsOf({"-i", "a", "-fix", "3", "-ns", "0"}),
         expectedFatal("-ns option must be positive if specified")},
        {argsOf({"-i", "a", "-mav", "noext"}),
         expectedReport("Error", "Failed to resolve -mav argument extension")},
        {argsOf({"-i", "a", "-mv", "dir/noext"}),
         expectedReport("Error", "Failed to resolve -mv argument extension")},
        {argsOf({"-i", "a", "-mav", "a.mkv", "-mv", "v.mp4"}),
         "### Output type=mp4\n" +
             expectedReport("Error", "Extensions of -mav and -mv arguments must match")},
        {argsOf({"-i", "a", "-mav", "a.MP4", "-mv", "v.mp4"}),
         "### Output type=mp4\n" +
             expectedReport("Error", "Extensions of -mav and -mv arguments must match")},
        {argsOf({"-i", "a", "-lav", "x.log", "-lv", "./x.log"}),
         expectedFatal("-lv file is the same as -lav file")},
        {argsOf({"-i", "a", "-mav", "o.mp4", "-mv", "sub/../o.mp4"}),
         expectedFatal("-mv file is the same as -mav file")},
        {argsOf({"-i", "a", "-ma", "o.m4a", "-la", "o.m4a"}),
         expectedFatal("-la file is the same as -ma file")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Parsed parsed = parse(c.args);
        EXPECT_FALSE(parsed.options.has_value());
        EXPECT_EQ(parsed.out, c.output);
    }
}

TEST(CommandLine, FatalReportsSetTheErrorFlag) {
    parse(argsOf({"-i", "a", "-fix", "7"}));
    EXPECT_TRUE(isGlobalErr());
}

TEST(CommandLine, AcceptsGoodCommandLinesAndResolvesTheOutputType) {
    struct Case {
        std::vector<std::string> args;
        std::string output;
        std::string outputType;
        bool aac;
    };
    const Case cases[] = {
        {argsOf({"-i", "rtsp://cam/1"}), "", "", false},
        {argsOf({"-i", "in.ts", "-v"}), "", "", false},  // a lone last argument is ignored
        {argsOf({"-i", "in.ts", "-h"}), "", "", false},
        {argsOf({"-i", "-v"}), "", "", false},  // the value is taken whatever it looks like
        {argsOf({"-i", "in.ts", "-mav", "out.mp4"}),
         "### Output type=mp4\n### Enabled AAC ADTS to ASC bitstream filter\n", "mp4", true},
        {argsOf({"-i", "in.ts", "-mav", "out.MP4"}), "### Output type=MP4\n", "MP4", false},
        {argsOf({"-i", "in.ts", "-mav", "out."}), "### Output type=\n", "", false},
        {argsOf({"-i", "in.ts", "-mav", "my.dir/out"}), "### Output type=dir/out\n", "dir/out", false},
        {argsOf({"-i", "in.ts", "-mv", "v.mkv"}), "### Output type=mkv\n", "mkv", false},
        {argsOf({"-i", "in.ts", "-mav", "a.mp4", "-mv", "v.mp4"}),
         "### Output type=mp4\n### Enabled AAC ADTS to ASC bitstream filter\n", "mp4", true},
        {argsOf({"-i", "in.ts", "-ma", "a.mp4"}), "", "", false},
        {argsOf({"-i", "in.ts", "-fix", "junk"}), "", "", false},
        {argsOf({"-i", "in.ts", "-nf", "1", "-ns", " +12abc"}), "", "", false},
        {argsOf({"-i", "rtsp://h/x", "-mav", "rtsp://h/x.mp4", "-mv", "rtsp://h/x.mp4"}),
         "### Output type=mp4\n### Enabled AAC ADTS to ASC bitstream filter\n", "mp4", true},
        {argsOf({"-i", "in.ts", "-lav", "", "-lv", ""}), "", "", false},  // empty names take no part
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Parsed parsed = parse(c.args);
        ASSERT_TRUE(parsed.options.has_value()) << parsed.out;
        EXPECT_EQ(parsed.out, c.output);
        EXPECT_EQ(parsed.options->outputType, c.outputType);
        EXPECT_EQ(parsed.options->useAacFilter, c.aac);
    }
}

TEST(CommandLine, TakesValuesAsAtoiWithSaturation) {
    const std::pair<const char*, int> cases[] = {
        {"12", 12},
        {"  42x", 42},
        {"+7", 7},
        {"-5", -5},
        {"abc", 0},
        {"", 0},
        {"- 3", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"\t\n 9", 9},
    };
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(toInt(text), value);
    }
}

TEST(CommandLine, LaterOccurrenceWinsAndFlagsAreSetEvenForEmptyValues) {
    const Parsed parsed =
        parse(argsOf({"-i", "a", "-i", "b", "-nf", "3", "-nf", "9", "-la", "", "-fix", "1"}));
    ASSERT_TRUE(parsed.options.has_value());
    EXPECT_EQ(parsed.options->input, "b");
    EXPECT_EQ(parsed.options->frameLimit, 9);
    EXPECT_TRUE(parsed.options->logAudioGiven);
    EXPECT_FALSE(parsed.options->logVideoGiven);
    EXPECT_EQ(parsed.options->fix, 1);
    EXPECT_FALSE(parsed.options->secondsLimitGiven);
}

TEST(CommandLine, RefusesOutputsThatNameTheInputFile) {
    const auto dir = std::filesystem::path(testing::TempDir()) / "same_file_test";
    std::filesystem::create_directories(dir);
    const auto input = dir / "in.ts";
    std::ofstream(input) << "x";
    const std::string other = (dir / "." / "in.ts").string();
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {argsOf({"-i", input.string(), "-mav", other}), "-mav file is the same as the input"},
        {argsOf({"-i", input.string(), "-lav", "a.log", "-la", input.string()}),
         "-la file is the same as the input"},
        {argsOf({"-i", other, "-mv", input.string()}), "-mv file is the same as the input"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const Parsed parsed = parse(c.args);
        EXPECT_FALSE(parsed.options.has_value());
        EXPECT_EQ(parsed.out, expectedFatal(c.message));
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
