// End-to-end tests: the real trsn.updater.exe, run under Wine against test installers with real version
// resources. An installer that gets started records its command line and console into a file beside
// itself once the test releases it, so a test can tell whether, how and when it was started.
//
// The updater and its test installers are by default those beside this program; TRSN_UPDATER_EXE and
// TRSN_UPDATER_FIXTURES name others (Windows paths, or Unix paths that Wine sees on drive Z:).
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "trsn/win_owners.h"

namespace {

using trsn::win::UniqueHandle;

// Standard output is in text mode: every line the updater prints ends in "\r\n" there.
const std::string kSwitches = " /S /skipjre /skipchecks /skiptray";

std::string DirName(const std::string& path) {
    return path.substr(0, path.find_last_of('\\'));
}

std::string BinDir() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return DirName(path);
}

// The value of an environment variable as a Windows path, or `fallback` when it is not set.
std::string PathSetting(const char* name, const std::string& fallback) {
    char value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableA(name, value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return fallback;
    }
    std::string path(value);
    if (path.front() == '/') {
        path.insert(0, "Z:");
    }
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    wide.resize(length > 0 ? length - 1 : 0);
    return wide;
}

using UniqueFind = trsn::win::Owner<HANDLE, &::FindClose>;

// Removes a directory and everything in it through "\\?\" paths, which may pass 260 characters. Under
// the WoW64 Wine, std::filesystem::remove_all of the 32-bit build never returns on such a tree: it goes
// on looking up names of the working directory inside it.
void RemoveTree(const std::wstring& directory) {
    const std::wstring path = directory.rfind(L"\\\\?\\", 0) == 0 ? directory : L"\\\\?\\" + directory;
    WIN32_FIND_DATAW entry{};
    const HANDLE first = FindFirstFileW((path + L"\\*").c_str(), &entry);
    UniqueFind find(first == INVALID_HANDLE_VALUE ? nullptr : first);
    if (find) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find.get(), &entry));
    }
    find.reset();
    RemoveDirectoryW(path.c_str());
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
        scratch_ = fixtures_ + " e2e\\" + name;
        RemoveTree(Widen(scratch_));
        std::filesystem::create_directories(Widen(scratch_));
    }

    void TearDown() override { RemoveTree(Widen(scratch_)); }

    // Copies a test installer to `target` (a full path), making the directories it needs; tells whether
    // the copy succeeded.
    bool CopyFixture(const std::string& fixture, const std::string& target) const {
        std::error_code ignored;
        std::filesystem::create_directories(Widen(DirName(target)), ignored);
        return CopyFileW(Widen(fixtures_ + "\\" + fixture).c_str(), Widen(target).c_str(), FALSE) != FALSE;
    }

    // Copies a test installer into the scratch directory, or a directory below it; returns its new path.
    std::string Install(const std::string& fixture, const std::string& as = "") {
        const std::string target = scratch_ + "\\" + (as.empty() ? fixture : as);
        EXPECT_TRUE(CopyFixture(fixture, target)) << fixture;
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

    const std::string updater_ = PathSetting("TRSN_UPDATER_EXE", BinDir() + "\\trsn.updater.exe");
    const std::string fixtures_ = PathSetting("TRSN_UPDATER_FIXTURES", BinDir() + "\\updater-fixtures");
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
                         [](const auto& instance) {
                             std::string name = instance.param;
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
                         [](const auto& instance) {
                             std::string name = instance.param.fixture;
                             return name.substr(0, name.find('.'));
                         });

TEST_F(UpdaterRun, PrintsBannerAndUsageWithTheProgramNameAsTypedWhenNoPathIsGiven) {
    Outcome run = RunProgram(Quoted(updater_));
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, "Tarsen skyLens2 v2.1.3 updater utility\r\nUsage: " + updater_ + " <updatefile>\r\n");
    EXPECT_EQ(run.err, "");

    run = RunProgram("trsn.updater", DirName(updater_), updater_);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, "Tarsen skyLens2 v2.1.3 updater utility\r\nUsage: trsn.updater <updatefile>\r\n");
}

TEST_F(UpdaterRun, ReportsAMissingPathWithThePlatformCode) {
    const std::pair<std::string, int> cases[] = {
        {scratch_ + "\\no such setup.exe", ERROR_FILE_NOT_FOUND},
        {"", ERROR_INVALID_NAME},
    };
    for (const auto& [missing, code] : cases) {
        SCOPED_TRACE(missing);
        const Outcome run = RunUpdater(Argument(missing));
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.out,
                  "ERROR: Invalid installer file '" + missing + "': " + std::to_string(code) + "\r\n");
        EXPECT_EQ(run.err, "");
    }
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

struct TwoDirectories {
    const char* label;
    const char* name;  // the installer's name as typed, relative to the current directory
    bool oursInCurrentDir;
};

void PrintTo(const TwoDirectories& directories, std::ostream* out) {
    *out << directories.label;
}

// A relative name that exists both in the current directory and beside the updater: the file in the
// current directory, as the user means it, is the one checked and the one started.
class SameNameInTwoDirectories : public UpdaterRun, public ::testing::WithParamInterface<TwoDirectories> {};

TEST_P(SameNameInTwoDirectories, ChecksAndStartsTheFileInTheCurrentDirectory) {
    const std::string name = GetParam().name;
    const std::string ours = "setup_skylens.exe", other = "setup_no_version.exe";
    const bool oursHere = GetParam().oursInCurrentDir;
    const std::string named = Install(oursHere ? ours : other, "current\\" + name);
    const std::string besideUpdater = Install(oursHere ? other : ours, "app\\" + name);
    const std::string updater = scratch_ + "\\app\\trsn.updater.exe";
    ASSERT_TRUE(CopyFileW(Widen(updater_).c_str(), Widen(updater).c_str(), FALSE));

    const Outcome run = RunProgram(Quoted(updater) + Argument(name), scratch_ + "\\current");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, oursHere ? 0u : 79u);
    if (oursHere) {
        ExpectStartedUnattended(named);
    } else {
        ExpectNeverStarted(named);
    }
    ExpectNeverStarted(besideUpdater);
}

INSTANTIATE_TEST_SUITE_P(Updater, SameNameInTwoDirectories,
                         ::testing::Values(TwoDirectories{"NameOursHere", "setup.exe", true},
                                           TwoDirectories{"NameOursBesideUpdater", "setup.exe", false},
                                           TwoDirectories{"SubdirOursHere", "sub\\setup.exe", true},
                                           TwoDirectories{"SubdirOursBesideUpdater", "sub\\setup.exe",
                                                          false}),
                         [](const auto& instance) { return std::string(instance.param.label); });

TEST_F(UpdaterRun, TurnsAwayAnInstallerThatSomeoneHasOpenForWriting) {
    // The updater holds the file from the check to the start, sharing it for reading only. A file that
    // another process has open for writing, or to rename or delete it, cannot be held: it is reported
    // with the platform's sharing-violation code and never started.
    const std::string installer = Install("setup_skylens.exe");
    for (const DWORD access : {DWORD{GENERIC_WRITE}, DWORD{DELETE}}) {
        SCOPED_TRACE(access);
        UniqueHandle other(CreateFileW(Widen(installer).c_str(), access,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_NE(other.get(), INVALID_HANDLE_VALUE);
        const Outcome run = RunUpdater(Argument(installer));
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.out, "ERROR: Invalid installer file '" + installer + "': 32\r\n");
        EXPECT_EQ(run.err, "");
        ExpectNeverStarted(installer);
        std::filesystem::remove(std::filesystem::path(Widen(installer + ".go")));
    }

    // Once the other process is done, the same file is accepted.
    const Outcome run = RunUpdater(Argument(installer));
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, "");
    ExpectStartedUnattended(installer);
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
// bytes. A full path too long for those calls is turned away before anything is opened; one that they
// accept can still make a command line longer than the updater's 519 characters, which starts nothing.
TEST_F(UpdaterRun, DoubleByteLongPathStartsNothing) {
    if (GetACP() != 932) {
        GTEST_SKIP() << "needs the ANSI code page 932 (run with LC_ALL=ja_JP.UTF-8)";
    }
    const std::string wideChar = "\x82\xa0";  // HIRAGANA LETTER A in code page 932
    auto repeat = [&](std::size_t count) {
        std::string text;
        for (std::size_t i = 0; i < count; ++i) {
            text += wideChar;
        }
        return text;
    };
    // Directories of 85 such characters: 255 bytes in the Unix file names below drive Z: and C:.
    const std::string first = repeat(85), second = repeat(85);

    // Relative to the scratch directory, the full path has more than 260 characters.
    std::string relative = first + "\\" + second + "\\" + repeat(80) + ".exe";
    std::string installer = Install("setup_skylens.exe", relative);
    Outcome run = RunUpdater(Argument(relative), scratch_);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, "ERROR: Invalid installer file '" + relative + "': 206\r\n");
    EXPECT_EQ(run.err, "");
    ExpectNeverStarted(installer);

    // Near the root of drive C: the full path has fewer than 260 characters but more than the 483 bytes
    // that leave room for the quotes and the switches.
    struct ShortDir {
        std::string path = "C:\\u" + std::to_string(GetCurrentProcessId());
        ~ShortDir() {
            std::error_code ignored;
            std::filesystem::remove_all(Widen(path), ignored);
        }
    } shortDir;
    const std::size_t singles = shortDir.path.size() + 3 + 4;  // the directory, three separators, ".exe"
    const std::size_t third = (484 - singles + 1) / 2 - 170;
    relative = first + "\\" + second + "\\" + repeat(third) + ".exe";
    const std::string full = shortDir.path + "\\" + relative;
    ASSERT_GE(full.size(), 484u);
    ASSERT_LT(singles + 170 + third, 260u) << "characters";
    ASSERT_TRUE(CopyFixture("setup_skylens.exe", full));
    run = RunUpdater(Argument(relative), shortDir.path);
    EXPECT_EQ(run.exitCode, 10u);
    const std::string cut = (Quoted(full) + kSwitches).substr(0, 519);
    EXPECT_EQ(run.out, "ERROR: Failed creating process '" + cut + "': 206\r\n");
    EXPECT_EQ(run.err, "");
    ExpectNeverStarted(full);
}

}  // namespace
