// Windows terms of the media writer's file layer: a file handle with positioned ReadFile and WriteFile,
// SetEndOfFile and FlushFileBuffers. Names are UTF-8 and may be longer than MAX_PATH.
#include <windows.h>

#include <string>
#include <vector>

#include "diagnostics/output_file.h"

namespace {

HANDLE asHandle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

std::wstring wideFromUtf8(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(count > 0 ? count : 0), L'\0');
    if (count > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), count);
    }
    return wide;
}

std::string utf8FromWide(const wchar_t* text, int length) {
    const int count = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(count > 0 ? count : 0), '\0');
    if (count > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, length, narrow.data(), count, nullptr, nullptr);
    }
    return narrow;
}

// The full path, with the \\?\ prefix that lifts the MAX_PATH limit when it is that long. A name that
// carries a prefix of its own is taken as it is.
std::wstring systemPath(const std::string& name) {
    const std::wstring wide = wideFromUtf8(name);
    if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\??\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) {
        return wide;
    }
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return wide;
    }
    std::vector<wchar_t> full(needed);
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return wide;
    }
    std::wstring path(full.data(), length);
    if (path.size() < MAX_PATH) {
        return path;
    }
    if (path.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + path.substr(2);
    }
    return L"\\\\?\\" + path;
}

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

// Each call moves at most this much, so that a 32-bit DWORD always holds the count.
constexpr std::size_t maxChunk = 1u << 30;

// Repeats `once(where, bytes to ask for, bytes moved, bytes done before)`, a ReadFile or WriteFile of at
// most maxChunk bytes that may move fewer, until all of them have moved. One that moves none without an
// error of its own fails with `none` (the file ended, the disk is full).
template <typename Byte, typename Once>
bool transferAll(Byte* data, std::size_t size, DWORD none, Once once) {
    std::size_t moved = 0;
    while (moved < size) {
        const std::size_t rest = size - moved;
        DWORD done = 0;
        if (!once(data + moved, static_cast<DWORD>(rest < maxChunk ? rest : maxChunk), done, moved) ||
            done == 0) {
            if (done == 0 && GetLastError() == ERROR_SUCCESS) {
                SetLastError(none);
            }
            return false;
        }
        moved += done;
    }
    return true;
}

}  // namespace

std::string systemErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        return "Error " + std::to_string(code);
    }
    std::string result = utf8FromWide(text, static_cast<int>(length));
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) {
        result.pop_back();
    }
    return result;
}

namespace {

DWORD accessRights(OutputFile::Access access) {
    return access == OutputFile::Access::writeOnly ? GENERIC_WRITE : GENERIC_READ | GENERIC_WRITE;
}

HANDLE openHandle(const std::wstring& path, DWORD rights, DWORD disposition) {
    return CreateFileW(path.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE openHandle(const std::string& name, DWORD disposition,
                  OutputFile::Access access = OutputFile::Access::readWrite) {
    return openHandle(systemPath(name), accessRights(access), disposition);
}

}  // namespace

OutputFile::~OutputFile() {
    close();
}

void OutputFile::fail() {
    lastError = systemErrorText(GetLastError());
}

bool OutputFile::create(const std::string& name, Access access) {
    close();
    const HANDLE file = openHandle(name, CREATE_ALWAYS, access);
    if (file == INVALID_HANDLE_VALUE) {
        fail();
        return false;
    }
    handle = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool OutputFile::checkCreate(const std::string& name, Access access, std::string& reason) {
    if (name.empty()) {
        reason = systemErrorText(ERROR_PATH_NOT_FOUND);
        return false;
    }
    const std::wstring path = systemPath(name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        const HANDLE existing = openHandle(path, accessRights(access), OPEN_EXISTING);
        if (existing == INVALID_HANDLE_VALUE) {
            reason = systemErrorText(GetLastError());
            return false;
        }
        CloseHandle(existing);
        return true;
    }
    const DWORD missing = GetLastError();
    if (missing != ERROR_FILE_NOT_FOUND) {
        reason = systemErrorText(missing);  // the folder is missing, or the path cannot be a file's
        return false;
    }
    // The folder exists: a file that is made there and gone again when closed shows that it takes new
    // files.
    const std::size_t separator = path.find_last_of(L"\\/");
    const std::wstring folder = separator == std::wstring::npos ? L"." : path.substr(0, separator);
    const std::wstring probe = folder + L"\\~trsn-check-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    const HANDLE made =
        CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (made == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS) {
            return true;  // a probe of another run of this process id: the folder takes files
        }
        reason = systemErrorText(error);
        return false;
    }
    CloseHandle(made);
    return true;
}

bool OutputFile::open(const std::string& name) {
    close();
    const HANDLE file = openHandle(name, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        fail();
        return false;
    }
    handle = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool OutputFile::isOpen() const {
    return asHandle(handle) != INVALID_HANDLE_VALUE;
}

bool OutputFile::readAt(std::uint64_t offset, void* data, std::size_t size) {
    const HANDLE file = asHandle(handle);
    if (transferAll(static_cast<char*>(data), size, ERROR_HANDLE_EOF,
                    [&](char* where, DWORD ask, DWORD& done, std::size_t before) {
                        OVERLAPPED position = at(offset + before);
                        return ReadFile(file, where, ask, &done, &position);
                    })) {
        return true;
    }
    fail();
    return false;
}

bool OutputFile::writeAt(std::uint64_t offset, const void* data, std::size_t size) {
    const HANDLE file = asHandle(handle);
    if (transferAll(static_cast<const char*>(data), size, ERROR_DISK_FULL,
                    [&](const char* where, DWORD ask, DWORD& done, std::size_t before) {
                        OVERLAPPED position = at(offset + before);
                        return WriteFile(file, where, ask, &done, &position);
                    })) {
        return true;
    }
    fail();
    return false;
}

bool OutputFile::write(const void* data, std::size_t size) {
    const HANDLE file = asHandle(handle);
    if (transferAll(static_cast<const char*>(data), size, ERROR_DISK_FULL,
                    [&](const char* where, DWORD ask, DWORD& done, std::size_t) {
                        return WriteFile(file, where, ask, &done, nullptr);
                    })) {
        return true;
    }
    fail();
    return false;
}

std::optional<std::uint64_t> OutputFile::size() {
    LARGE_INTEGER value{};
    if (!GetFileSizeEx(asHandle(handle), &value)) {
        fail();
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value.QuadPart);
}

bool OutputFile::truncate(std::uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFileInformationByHandle(asHandle(handle), FileEndOfFileInfo, &end, sizeof end)) {
        fail();
        return false;
    }
    return true;
}

bool OutputFile::sync() {
    if (FlushFileBuffers(asHandle(handle)) || GetLastError() == ERROR_INVALID_HANDLE ||
        GetLastError() == ERROR_INVALID_FUNCTION) {
        return true;  // a device or pipe has nothing to flush to a disk
    }
    fail();
    return false;
}

bool OutputFile::close() {
    if (!isOpen()) {
        return true;
    }
    const HANDLE file = asHandle(handle);
    handle = -1;
    if (!CloseHandle(file)) {
        fail();
        return false;
    }
    return true;
}
