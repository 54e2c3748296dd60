// Makes console output comparable: report times and line numbers vary from run to run.
#pragma once

#include <regex>
#include <string>

inline std::string normalizeReports(const std::string& text) {
    static const std::regex localTime(R"(    local_time=\d{4}-\d{2}-\d{2}\.\d{2}:\d{2}:\d{2}\n)");
    static const std::regex elapsed(R"(    elapsed_time=\d{3,}:\d{2}:\d{2}:\d{2}:\d{3}\n)");
    static const std::regex line(R"(    line=-?\d+\n)");
    std::string out = std::regex_replace(text, localTime, "    local_time=T\n");
    out = std::regex_replace(out, elapsed, "    elapsed_time=E\n");
    return std::regex_replace(out, line, "    line=N\n");
}

// The report as it looks after normalizeReports.
inline std::string expectedReport(const std::string& severity, const std::string& message,
                                  const std::string& file = "mediatap/main") {
    return "### " + severity + ": " + message + "\n    local_time=T\n    elapsed_time=E\n    file=" + file +
           "\n    line=N\n";
}
inline std::string expectedFatal(const std::string& message) {
    return expectedReport("Error", message + " ALL THREADS SIGNALED TO TERMINATE");
}

// The line after a failure's report that says why it failed.
inline std::string causeLine(const std::string& reason, const std::string& where) {
    return "### Cause: " + reason + " (" + where + ")\n";
}

// The lines that open and finalise a media output.
inline std::string movieOpened(const std::string& path) {
    return "### Movie " + path + " opened for writing\n";
}
inline std::string movieFinalized(const std::string& path) {
    return "### Movie " + path + " finalized\n";
}

// What a run with the three media outputs prints from the first "opened" line to the end, after a
// normal end with the given video count.
inline std::string expectedThreeOutputRun(const std::string& av, const std::string& v, const std::string& a,
                                          int videoPackets) {
    return movieOpened(av) + movieOpened(v) + movieOpened(a) +
           "### Started processing input video packets\n### Finished processing input video: " +
           std::to_string(videoPackets) + " packets\n" + movieFinalized(v) + movieFinalized(a) +
           movieFinalized(av);
}
