// End-to-end tests: the real trsn.updater.exe, run under Wine against test installers with real version
// resources. An installer that gets started records its command line and console into a file beside
// itself once the test releases it, so a test can tell whether, how and when it was started.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace {

// Standard output is in text mode: every line the updater prints ends in "\r\n" there.
const std::string kSwitches = " /S /skipjre /skipchecks /skiptray";

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

std::string BinDir() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    return dir.substr(0, dir.find_last_of('\\'));
}

std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    wide.resize(length > 0 ? length - 1 : 0);
    return wide;
}

bool Exists(const std::string& path) {
    return GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadAll(HANDLE pipe) {
    std::string text;
    char chunk[512];
    DWORD got = 0;
    while (ReadFile(pipe, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    return text;
}

struct Outcome {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

// Runs `commandLine` in a console of its own, with standard output and error captured separately.
// `program`, when given, is started under the name that the command line gives it.
Outcome RunProgram(std::string commandLine, const std::string& currentDir = "",
                   const std::string& program = "") {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    EXPECT_TRUE(CreatePipe(&outRead, &outWrite, &inheritable, 0));
    EXPECT_TRUE(CreatePipe(&errRead, &errWrite, &inheritable, 0));
    UniqueHandle outReader(outRead), outWriter(outWrite), errReader(errRead), errWriter(errWrite);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    UniqueHandle input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                   OPEN_EXISTING, 0, nullptr));

    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process{};
    Outcome run;
    if (!CreateProcessA(program.empty() ? nullptr : program.c_str(), commandLine.data(), nullptr, nullptr,
                        TRUE, CREATE_NEW_CONSOLE, nullptr, currentDir.empty() ? nullptr : currentDir.c_str(),
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start " << commandLine << ": " << GetLastError();
        return run;
    }
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    outWriter.reset();
    errWriter.reset();
    input.reset();
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    run.out = ReadAll(outRead);
    run.err = ReadAll(errRead);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    return run;
}

std::string Quoted(const std::string& text) {
    return std::string(1, '"').append(text).append(1, '"');
}

// One command-line argument, quoted and preceded by its blank.
std::string Argument(const std::string& text) {
    return std::string(1, ' ').append(Quoted(text));
}

class UpdaterRun : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : name) {
            if (c == '/' || c == '.') {
                c = '_';
            }
        }
        // A blank in the directory name checks the quoting of the installer path.
        scratch_ = bin_ + "\\updater e2e\\" + name;
        std::error_code ignored;
        std::filesystem::remove_all(Widen(scratch_), ignored);
        std::filesystem::create_directories(Widen(scratch_));
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(Widen(scratch_), ignored);
    }

    // Copies a test installer into the scratch directory; returns its new path.
    std::string Install(const std::string& fixture, const std::string& as = "") {
        const std::string target = scratch_ + "\\" + (as.empty() ? fixture : as);
        EXPECT_TRUE(
            CopyFileW(Widen(bin_ + "\\updater-fixtures\\" + fixture).c_str(), Widen(target).c_str(), FALSE))
            << fixture;
        return target;
    }

    Outcome RunUpdater(const std::string& arguments, const std::string& currentDir = "") {
        return RunProgram(Quoted(updater_) + arguments, currentDir);
    }

    // Releases the installer at `path`; returns its record, or "" if none appears within `waitMs`.
    static std::string ReleaseAndCollect(const std::string& path, int waitMs) {
        std::ofstream(std::filesystem::path(Widen(path + ".go"))).put('\n');
        const std::string record = path + ".record";
        for (int waited = 0; waited <= waitMs; waited += 50) {
            if (Exists(record)) {
                std::ifstream in{std::filesystem::path(Widen(record)), std::ios::binary};
                std::ostringstream text;
                text << in.rdbuf();
                return text.str();
            }
            Sleep(50);
        }
        return "";
    }

    // A rejected installer must never run: once released, it would leave a record within moments.
    static void ExpectNeverStarted(const std::string& path) {
        EXPECT_EQ(ReleaseAndCollect(path, 1500), "") << path << " was started";
    }

    // The installer must run with the exact quoted path and switches, detached from any console, and
    // only finish after the updater returned.
    static void ExpectStartedUnattended(const std::string& path) {
        EXPECT_FALSE(Exists(path + ".record")) << "the installer finished before the updater returned";
        EXPECT_EQ(ReleaseAndCollect(path, 20000),
                  "cmdline=" + Quoted(path) + kSwitches + "\nconsole=0\nreleased=1\n");
    }

    const std::string bin_ = BinDir();
    const std::string updater_ = bin_ + "\\trsn.updater.exe";
    std::string scratch_;
};

// Installers that the updater accepts and starts.
class AcceptedInstaller : public UpdaterRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(AcceptedInstaller, StartsItDetachedWithTheSwitchesWithoutWaiting) {
    const std::string installer = Install(GetParam());
    const Outcome run = RunUpdater(Argument(installer));
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    ExpectStartedUnattended(installer);
}

INSTANTIATE_TEST_SUITE_P(Updater, AcceptedInstaller,
                         ::testing::Values("setup_skylens.exe", "setup_tarsen.exe", "setup_word_at_127.exe",
                                           "setup_second_translation.exe",
                                           "setup_missing_first_translation.exe"),
                         [](const auto& info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

struct Rejection {
    const char* fixture;
    DWORD exitCode;
    const char* output;
};

// Files that the updater turns away without starting them.
class RejectedInstaller : public UpdaterRun, public ::testing::WithParamInterface<Rejection> {};

TEST_P(RejectedInstaller, ReportsByExitCodeAndNeverStartsIt) {
    const std::string installer = Install(GetParam().fixture);
    const Outcome run = RunUpdater(Argument(installer));
    EXPECT_EQ(run.exitCode, GetParam().exitCode);
    EXPECT_EQ(run.out, GetParam().output);
    EXPECT_EQ(run.err, "");
    ExpectNeverStarted(installer);
}

INSTANTIATE_TEST_SUITE_P(Updater, RejectedInstaller,
                         ::testing::Values(Rejection{"setup_other_case.exe", 79, ""},
                                           Rejection{"setup_word_beyond_127.exe", 79, ""},
                                           Rejection{"setup_no_version.exe", 79, ""},
                                           Rejection{"setup_no_description.exe", 79, ""},
                                           Rejection{"setup_empty_translation.exe", 79, ""},
                                           Rejection{"setup_no_translation.exe", 4,
                                                     "ERROR: Failed fetching version information\r\n"}),
                         [](const auto& info) {
                             std::string name = info.param.fixture;
                             return name.substr(0, name.find('.'));
                         });

TEST_F(UpdaterRun, PrintsBannerAndUsageWithTheProgramNameAsTypedWhenNoPathIsGiven) {
    Outcome run = RunProgram(Quoted(updater_));
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, "Tarsen skyLens2 v2.1.3 updater utility\r\nUsage: " + updater_ + " <updatefile>\r\n");
    EXPECT_EQ(run.err, "");

    run = RunProgram("trsn.updater", bin_, updater_);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, "Tarsen skyLens2 v2.1.3 updater utility\r\nUsage: trsn.updater <updatefile>\r\n");
}

TEST_F(UpdaterRun, ReportsAMissingPathWithThePlatformCode) {
    const std::string missing = scratch_ + "\\no such setup.exe";
    const Outcome run = RunUpdater(Argument(missing));
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, "ERROR: Invalid installer file '" + missing + "': 2\r\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(UpdaterRun, TurnsAwayAPlainTextFileAndADirectorySilently) {
    const std::string text = scratch_ + "\\readme.txt";
    std::ofstream(std::filesystem::path(Widen(text))) << "skyLens2 Setup by Tarsen\n";
    for (const std::string& path : {text, scratch_}) {
        SCOPED_TRACE(path);
        const Outcome run = RunUpdater(Argument(path));
        EXPECT_EQ(run.exitCode, 79u);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
    }
}

TEST_F(UpdaterRun, IgnoresArgumentsAfterThePath) {
    const std::string installer = Install("setup_skylens.exe");
    const Outcome run = RunUpdater(Argument(installer) + " /extra \"more words\"");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, "");
    ExpectStartedUnattended(installer);
}

TEST_F(UpdaterRun, ReportsAnAcceptedFileThatCannotBeStarted) {
    // A library carries the product's version block but is no program.
    const std::string library = Install("setup_library.dll");
    const Outcome run = RunUpdater(Argument(library));
    EXPECT_EQ(run.exitCode, 10u);
    EXPECT_EQ(run.out, "ERROR: Failed creating process '" + Quoted(library) + kSwitches + "': 193\r\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(UpdaterRun, TestInstallerSeesAConsoleWhenItHasOne) {
    // Guards the "console=0" checks above: started with a console, the test installer does report one.
    const std::string installer = Install("setup_skylens.exe");
    std::ofstream(std::filesystem::path(Widen(installer + ".go"))).put('\n');
    RunProgram(Quoted(installer) + " direct");
    EXPECT_EQ(ReleaseAndCollect(installer, 20000),
              "cmdline=" + Quoted(installer) + " direct\nconsole=1\nreleased=1\n");
}

// In a double-byte code page a path within the file calls' 260 characters can take up to twice as many
// bytes, and the command line can outgrow its 519 characters. It must then start nothing at all.
TEST_F(UpdaterRun, DoubleByteLongPathStartsNothing) {
    if (GetACP() != 932) {
        GTEST_SKIP() << "needs the ANSI code page 932 (run with LC_ALL=ja_JP.UTF-8)";
    }
    const std::string wideChar = "\x82\xa0";  // HIRAGANA LETTER A in code page 932
    auto repeat = [&](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += wideChar;
        }
        return text;
    };
    const std::string first = repeat(85), second = repeat(85);
    const std::string relative = first + "\\" + second + "\\" + repeat(80) + ".exe";
    ASSERT_EQ(relative.size(), 506u);
    ASSERT_TRUE(CreateDirectoryW(Widen(scratch_ + "\\" + first).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(Widen(scratch_ + "\\" + first + "\\" + second).c_str(), nullptr));
    const std::string installer = Install("setup_skylens.exe", relative);

    const Outcome run = RunUpdater(Argument(relative), scratch_);
    EXPECT_EQ(run.exitCode, 10u);
    const std::string cut = (Quoted(relative) + kSwitches).substr(0, 519);
    EXPECT_EQ(run.out, "ERROR: Failed creating process '" + cut + "': 206\r\n");
    EXPECT_EQ(run.err, "");
    ExpectNeverStarted(installer);
}

}  // namespace
