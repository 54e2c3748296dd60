#include "output_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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

bool OutputIo::open(const std::string& name, const AVIOInterruptCB& interrupt) {
    interruptCallback = interrupt;
    if (!isFile(name)) {
        return avio_open2(&io, name.c_str(), AVIO_FLAG_WRITE, &interruptCallback, nullptr) >= 0;
    }
    // FFmpeg's file protocol takes the name with or without its "file:" prefix.
    const std::string path = name.rfind("file:", 0) == 0 ? name.substr(5) : name;
    own = std::make_unique<OutputFile>();
    if (!own->create(path)) {
        own.reset();
        return false;
    }
    auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
    if (buffer != nullptr) {
        io = avio_alloc_context(buffer, bufferSize, 1, this, nullptr, writeCallback, seekCallback);
    }
    if (io == nullptr) {
        av_free(buffer);
        own.reset();
        return false;
    }
    io->min_packet_size = bufferSize;
    io->max_packet_size = bufferSize;
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
    return own == nullptr || own->sync();
}

bool OutputIo::releaseContext() {
    if (io == nullptr) {
        return true;
    }
    if (own == nullptr) {
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
