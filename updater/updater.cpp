// The updater's operations over the Windows version-resource and process calls ("A" forms).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "updater.h"

namespace trsn::updater {

namespace {

int ReportInvalidFile(const char* typedPath, DWORD error) {
    std::printf("ERROR: Invalid installer file '%s': %d\n", typedPath, static_cast<int>(error));
    return kExitInvalidFile;
}

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

int OpenInstaller(const char* typedPath, InstallerFile& installer) {
    installer.typedPath = typedPath;
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetFullPathNameA(typedPath, static_cast<DWORD>(sizeof(installer.fullPath)),
                                          installer.fullPath, nullptr);
    if (length == 0) {
        // An empty name resolves to nothing without a code of its own.
        const DWORD error = GetLastError();
        return ReportInvalidFile(typedPath, error != ERROR_SUCCESS ? error : ERROR_INVALID_NAME);
    }
    if (length >= sizeof(installer.fullPath)) {
        return ReportInvalidFile(typedPath, ERROR_FILENAME_EXCED_RANGE);
    }
    if (GetFileAttributesA(installer.fullPath) == INVALID_FILE_ATTRIBUTES) {
        return ReportInvalidFile(typedPath, GetLastError());
    }
    // Others may go on reading the file, but nobody can write, rename or delete it while we hold it. A file
    // that someone already has open for writing cannot be held, and is turned away. A directory opens
    // too (backup semantics) and is turned away by the version check, as it always was.
    HANDLE file = CreateFileA(installer.fullPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return ReportInvalidFile(typedPath, GetLastError());
    }
    installer.hold.reset(file);
    return kExitOk;
}

int CheckInstaller(const InstallerFile& installer) {
    const char* path = installer.fullPath;
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

int LaunchInstaller(const InstallerFile& installer) {
    char commandLine[kCommandLineBufferSize];
    if (!BuildCommandLine(commandLine, installer.fullPath)) {
        // A cut command line would hand the installer a broken name of itself or cut off its switches:
        // start nothing.
        std::printf("ERROR: Failed creating process '%s': %d\n", commandLine,
                    static_cast<int>(ERROR_FILENAME_EXCED_RANGE));
        return kExitLaunchFailed;
    }

    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof(process));

    // The application name is the full path: the platform neither searches for the file nor adds ".exe".
    if (!CreateProcessA(installer.fullPath, commandLine, nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process)) {
        const DWORD error = GetLastError();
        std::printf("ERROR: Failed creating process '%s': %d\n", commandLine, static_cast<int>(error));
        return kExitLaunchFailed;
    }
    // Not waited for: both handles are closed on return.
    const trsn::win::UniqueHandle processHandle(process.hProcess);
    const trsn::win::UniqueHandle threadHandle(process.hThread);
    return kExitOk;
}

}  // namespace trsn::updater
