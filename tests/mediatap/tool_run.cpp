#include "tool_run.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "media_fixture.h"
#include "read_file.h"
#include "report_text.h"

namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// TRSN_MEDIATAP_WINE_EXE names a Windows build to run through the project's Wine runner; otherwise
// TRSN_MEDIATAP and TRSN_MEDIATAP_RUNNER say what to run and through what.
std::string wineExe() {
    return envOr("TRSN_MEDIATAP_WINE_EXE", "");
}

std::string runner() {
    return wineExe().empty() ? envOr("TRSN_MEDIATAP_RUNNER", "") : TRSN_WINE_RUN;
}

std::vector<std::string> commandLine(const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (!runner().empty()) {
        // Wine reads the arguments in the locale's character set: make it UTF-8, as the tests write them.
        argv = {"env", "LC_ALL=C.UTF-8", runner()};
    }
    argv.push_back(toolPath());
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Where scripts/test has found that the machine cannot run 32-bit x86 code (TRSN_NO_IA32 says why),
// a case against a 32-bit Windows build ends before it starts, with 77, which CTest takes for a skip.
class SkipWithoutIa32 : public ::testing::Environment {
  public:
    void SetUp() override {
        const std::string reason = envOr("TRSN_NO_IA32", "");
        if (!reason.empty() && toolIs32BitWindows()) {
            std::printf("skipped: %s\n", reason.c_str());
            std::fflush(stdout);
            std::_Exit(77);
        }
    }
};
[[maybe_unused]] ::testing::Environment* const skipWithoutIa32 =
    ::testing::AddGlobalTestEnvironment(new SkipWithoutIa32);

int normaliseStatus(int status) {
    // A process that returns -1 shows 255 to a POSIX parent, natively and under Wine alike.
    return status == 255 ? -1 : status;
}

std::string foldLineEnds(std::string text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out += text[i];
    }
    return out;
}

ToolRun finish(int status, const std::string& raw) {
    ToolRun run;
    run.status = normaliseStatus(status);
    run.rawOutput = raw;
    run.output = normalizeReports(toolIsWindows() ? foldLineEnds(raw) : raw);
    return run;
}

}  // namespace

std::string toolPath() {
    return wineExe().empty() ? envOr("TRSN_MEDIATAP", TRSN_MEDIATAP_DEFAULT) : wineExe();
}

bool toolIsWindows() {
    return !runner().empty();
}

bool toolIs32BitWindows() {
    if (!toolIsWindows()) {
        return false;
    }
    // The PE header: "PE\0\0" at the offset kept at 0x3c, then the machine (0x014c for i386).
    const std::string image = readFile(toolPath());
    if (image.size() < 0x40) {
        return false;
    }
    const auto byte = [&image](std::size_t at) { return static_cast<unsigned char>(image[at]); };
    const std::size_t pe = byte(0x3c) | (byte(0x3d) << 8) | (static_cast<std::size_t>(byte(0x3e)) << 16) |
                           (static_cast<std::size_t>(byte(0x3f)) << 24);
    return pe + 6 <= image.size() && image.compare(pe, 4, std::string("PE\0\0", 4)) == 0 &&
           byte(pe + 4) == 0x4c && byte(pe + 5) == 0x01;
}

std::string toolLineEnd() {
    return toolIsWindows() ? "\r\n" : "\n";
}

std::string missingFolderText() {
    return toolIsWindows() ? "Path not found." : "No such file or directory";
}

std::string toolCommand(const std::vector<std::string>& args) {
    std::string command;
    for (const std::string& arg : commandLine(args)) {
        command += (command.empty() ? "" : " ") + media_fixture::quote(arg);
    }
    return command;
}

ToolRun runTool(const std::vector<std::string>& args, const std::string& prefix) {
    const std::string command = (prefix.empty() ? "" : prefix + " ") + toolCommand(args);
    std::string out;
    std::string err;
    const int status = media_fixture::runCommand(command + " </dev/null", &out, &err);
    ToolRun run = finish(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), out);
    run.errorOutput = err;
    return run;
}

int startTool(const std::vector<std::string>& args, const std::string& outputFile, int inputFd) {
    const std::vector<std::string> argv = commandLine(args);
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> raw;
        for (const std::string& arg : argv) {
            raw.push_back(const_cast<char*>(arg.c_str()));
        }
        raw.push_back(nullptr);
        if (std::freopen(outputFile.c_str(), "wb", stdout) == nullptr ||
            (inputFd >= 0 ? dup2(inputFd, STDIN_FILENO) < 0
                          : std::freopen("/dev/null", "rb", stdin) == nullptr)) {
            _exit(127);
        }
        execvp(raw[0], raw.data());
        _exit(127);
    }
    return pid;
}

ToolRun waitTool(int pid, const std::string& outputFile) {
    int status = 0;
    waitpid(pid, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return finish(code, readFile(outputFile));
}
