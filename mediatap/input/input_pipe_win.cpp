// Windows terms of the pipe source: the handle of a C runtime descriptor, read by a thread of its own.
// Nothing on Windows waits for a pipe with a limit (PeekNamedPipe is no help under Wine, and anonymous
// pipes have no overlapped I/O), so that thread waits in ReadFile and hands over what it reads; the reader
// waits for the thread with a limit. A thread still waiting when the run ends is left to the process's
// exit; it owns nothing but what it shares with the reader.
#include <io.h>
#include <windows.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "diagnostics/output_file.h"
#include "input/input_pipe.h"

namespace {

// How much the thread reads at once, and how much it reads ahead of the reader at most.
constexpr DWORD chunkSize = 65536;
constexpr std::size_t readAheadLimit = 4u << 20;

}  // namespace

struct PipeReader::ReadAhead {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<std::uint8_t>> chunks;
    std::size_t frontTaken = 0;  // of the first chunk, already handed to the reader
    std::size_t held = 0;        // bytes in chunks, taken ones included
    bool ended = false;
    DWORD error = ERROR_SUCCESS;  // the read that failed; the thread has ended
    bool abandoned = false;       // the reader is gone

    // The thread: reads until the end, a failure, or a reader that is gone.
    static void run(const std::shared_ptr<ReadAhead>& state, HANDLE handle) {
        for (;;) {
            std::vector<std::uint8_t> chunk(chunkSize);
            DWORD count = 0;
            const bool read = ReadFile(handle, chunk.data(), chunkSize, &count, nullptr) != 0;
            const DWORD error = read ? ERROR_SUCCESS : GetLastError();
            std::unique_lock<std::mutex> guard(state->lock);
            if (!read && error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) {
                state->error = error;
            } else if (count == 0) {
                state->ended = true;
            } else {
                chunk.resize(count);
                state->held += count;
                state->chunks.push_back(std::move(chunk));
            }
            state->changed.notify_all();
            if (state->ended || state->error != ERROR_SUCCESS) {
                return;
            }
            state->changed.wait(guard, [&] { return state->held < readAheadLimit || state->abandoned; });
            if (state->abandoned) {
                return;
            }
        }
    }
};

bool isFifo(const std::string&) {
    return false;
}

PipeReader::~PipeReader() {
    if (readAhead) {
        const std::lock_guard<std::mutex> guard(readAhead->lock);
        readAhead->abandoned = true;
        readAhead->changed.notify_all();
    }
}

bool PipeReader::open(const PipeTarget& target) {
    const intptr_t value = _get_osfhandle(target.descriptor);
    if (value == -1 || value == -2) {
        lastError = systemErrorText(ERROR_INVALID_HANDLE);
        return false;
    }
    handle = value;  // the descriptor stays the process's
    readAhead = std::make_shared<ReadAhead>();
    try {
        std::thread(ReadAhead::run, readAhead, reinterpret_cast<HANDLE>(handle)).detach();
    } catch (const std::system_error&) {
        readAhead.reset();
        lastError = systemErrorText(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

bool PipeReader::wait(int milliseconds) {
    std::unique_lock<std::mutex> guard(readAhead->lock);
    return readAhead->changed.wait_for(guard, std::chrono::milliseconds(milliseconds), [this] {
        return readAhead->held > 0 || readAhead->ended || readAhead->error != ERROR_SUCCESS;
    });
}

int PipeReader::read(std::uint8_t* data, int size) {
    const std::lock_guard<std::mutex> guard(readAhead->lock);
    ReadAhead& state = *readAhead;
    int count = 0;
    while (count < size && !state.chunks.empty()) {
        const std::vector<std::uint8_t>& front = state.chunks.front();
        const std::size_t left = front.size() - state.frontTaken;
        const auto room = static_cast<std::size_t>(size - count);
        const std::size_t take = left < room ? left : room;
        std::memcpy(data + count, front.data() + state.frontTaken, take);
        count += static_cast<int>(take);
        state.frontTaken += take;
        if (state.frontTaken == front.size()) {
            state.held -= front.size();
            state.chunks.pop_front();
            state.frontTaken = 0;
        }
    }
    if (count > 0) {
        state.changed.notify_all();  // room for the thread again
        return count;
    }
    if (state.error != ERROR_SUCCESS) {
        lastError = systemErrorText(state.error);
        return failed;
    }
    return state.ended ? 0 : again;
}
