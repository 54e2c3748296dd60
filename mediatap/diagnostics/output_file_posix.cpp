// POSIX terms of the media writer's file layer: a descriptor with pread, pwrite, ftruncate and fsync.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "diagnostics/output_file.h"

namespace {

int accessFlags(OutputFile::Access access) {
    return access == OutputFile::Access::writeOnly ? O_WRONLY : O_RDWR;
}

// Repeats `once(where, bytes left, bytes done)`, a read or write that may move fewer bytes than asked,
// until all of them have moved. One that moves none fails with `none` (the file ended, the disk is full).
template <typename Byte, typename Once>
bool transferAll(Byte* data, std::size_t size, int none, Once once) {
    std::size_t moved = 0;
    while (moved < size) {
        const ssize_t done = once(data + moved, size - moved, moved);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            if (done == 0) {
                errno = none;
            }
            return false;
        }
        moved += static_cast<std::size_t>(done);
    }
    return true;
}

}  // namespace

OutputFile::~OutputFile() {
    close();
}

void OutputFile::fail() {
    lastError = std::strerror(errno);
}

bool OutputFile::create(const std::string& name, Access access) {
    close();
    const int fd = ::open(name.c_str(), accessFlags(access) | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        fail();
        return false;
    }
    handle = fd;
    return true;
}

bool OutputFile::checkCreate(const std::string& name, Access access, std::string& reason) {
    if (name.empty()) {
        reason = std::strerror(ENOENT);
        return false;
    }
    struct stat info {};
    if (::stat(name.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
            return true;  // opening a pipe or a device could wait for its other end, or act on it
        }
        const int fd = ::open(name.c_str(), accessFlags(access) | O_CLOEXEC);
        if (fd < 0) {
            reason = std::strerror(errno);
            return false;
        }
        ::close(fd);
        return true;
    }
    if (errno != ENOENT) {
        reason = std::strerror(errno);  // a part of the path that is not a folder, a folder not searchable
        return false;
    }
    std::string folder = std::filesystem::path(name).parent_path().string();
    if (folder.empty()) {
        folder = ".";
    }
    if (::stat(folder.c_str(), &info) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        reason = std::strerror(ENOTDIR);
        return false;
    }
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    return true;
}

bool OutputFile::open(const std::string& name) {
    close();
    const int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fail();
        return false;
    }
    handle = fd;
    return true;
}

bool OutputFile::isOpen() const {
    return handle >= 0;
}

bool OutputFile::readAt(std::uint64_t offset, void* data, std::size_t size) {
    const int fd = static_cast<int>(handle);
    if (transferAll(static_cast<char*>(data), size, EIO, [&](char* at, std::size_t rest, std::size_t done) {
            return ::pread(fd, at, rest, static_cast<off_t>(offset + done));
        })) {
        return true;
    }
    fail();
    return false;
}

bool OutputFile::writeAt(std::uint64_t offset, const void* data, std::size_t size) {
    const int fd = static_cast<int>(handle);
    if (transferAll(static_cast<const char*>(data), size, ENOSPC,
                    [&](const char* at, std::size_t rest, std::size_t done) {
                        return ::pwrite(fd, at, rest, static_cast<off_t>(offset + done));
                    })) {
        return true;
    }
    fail();
    return false;
}

bool OutputFile::write(const void* data, std::size_t size) {
    const int fd = static_cast<int>(handle);
    if (transferAll(static_cast<const char*>(data), size, ENOSPC,
                    [&](const char* at, std::size_t rest, std::size_t) { return ::write(fd, at, rest); })) {
        return true;
    }
    fail();
    return false;
}

std::optional<std::uint64_t> OutputFile::size() {
    struct stat info {};
    if (::fstat(static_cast<int>(handle), &info) != 0) {
        fail();
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(info.st_size);
}

bool OutputFile::truncate(std::uint64_t size) {
    if (::ftruncate(static_cast<int>(handle), static_cast<off_t>(size)) != 0) {
        fail();
        return false;
    }
    return true;
}

bool OutputFile::sync() {
    if (::fsync(static_cast<int>(handle)) == 0 || errno == EINVAL || errno == EROFS) {
        return true;  // a device or pipe has nothing to flush to a disk
    }
    fail();
    return false;
}

bool OutputFile::close() {
    if (handle < 0) {
        return true;
    }
    const int fd = static_cast<int>(handle);
    handle = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        fail();
        return false;
    }
    return true;
}
