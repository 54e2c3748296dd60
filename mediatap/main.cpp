// Entry of trsn.mediatap: the platform's arguments as UTF-8 strings, handed to runMediatap.
#include <string>
#include <vector>

#include "driver.h"

#if defined(_WIN32)
#include <windows.h>

namespace {

std::string toUtf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return {};
    }
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back();  // the terminating zero
    return out;
}

}  // namespace

// The wide command line, so that file names outside the ANSI code page reach FFmpeg intact (as UTF-8).
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    args.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        args.push_back(toUtf8(argv[i]));
    }
    return runMediatap(args);
}
#else
#include <signal.h>

int main(int argc, char** argv) {
    // A closed standard output (a reader that went away) must not end the capture: console lines that
    // cannot be written are dropped, and every file is still finished.
    signal(SIGPIPE, SIG_IGN);
    return runMediatap(std::vector<std::string>(argv, argv + argc));
}
#endif
