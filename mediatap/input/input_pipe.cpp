#include "input/input_pipe.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "diagnostics/io_context.h"

extern "C" {
#include <libavutil/error.h>
}

namespace {

// As FFmpeg's own I/O reads.
constexpr int bufferSize = 32768;
// How long one wait for data lasts before the interrupt callback is asked again.
constexpr int waitStepMs = 20;

}  // namespace

std::optional<PipeTarget> pipeTargetOf(const std::string& input) {
    if (input.rfind("pipe:", 0) == 0) {
        // FFmpeg's pipe protocol reads its address so. The tool reads the pipe itself, so this holds
        // whether or not the FFmpeg it links has that protocol.
        const char* number = input.c_str() + 5;
        char* end = nullptr;
        const long descriptor = std::strtol(number, &end, 10);
        PipeTarget target;
        target.descriptor = end == number || *end != '\0' ? 0 : static_cast<int>(descriptor);
        return target;
    }
    const char* protocol = avio_find_protocol_name(input.c_str());
    if (protocol != nullptr && std::strcmp(protocol, "file") == 0) {
        const std::string path = input.rfind("file:", 0) == 0 ? input.substr(5) : input;
        if (isFifo(path)) {
            PipeTarget target;
            target.fifoPath = path;
            return target;
        }
    }
    return std::nullopt;
}

InputPipe::~InputPipe() {
    freeIoContext(io);
}

bool InputPipe::open(const PipeTarget& target, const AVIOInterruptCB& interrupt) {
    interruptCallback = interrupt;
    if (!reader.open(target)) {
        return false;
    }
    io = allocateIoContext(bufferSize, false, this, readCallback, nullptr, nullptr);
    if (io == nullptr) {
        return false;
    }
    return true;
}

// Waits for data in short steps, asking the interrupt callback before each; hands over what there is as
// soon as there is any, as a read of a pipe does.
int InputPipe::readCallback(void* opaque, std::uint8_t* data, int size) {
    auto* self = static_cast<InputPipe*>(opaque);
    const AVIOInterruptCB& interrupt = self->interruptCallback;
    for (;;) {
        if (interrupt.callback != nullptr && interrupt.callback(interrupt.opaque) != 0) {
            return AVERROR_EXIT;
        }
        if (!self->reader.wait(waitStepMs)) {
            continue;
        }
        const int count = self->reader.read(data, size);
        if (count > 0) {
            return count;
        }
        if (count == 0) {
            return AVERROR_EOF;
        }
        if (count == PipeReader::failed) {
            return AVERROR(EIO);
        }
    }
}
