// Reporting helpers of the driver: every report names mediatap/main and the reporting line.
#pragma once

#include <string>

#include "diagnostics/common.h"

inline constexpr const char* mainSource = "mediatap/main";

// Bad input: the report with the terminate suffix, then the error flag. Returns false for chaining.
inline bool fatalReport(const std::string& message, int line) {
    ncvAssertPrint_(message + " ALL THREADS SIGNALED TO TERMINATE", false, mainSource, line);
    setGlobalErr();
    return false;
}

inline bool errorReport(const std::string& message, int line) {
    ncvAssertPrint_(message, false, mainSource, line);
    return false;
}

inline void warningReport(const std::string& message, int line) {
    ncvAssertPrint_(message, true, mainSource, line);
}

inline void infoLine(const std::string& text) {
    ncvDebugOutput(text, White);
}
