// An FFmpeg I/O context of the tool's own, over a buffer it allocates for it: the inputs it reads itself
// and the outputs it writes itself.
#pragma once

#include <cstdint>

extern "C" {
#include <libavformat/avio.h>
}

// Null when either allocation fails; nothing is left allocated then.
AVIOContext* allocateIoContext(int bufferSize, bool writable, void* opaque,
                               int (*read)(void*, std::uint8_t*, int),
                               int (*write)(void*, std::uint8_t*, int),
                               std::int64_t (*seek)(void*, std::int64_t, int));

// Frees the context and its buffer (FFmpeg may have replaced the one it was given) and nulls io.
void freeIoContext(AVIOContext*& io);
