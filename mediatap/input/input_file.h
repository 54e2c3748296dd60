// A media file as the input: read through FFmpeg's own file protocol, under an I/O context of the tool's
// own with a larger buffer. The demuxer then reads the file a quarter of a mebibyte at a time rather than
// in FFmpeg's 32 KiB steps: a tenth of the system calls for the same bytes.
#pragma once

#include <string>

extern "C" {
#include <libavformat/avio.h>
}

class InputFile {
  public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Whether the -i text names a file of this machine that FFmpeg would read with its file protocol
    // (a FIFO is a pipe source, not one of these).
    static bool isFile(const std::string& input);

    // Opens the file as FFmpeg would; the interrupt callback is FFmpeg's to ask, as for its own open.
    // The FFmpeg error code on failure (negative), else 0.
    int open(const std::string& input, const AVIOInterruptCB& interrupt);
    // For the input context's pb; it stays this object's.
    AVIOContext* context() const { return io; }

  private:
    static int readCallback(void* opaque, std::uint8_t* data, int size);
    static std::int64_t seekCallback(void* opaque, std::int64_t offset, int whence);

    AVIOInterruptCB interruptCallback{};
    AVIOContext* file = nullptr;  // FFmpeg's file protocol, read straight into io's buffer
    AVIOContext* io = nullptr;
};
