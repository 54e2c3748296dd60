// Sources that FFmpeg's own file and pipe protocols would wait on without ever asking the interrupt
// callback: a pipe ("pipe:", "pipe:N") and, on POSIX systems, a FIFO. The tool reads them itself through
// an I/O context of its own, which waits for data in short steps and gives up once the callback says so,
// so that the deadline holds for them as for a network source.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

extern "C" {
#include <libavformat/avio.h>
}

// What an -i text names, read as FFmpeg reads it: a descriptor of the process ("pipe:N"; "pipe:" or
// anything after it that is not a whole number is 0), or the path of a FIFO. Nothing for every other
// source, which FFmpeg opens itself.
struct PipeTarget {
    int descriptor = -1;
    std::string fifoPath;
};
std::optional<PipeTarget> pipeTargetOf(const std::string& input);

// The platform layer, one implementation file per platform: whether a path names a FIFO (never on
// Windows), and the readable end of a pipe or FIFO.
bool isFifo(const std::string& path);

class PipeReader {
  public:
    enum : int { again = -2, failed = -1 };

    PipeReader() = default;
    ~PipeReader();
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;

    // Opens the target without waiting: a FIFO that nobody writes yet opens at once. A descriptor stays
    // the process's; a FIFO opened here is closed here.
    bool open(const PipeTarget& target);
    // Waits up to milliseconds for something to read (data, or the end); false when there is nothing yet.
    bool wait(int milliseconds);
    // Reads what there is, up to size bytes: the count, 0 at the end, `again` when nothing came after
    // all, `failed` on an error (errorText says which).
    int read(std::uint8_t* data, int size);
    const std::string& errorText() const { return lastError; }

  private:
    struct ReadAhead;

    std::intptr_t handle = -1;  // a descriptor, or a HANDLE on Windows
    bool owned = false;
    // Windows: what a thread of its own has read ahead. A pipe there can only be waited on in ReadFile,
    // so that thread waits, and the reader waits on it with a limit.
    std::shared_ptr<ReadAhead> readAhead;
    std::string lastError;
};

class InputPipe {
  public:
    InputPipe() = default;
    ~InputPipe();
    InputPipe(const InputPipe&) = delete;
    InputPipe& operator=(const InputPipe&) = delete;

    // Opens the target and makes the I/O context over it; every wait asks interrupt first. False on
    // failure, with errorText().
    bool open(const PipeTarget& target, const AVIOInterruptCB& interrupt);
    // For the input context's pb; it stays this object's.
    AVIOContext* context() const { return io; }
    // The platform's text for a failed open or read; empty otherwise.
    const std::string& errorText() const { return reader.errorText(); }

  private:
    static int readCallback(void* opaque, std::uint8_t* data, int size);

    PipeReader reader;
    AVIOInterruptCB interruptCallback{};
    AVIOContext* io = nullptr;
};
