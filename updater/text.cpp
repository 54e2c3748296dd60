// Text composition of the updater: sub-block paths, description matching, the installer command line.
#include <cstdio>
#include <cstring>

#include "updater.h"

namespace trsn::updater {

namespace {

// Appends `text` to the zero-terminated contents of `buffer`, never beyond `size - 1` characters.
// Returns false when `text` had to be cut.
bool AppendBounded(char* buffer, std::size_t size, const char* text) {
    std::size_t used = std::strlen(buffer);
    std::size_t length = std::strlen(text);
    std::size_t room = size - 1 - used;
    std::size_t take = length < room ? length : room;
    std::memcpy(buffer + used, text, take);
    buffer[used + take] = '\0';
    return take == length;
}

}  // namespace

void FormatDescriptionPath(char (&path)[kDescriptionBufferSize], std::uint16_t language,
                           std::uint16_t codePage) {
    std::memset(path, 0, sizeof(path));
    std::snprintf(path, sizeof(path), kDescriptionPathFormat, static_cast<unsigned>(language),
                  static_cast<unsigned>(codePage));
}

bool IsAcceptedDescription(char (&copy)[kDescriptionBufferSize], const char* value, std::size_t valueLength) {
    std::memset(copy, 0, sizeof(copy));
    std::size_t limit = valueLength < sizeof(copy) - 1 ? valueLength : sizeof(copy) - 1;
    const void* end = std::memchr(value, '\0', limit);
    std::size_t length =
        end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - value) : limit;
    std::memcpy(copy, value, length);
    for (const char* word : kAcceptedWords) {
        if (std::strstr(copy, word) != nullptr) {
            return true;
        }
    }
    return false;
}

bool BuildCommandLine(char (&commandLine)[kCommandLineBufferSize], const char* path) {
    std::memset(commandLine, 0, sizeof(commandLine));
    return AppendBounded(commandLine, sizeof(commandLine), "\"") &&
           AppendBounded(commandLine, sizeof(commandLine), path) &&
           AppendBounded(commandLine, sizeof(commandLine), "\" ") &&
           AppendBounded(commandLine, sizeof(commandLine), kInstallerSwitches);
}

}  // namespace trsn::updater
