// Lines of the packet logs and console output of the stream tool in end-to-end tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace log_lines {

// The lines of a text, each of which must end with lineEnd.
inline std::vector<std::string> linesOf(const std::string& text, const std::string& lineEnd) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(lineEnd, start)) != std::string::npos; start = at + lineEnd.size()) {
        lines.push_back(text.substr(start, at - start));
    }
    EXPECT_EQ(start, text.size()) << "text does not end with a line end";
    return lines;
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

}  // namespace log_lines
