// Lines of the packet logs and console output of the stream tool in end-to-end tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "live_source.h"
#include "read_file.h"

namespace log_lines {

// The complete lines of a text, each ending with lineEnd; a last one cut short is not among them.
inline std::vector<std::string> completeLinesOf(const std::string& text, const std::string& lineEnd) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, at; (at = text.find(lineEnd, start)) != std::string::npos;
         start = at + lineEnd.size()) {
        lines.push_back(text.substr(start, at - start));
    }
    return lines;
}

// The lines of a text, each of which must end with lineEnd.
inline std::vector<std::string> linesOf(const std::string& text, const std::string& lineEnd) {
    EXPECT_TRUE(text.empty() || text.ends_with(lineEnd)) << "text does not end with a line end";
    return completeLinesOf(text, lineEnd);
}

// The lines of the file that start with the given text.
inline std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines,
                                                  const std::string& start) {
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        if (line.rfind(start, 0) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

// The value after a label such as "   at=" up to the next space-preceded label (leading spaces
// trimmed); empty when the label is missing.
inline std::string valueOf(const std::string& line, const std::string& label) {
    const auto at = line.find(label);
    if (at == std::string::npos) {
        return "";
    }
    auto begin = line.find_first_not_of(' ', at + label.size());
    const auto end = line.find(' ', begin);
    return line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

inline double timeOf(const std::string& line) {
    return std::stod(valueOf(line, "   at="));
}

// The complete lines of a log, each ending with lineEnd; one that a killed capture left cut short is not
// among them.
inline std::vector<std::string> completeLines(const std::string& path, const std::string& lineEnd) {
    return completeLinesOf(readFile(path), lineEnd);
}

// The video lines among a log's lines that carry a time stamp (an RTSP stream's first packets may have
// none).
inline std::vector<std::string> timedVideoLines(const std::vector<std::string>& lines) {
    std::vector<std::string> timed;
    for (const std::string& line : linesStartingWith(lines, "V packet_id=")) {
        if (valueOf(line, "   pts=") != "-9223372036854775808") {
            timed.push_back(line);
        }
    }
    return timed;
}

// Waits until the log shows a video packet at least `seconds` of stream time after its first one.
inline bool waitForLoggedTime(const std::string& log, double seconds, const std::string& lineEnd,
                              double timeoutSeconds) {
    const double deadline = live_source::nowSeconds() + timeoutSeconds;
    std::vector<std::string> lines;
    do {
        lines = completeLines(log, lineEnd);
        const std::vector<std::string> video = timedVideoLines(lines);
        if (video.size() >= 2 && timeOf(video.back()) - timeOf(video.front()) >= seconds) {
            return true;
        }
    } while (live_source::waitForLines(log, lines.size() + 1, lineEnd,
                                       std::max(0.0, deadline - live_source::nowSeconds())));
    return false;
}

}  // namespace log_lines
