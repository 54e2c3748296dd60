// The tool's own reading of pipe sources: which -i texts it takes, and a read that hands over what there
// is, waits in steps that ask the interrupt callback, and ends at the pipe's end.
#include <fcntl.h>
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "input/input_pipe.h"

extern "C" {
#include <libavutil/error.h>
}

namespace {

#if defined(_WIN32)
bool makePipe(int fds[2]) {
    return _pipe(fds, 4096, _O_BINARY) == 0;
}
void closeEnd(int fd) {
    _close(fd);
}
int writeEnd(int fd, const char* text, unsigned size) {
    return _write(fd, text, size);
}
#else
bool makePipe(int fds[2]) {
    return pipe(fds) == 0;
}
void closeEnd(int fd) {
    close(fd);
}
int writeEnd(int fd, const char* text, unsigned size) {
    return static_cast<int>(write(fd, text, size));
}
#endif

TEST(InputPipe, TakesPipesAsFfmpegNamesThem) {
    const std::pair<const char*, int> pipes[] = {
        {"pipe:", 0}, {"pipe:0", 0}, {"pipe:5", 5}, {"pipe:abc", 0}, {"pipe:3x", 0},
    };
    for (const auto& [input, descriptor] : pipes) {
        SCOPED_TRACE(input);
        const std::optional<PipeTarget> target = pipeTargetOf(input);
        ASSERT_TRUE(target.has_value());
        EXPECT_EQ(target->descriptor, descriptor);
        EXPECT_EQ(target->fifoPath, "");
    }
    const auto file = std::filesystem::path(testing::TempDir()) / "input_pipe_test.ts";
    std::ofstream(file) << "x";
    for (const std::string& input :
         {file.string(), "file:" + file.string(), std::string("rtsp://camera/stream"), std::string("-")}) {
        SCOPED_TRACE(input);
        EXPECT_FALSE(pipeTargetOf(input).has_value());
    }
}

#if !defined(_WIN32)
TEST(InputPipe, TakesAFifoByItsPath) {
    const auto fifo = std::filesystem::path(testing::TempDir()) / "input_pipe_test.fifo";
    std::filesystem::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& input : {fifo.string(), "file:" + fifo.string()}) {
        SCOPED_TRACE(input);
        const std::optional<PipeTarget> target = pipeTargetOf(input);
        ASSERT_TRUE(target.has_value());
        EXPECT_EQ(target->fifoPath, fifo.string());
    }
    std::filesystem::remove(fifo);
}
#endif

// Stands in for the input's deadline: gives up after a number of waits.
struct Deadline {
    int waits = 0;
    int limit = 0;
};

int deadlineCallback(void* opaque) {
    auto* deadline = static_cast<Deadline*>(opaque);
    return ++deadline->waits > deadline->limit ? 1 : 0;
}

TEST(InputPipe, HandsOverWhatThereIsAndGivesUpWhenTheCallbackSays) {
    int fds[2];
    ASSERT_TRUE(makePipe(fds));
    ASSERT_EQ(writeEnd(fds[1], "abc", 3), 3);
    {
        Deadline deadline{.waits = 0, .limit = 5};
        InputPipe input;
        ASSERT_TRUE(
            input.open(PipeTarget{.descriptor = fds[0], .fifoPath = ""}, {deadlineCallback, &deadline}));
        unsigned char data[16];
        EXPECT_EQ(avio_read_partial(input.context(), data, sizeof data), 3);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 3), "abc");
        // The writer stays, and sends nothing more.
        deadline.waits = 0;
        EXPECT_EQ(avio_read_partial(input.context(), data, sizeof data), AVERROR_EXIT);
        EXPECT_GT(deadline.waits, 5);
    }
    closeEnd(fds[1]);
    {
        Deadline deadline{.waits = 0, .limit = 1000};
        InputPipe input;
        ASSERT_TRUE(
            input.open(PipeTarget{.descriptor = fds[0], .fifoPath = ""}, {deadlineCallback, &deadline}));
        unsigned char data[16];
        EXPECT_EQ(avio_read_partial(input.context(), data, sizeof data), AVERROR_EOF);
    }
    closeEnd(fds[0]);
}

}  // namespace
