// Runs the trsn.mediatap binary under test, natively or as a Windows program under Wine, and gives
// back what a user's script sees: normalised standard output and the exit status as 0 or -1.
#pragma once

#include <string>
#include <vector>

struct ToolRun {
    int status = 0;           // 0, -1, or another code the tool should never give
    std::string output;       // standard output, CR LF folded to LF, report times and lines normalised
    std::string rawOutput;    // standard output as received
    std::string errorOutput;  // standard error as received (runTool only)
};

// The binary under test: $TRSN_MEDIATAP, else the Linux binary of this build.
std::string toolPath();
// True when the binary under test is the Windows one (run through $TRSN_MEDIATAP_RUNNER).
bool toolIsWindows();
// True when the binary under test is a 32-bit Windows program (run under the WoW64 Wine).
bool toolIs32BitWindows();

// Runs the tool with the arguments; extra is put before the command (for example "timeout -s INT 3").
// Standard error is kept as well.
ToolRun runTool(const std::vector<std::string>& args, const std::string& prefix = "");
// The shell command line that runs the tool with the arguments, as runTool runs it.
std::string toolCommand(const std::vector<std::string>& args);

// Starts the tool in the background with its standard output going to outputFile and its standard input
// read from inputFd (/dev/null when it is -1); returns its pid.
int startTool(const std::vector<std::string>& args, const std::string& outputFile, int inputFd = -1);
// Waits for a started tool and gives back what runTool would have.
ToolRun waitTool(int pid, const std::string& outputFile);

// Line end of the text files the tool writes ("\r\n" on Windows).
std::string toolLineEnd();

// The platform's text (strerror's, or FormatMessage's under Wine) for a file that cannot be created
// because its folder is missing.
std::string missingFolderText();
