// Windows terms of the media writer's file layer: a file handle with positioned ReadFile and WriteFile,
// SetEndOfFile and FlushFileBuffers. Names are UTF-8 and may be longer than MAX_PATH.
#include <windows.h>

#include <string>
#include <vector>

#include "output_file.h"

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

}  // namespace

OutputFile::~OutputFile() {
    close();
}

void OutputFile::fail() {
    const DWORD code = GetLastError();
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        lastError = "Error " + std::to_string(code);
        return;
    }
    lastError = utf8FromWide(text, static_cast<int>(length));
    LocalFree(text);
    while (!lastError.empty() &&
           (lastError.back() == '\n' || lastError.back() == '\r' || lastError.back() == ' ')) {
        lastError.pop_back();
    }
}

namespace {

HANDLE openHandle(const std::string& name, DWORD disposition) {
    return CreateFileW(systemPath(name).c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

}  // namespace

bool OutputFile::create(const std::string& name) {
    close();
    const HANDLE file = openHandle(name, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        fail();
        return false;
    }
    handle = reinterpret_cast<std::intptr_t>(file);
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
    auto* out = static_cast<char*>(data);
    while (size > 0) {
        OVERLAPPED position = at(offset);
        DWORD done = 0;
        const DWORD ask = static_cast<DWORD>(size < maxChunk ? size : maxChunk);
        if (!ReadFile(asHandle(handle), out, ask, &done, &position) || done == 0) {
            if (done == 0 && GetLastError() == ERROR_SUCCESS) {
                SetLastError(ERROR_HANDLE_EOF);
            }
            fail();
            return false;
        }
        out += done;
        size -= done;
        offset += done;
    }
    return true;
}

bool OutputFile::writeAt(std::uint64_t offset, const void* data, std::size_t size) {
    const auto* in = static_cast<const char*>(data);
    while (size > 0) {
        OVERLAPPED position = at(offset);
        DWORD done = 0;
        const DWORD ask = static_cast<DWORD>(size < maxChunk ? size : maxChunk);
        if (!WriteFile(asHandle(handle), in, ask, &done, &position) || done == 0) {
            if (done == 0 && GetLastError() == ERROR_SUCCESS) {
                SetLastError(ERROR_DISK_FULL);
            }
            fail();
            return false;
        }
        in += done;
        size -= done;
        offset += done;
    }
    return true;
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
