// The updater's operations over the Windows version-resource and process calls ("A" forms).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "updater.h"

namespace trsn::updater {

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// One entry of a version resource's translation table, as the resource lays it out.
struct Translation {
    WORD language;
    WORD codePage;
};
static_assert(sizeof(Translation) == 4);

// Looks through every listed translation for a FileDescription with an accepted word.
bool HasAcceptedDescription(const void* block, const unsigned char* table, UINT tableLength) {
    for (UINT entry = 0; entry < tableLength / sizeof(Translation); ++entry) {
        Translation translation;
        std::memcpy(&translation, table + entry * sizeof(Translation), sizeof(translation));

        char path[kDescriptionBufferSize];
        char description[kDescriptionBufferSize];
        FormatDescriptionPath(path, translation.language, translation.codePage);

        void* value = nullptr;
        UINT valueLength = 0;
        if (!VerQueryValueA(block, path, &value, &valueLength) || value == nullptr) {
            continue;
        }
        if (IsAcceptedDescription(description, static_cast<const char*>(value), valueLength)) {
            return true;
        }
    }
    return false;
}

}  // namespace

int PrintUsage(const char* programName) {
    std::printf("Tarsen %s v%s updater utility\n", kProductName, kProductVersion);
    std::printf("Usage: %s <updatefile>\n", programName);
    return kExitUsage;
}

int CheckInstaller(const char* path) {
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        std::printf("ERROR: Invalid installer file '%s': %d\n", path, static_cast<int>(error));
        return kExitInvalidFile;
    }

    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) {
        return kExitNotAccepted;
    }

    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[size]());
    if (!block) {
        std::printf("ERROR: Failed allocating memory for version info check\n");
        return kExitNoMemory;
    }
    if (!GetFileVersionInfoA(path, handle, size, block.get())) {
        std::printf("ERROR: Failed fetching version information\n");
        return kExitVersionInfo;
    }

    void* table = nullptr;
    UINT tableLength = 0;
    if (!VerQueryValueA(block.get(), kTranslationPath, &table, &tableLength)) {
        std::printf("ERROR: Failed fetching version information\n");
        return kExitTranslationTable;
    }
    if (table == nullptr ||
        !HasAcceptedDescription(block.get(), static_cast<const unsigned char*>(table), tableLength)) {
        return kExitNotAccepted;
    }
    return kExitOk;
}

int LaunchInstaller(const char* path) {
    char commandLine[kCommandLineBufferSize];
    if (!BuildCommandLine(commandLine, path)) {
        // A cut command line would start another program than the one checked, or the installer
        // without its switches: start nothing.
        std::printf("ERROR: Failed creating process '%s': %d\n", commandLine,
                    static_cast<int>(ERROR_FILENAME_EXCED_RANGE));
        return kExitLaunchFailed;
    }

    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof(process));

    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process)) {
        const DWORD error = GetLastError();
        std::printf("ERROR: Failed creating process '%s': %d\n", commandLine, static_cast<int>(error));
        return kExitLaunchFailed;
    }
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    processHandle.reset();
    threadHandle.reset();
    return kExitOk;
}

}  // namespace trsn::updater
