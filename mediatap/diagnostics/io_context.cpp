#include "diagnostics/io_context.h"

extern "C" {
#include <libavutil/mem.h>
}

AVIOContext* allocateIoContext(int bufferSize, bool writable, void* opaque,
                               int (*read)(void*, std::uint8_t*, int),
                               int (*write)(void*, std::uint8_t*, int),
                               std::int64_t (*seek)(void*, std::int64_t, int)) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
    if (buffer == nullptr) {
        return nullptr;
    }
    AVIOContext* io = avio_alloc_context(buffer, bufferSize, writable ? 1 : 0, opaque, read, write, seek);
    if (io == nullptr) {
        av_free(buffer);
    }
    return io;
}

void freeIoContext(AVIOContext*& io) {
    if (io != nullptr) {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
}
