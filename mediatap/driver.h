// The driver of trsn.mediatap: the run options, the command line (command_line.cpp) and the capture
// (capture.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

struct RunOptions {
    std::string input;
    bool inputGiven = false;
    int frameLimit = -1;  // -nf
    bool frameLimitGiven = false;
    int secondsLimit = -1;  // -ns
    bool secondsLimitGiven = false;
    std::string mediaAudioVideo;  // -mav
    bool mediaAudioVideoGiven = false;
    std::string mediaAudio;  // -ma
    bool mediaAudioGiven = false;
    std::string mediaVideo;  // -mv
    bool mediaVideoGiven = false;
    std::string logAudioVideo;  // -lav
    bool logAudioVideoGiven = false;
    std::string logAudio;  // -la
    bool logAudioGiven = false;
    std::string logVideo;  // -lv
    bool logVideoGiven = false;
    int fix = 0;
    int verbose = 0;

    // Derived by the output type resolution.
    std::string outputType;
    bool useAacFilter = false;
};

bool isHelpRequest(const std::vector<std::string>& args);

// Parsing, validation, file-name checks and output type resolution. Reports every failure itself and
// returns nothing then.
std::optional<RunOptions> parseCommandLine(const std::vector<std::string>& args);

// The run after the command line: set-up, loop, teardown. Returns the exit status (0 or -1).
int runCapture(const RunOptions& options);

// The program from its arguments to its exit status: args[0] is the program name; arguments are UTF-8.
int runMediatap(const std::vector<std::string>& args);
