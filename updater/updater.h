// trsn.updater: checks that a file is one of our installers and starts it unattended.
#pragma once

#include <cstddef>
#include <cstdint>

#include "trsn/version.h"
#include "trsn/win_owners.h"

namespace trsn::updater {

inline constexpr const char* kProductName = "skyLens2";
inline constexpr const char* kProductVersion = TRSN_VERSION_TEXT;
inline constexpr const char* kAcceptedWords[] = {"Tarsen", "skyLens"};
inline constexpr const char* kInstallerSwitches = "/S /skipjre /skipchecks /skiptray";
inline constexpr const char* kTranslationPath = "\\VarFileInfo\\Translation";
inline constexpr const char* kDescriptionPathFormat = "\\StringFileInfo\\%04x%04x\\FileDescription";

// Text buffers: sizes include the terminating zero.
inline constexpr std::size_t kDescriptionBufferSize = 128;
inline constexpr std::size_t kCommandLineBufferSize = 520;
// A full path of up to 260 characters, each of which can take two bytes in a double-byte code page.
inline constexpr std::size_t kFullPathBufferSize = 520;

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitInvalidFile = 1;
inline constexpr int kExitNoMemory = 2;
inline constexpr int kExitVersionInfo = 3;
inline constexpr int kExitTranslationTable = 4;
inline constexpr int kExitLaunchFailed = 10;
inline constexpr int kExitNotAccepted = 79;

// Pure helpers, free of platform calls.

// Writes the FileDescription sub-block path of one translation entry.
void FormatDescriptionPath(char (&path)[kDescriptionBufferSize], std::uint16_t language,
                           std::uint16_t codePage);

// Copies a FileDescription value (valueLength characters at most, stopping at a zero) into `copy`, cut at
// 127 characters, and tells whether the copy contains one of the accepted words.
bool IsAcceptedDescription(char (&copy)[kDescriptionBufferSize], const char* value, std::size_t valueLength);

// Writes the quoted path, a blank and the installer switches into `commandLine`, at most 519 characters.
// Returns false when the whole command line does not fit; `commandLine` then holds the part that did.
bool BuildCommandLine(char (&commandLine)[kCommandLineBufferSize], const char* path);

// Operations of the program.

// The installer that the user named. Every platform call is given its full path, resolved once against
// the current directory, so the file checked is the file started; messages show the path as typed.
struct InstallerFile {
    const char* typedPath = nullptr;
    char fullPath[kFullPathBufferSize] = {};
    // The file held open, shared for reading only, from before the check until the installer was
    // started: nobody can replace or change it in between.
    trsn::win::UniqueHandle hold;
};

// Prints the banner and the usage line; returns kExitUsage.
int PrintUsage(const char* programName);

// Resolves the path as typed, makes sure the file exists and holds it open.
// Returns kExitOk or kExitInvalidFile, the latter with its message.
int OpenInstaller(const char* typedPath, InstallerFile& installer);

// Accepts the opened installer only when its version resource describes it as one of ours.
// Returns kExitOk or the exit code of the failure; starts nothing.
int CheckInstaller(const InstallerFile& installer);

// Starts the opened installer unattended, detached from our console, without waiting for it.
// Returns kExitOk or kExitLaunchFailed.
int LaunchInstaller(const InstallerFile& installer);

}  // namespace trsn::updater
