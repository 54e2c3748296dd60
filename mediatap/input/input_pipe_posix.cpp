// POSIX terms of the pipe source: poll and read on a descriptor; a FIFO opened without waiting for its
// writer.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "input/input_pipe.h"

bool isFifo(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

PipeReader::~PipeReader() {
    if (owned && handle >= 0) {
        ::close(static_cast<int>(handle));
    }
}

bool PipeReader::open(const PipeTarget& target) {
    if (target.fifoPath.empty()) {
        handle = target.descriptor;
        return true;
    }
    // Without O_NONBLOCK, opening a FIFO waits for a writer, out of reach of any deadline. Until one
    // comes, poll reports nothing; once it has come and gone, the end.
    const int fd = ::open(target.fifoPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        lastError = std::strerror(errno);
        return false;
    }
    handle = fd;
    owned = true;
    return true;
}

bool PipeReader::wait(int milliseconds) {
    pollfd readable{static_cast<int>(handle), POLLIN, 0};
    return ::poll(&readable, 1, milliseconds) > 0;  // data, the end, or an error that read then reports
}

int PipeReader::read(std::uint8_t* data, int size) {
    const ssize_t count = ::read(static_cast<int>(handle), data, static_cast<std::size_t>(size));
    if (count >= 0) {
        return static_cast<int>(count);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return again;
    }
    lastError = std::strerror(errno);
    return failed;
}
