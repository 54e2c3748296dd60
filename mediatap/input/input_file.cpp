#include "input/input_file.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "diagnostics/io_context.h"
#include "input/input_pipe.h"

extern "C" {
#include <libavutil/error.h>
}

namespace {

// Reads of this size go from the file straight into the buffer: FFmpeg's context under it reads past
// its own, smaller buffer.
constexpr int bufferSize = 262144;

}  // namespace

InputFile::~InputFile() {
    freeIoContext(io);
    avio_closep(&file);
}

bool InputFile::isFile(const std::string& input) {
    const char* protocol = avio_find_protocol_name(input.c_str());
    return protocol != nullptr && std::strcmp(protocol, "file") == 0 && !pipeTargetOf(input).has_value();
}

int InputFile::open(const std::string& input, const AVIOInterruptCB& interrupt) {
    interruptCallback = interrupt;
    if (const int opened = avio_open2(&file, input.c_str(), AVIO_FLAG_READ, &interruptCallback, nullptr);
        opened < 0) {
        return opened;
    }
    io = allocateIoContext(bufferSize, false, this, readCallback, nullptr, seekCallback);
    if (io == nullptr) {
        return AVERROR(ENOMEM);
    }
    io->seekable = file->seekable;
    return 0;
}

int InputFile::readCallback(void* opaque, std::uint8_t* data, int size) {
    auto* self = static_cast<InputFile*>(opaque);
    const int count = avio_read(self->file, data, size);
    if (count > 0) {
        return count;
    }
    return count == 0 || avio_feof(self->file) ? AVERROR_EOF : count;
}

std::int64_t InputFile::seekCallback(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<InputFile*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE:
            return avio_size(self->file);
        case SEEK_END: {
            const std::int64_t size = avio_size(self->file);
            return size < 0 ? size : avio_seek(self->file, size + offset, SEEK_SET);
        }
        default:
            return avio_seek(self->file, offset, whence);
    }
}
