// Live sources for the stream tool's end-to-end tests: a real RTSP server (GStreamer, driven by
// rtsp_server.py) and a TCP listener that never answers, both on 127.0.0.1 at a free port, plus bounded
// waits on started processes. Every object ends what it started when it goes out of scope.
#pragma once

#include <sys/types.h>

#include <string>

namespace live_source {

// Serves the H.264 and AAC streams of a Matroska file at rtsp://127.0.0.1:PORT/stream, in real time,
// each client from the file's start. The constructor waits (bounded) until the server is ready and
// records a test failure when it is not; url() is empty then.
class RtspServer {
  public:
    explicit RtspServer(const std::string& mediaFile);
    ~RtspServer();
    RtspServer(const RtspServer&) = delete;
    RtspServer& operator=(const RtspServer&) = delete;

    const std::string& url() const { return address; }
    // Freezes the server (SIGSTOP): its sockets stay open, nothing is sent any more.
    void stall();
    // Ends the server at once (SIGKILL): its connections close.
    void kill();

  private:
    pid_t pid = -1;
    int stdinPipe = -1;  // the server ends when this closes, even if the test dies
    std::string address;
};

// A TCP port on 127.0.0.1 that completes connections and never sends a byte.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    int port() const { return boundPort; }

  private:
    int socketFd = -1;
    int boundPort = 0;
};

// Waits up to timeoutSeconds for the process to end, without reaping it (waitTool does that). On time
// out the process is killed and false is returned.
bool waitForExit(pid_t pid, double timeoutSeconds);

// Waits up to timeoutSeconds until the text file holds at least count lines ending in lineEnd.
bool waitForLines(const std::string& path, std::size_t count, const std::string& lineEnd,
                  double timeoutSeconds);

// Seconds on a monotonic clock, for measuring how long a run took.
double nowSeconds();

}  // namespace live_source
