#include "output_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "failure_cause.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {

// FFmpeg's own file I/O buffers this much and writes it out at its flush points only once it is full;
// the writer hands over what is buffered when it needs to.
constexpr int bufferSize = 262144;

}  // namespace

OutputIo::~OutputIo() {
    close();
}

bool OutputIo::isFile(const std::string& name) {
    const char* protocol = avio_find_protocol_name(name.c_str());
    return protocol != nullptr && std::strcmp(protocol, "file") == 0;
}

namespace {

// FFmpeg's file protocol takes the name with or without its "file:" prefix.
std::string pathOf(const std::string& name) {
    return name.rfind("file:", 0) == 0 ? name.substr(5) : name;
}

}  // namespace

bool OutputIo::open(const std::string& name, const AVIOInterruptCB& interrupt) {
    interruptCallback = interrupt;
    if (!isFile(name)) {
        const int result = avio_open2(&io, name.c_str(), AVIO_FLAG_WRITE, &interruptCallback, nullptr);
        if (result < 0) {
            openFailure = ffmpegErrorText(result);
        }
        return result >= 0;
    }
    own = std::make_unique<OutputFile>();
    if (!own->create(pathOf(name))) {
        openFailure = own->errorText();
        own.reset();
        return false;
    }
    if (!allocateContext(writeCallback)) {
        own.reset();
        openFailure = ffmpegErrorText(AVERROR(ENOMEM));
        return false;
    }
    return true;
}

bool OutputIo::checkOpen(const std::string& name, std::string& reason) {
    return !isFile(name) || OutputFile::checkCreate(pathOf(name), OutputFile::Access::readWrite, reason);
}

bool OutputIo::openDiscarding() {
    return allocateContext(discardCallback);
}

bool OutputIo::allocateContext(int (*write)(void*, std::uint8_t*, int)) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
    if (buffer != nullptr) {
        io = avio_alloc_context(buffer, bufferSize, 1, this, nullptr, write, seekCallback);
    }
    if (io == nullptr) {
        av_free(buffer);
        return false;
    }
    io->min_packet_size = bufferSize;
    io->max_packet_size = bufferSize;
    ownContext = true;
    return true;
}

int OutputIo::writeCallback(void* opaque, std::uint8_t* data, int size) {
    auto* self = static_cast<OutputIo*>(opaque);
    const AVIOInterruptCB& interrupt = self->interruptCallback;
    if (interrupt.callback != nullptr && interrupt.callback(interrupt.opaque) != 0) {
        return AVERROR_EXIT;
    }
    if (size <= 0) {
        return 0;
    }
    if (!self->own->writeAt(self->position, data, static_cast<std::size_t>(size))) {
        return AVERROR(EIO);
    }
    self->position += static_cast<std::uint64_t>(size);
    if (self->position > self->length) {
        self->length = self->position;
    }
    return size;
}

int OutputIo::discardCallback(void* opaque, std::uint8_t*, int size) {
    auto* self = static_cast<OutputIo*>(opaque);
    if (size > 0) {
        self->position += static_cast<std::uint64_t>(size);
        self->length = std::max(self->length, self->position);
    }
    return size;
}

std::int64_t OutputIo::seekCallback(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<OutputIo*>(opaque);
    const auto known = static_cast<std::int64_t>(self->length);
    switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE:
            return known;
        case SEEK_SET:
            break;
        case SEEK_CUR:
            offset += static_cast<std::int64_t>(self->position);
            break;
        case SEEK_END:
            offset += known;
            break;
        default:
            return AVERROR(EINVAL);
    }
    if (offset < 0) {
        return AVERROR(EINVAL);
    }
    self->position = static_cast<std::uint64_t>(offset);
    return offset;
}

bool OutputIo::handOver() {
    if (io == nullptr) {
        return false;
    }
    avio_flush(io);
    return io->error >= 0;
}

bool OutputIo::sync() {
    if (own == nullptr) {
        return true;
    }
    const std::uint64_t written = length;
    if (!own->sync()) {
        return false;
    }
    synced = written;
    return true;
}

bool OutputIo::releaseContext() {
    if (io == nullptr) {
        return true;
    }
    if (!ownContext) {
        return avio_closep(&io) >= 0;
    }
    avio_flush(io);
    const bool handed = io->error >= 0;
    av_freep(&io->buffer);
    avio_context_free(&io);
    return handed;
}

bool OutputIo::close() {
    bool kept = releaseContext();
    if (own != nullptr) {
        kept = own->sync() && kept;
        kept = own->close() && kept;
        own.reset();
    }
    return kept;
}

void OutputIo::abandon(bool keepSyncedOnly) {
    if (io != nullptr && ownContext) {
        av_freep(&io->buffer);
        avio_context_free(&io);
    } else if (io != nullptr) {
        avio_closep(&io);
    }
    if (own != nullptr) {
        if (keepSyncedOnly) {
            own->truncate(synced);
        }
        own->sync();
        own->close();
        own.reset();
    }
}

std::string OutputIo::failureText() const {
    if (own != nullptr && !own->errorText().empty()) {
        return own->errorText();
    }
    return openFailure;
}

std::uint64_t OutputIo::bytesWritten() const {
    if (io == nullptr) {
        return length;
    }
    const std::int64_t at = avio_tell(io);
    return std::max(length, at > 0 ? static_cast<std::uint64_t>(at) : 0);
}
