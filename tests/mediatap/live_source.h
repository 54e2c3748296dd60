// Live sources for the stream tool's end-to-end tests: a real RTSP server (GStreamer, driven by
// rtsp_server.py), a TCP source that stalls (tcp_source.py) and a TCP listener that never answers, both on
// 127.0.0.1 at a free port, plus bounded waits on started processes. Every object ends what it started when
// it goes out of scope.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace live_source {

// A server of the tests' own: a script run by the system interpreter that prints "READY <address>" once
// clients can connect, and ends when its standard input closes (so that it never outlives a test). The
// constructor waits (bounded) until it is ready and records a test failure when it is not; url() is
// empty then.
class ServerProcess {
  public:
    ServerProcess(const std::string& script, const std::vector<std::string>& args);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    const std::string& url() const { return address; }
    // What the server has printed so far.
    std::string printed() const;
    // Freezes the server (SIGSTOP): its sockets stay open, nothing is sent any more.
    void stall();
    // Ends the server at once (SIGKILL): its connections close.
    void kill();

  private:
    pid_t pid = -1;
    int stdinPipe = -1;
    std::string address;
    std::string outFile;
};

// Serves the H.264 and AAC streams of a Matroska file at rtsp://127.0.0.1:PORT/stream, in real time,
// each client from the file's start; over UDP or TCP as the client asks, or over UDP alone. With
// authentication, only to a client that gives the user name and password by that method.
class RtspServer : public ServerProcess {
  public:
    enum Transports { udpOrTcp, udpOnly };
    enum Authentication { basic, digest };
    explicit RtspServer(const std::string& mediaFile, Transports transports = udpOrTcp);
    RtspServer(const std::string& mediaFile, Authentication method, const std::string& userAndPassword);
};

// A camera as rtsp_server.py --camera simulates it: live H.264 video and G.711 audio, both announced,
// sent as the mode says ("both", "silent-audio", "silent-video", "late-audio", "video-stops", "ends").
class CameraServer : public ServerProcess {
  public:
    explicit CameraServer(const std::string& mode);

    // What one client's session was sent: video frames, audio packets, and when each track's first
    // packet went out, in seconds from the session's first packet (none for a track never sent).
    struct Sent {
        int video = -1;
        int audio = -1;
        std::optional<double> videoFirst;
        std::optional<double> audioFirst;
    };
    // Waits (bounded) until the first client's session has ended; its figures, or video -1 when none
    // came (a recorded failure).
    Sent sent() const;
};

// Serves the first half of a file's bytes at tcp://127.0.0.1:PORT to one client, then sends nothing
// more and keeps the connection open: a byte-stream source that stalls mid-stream.
class StallingTcpSource : public ServerProcess {
  public:
    explicit StallingTcpSource(const std::string& file);
};

// Serves a file's bytes at tcp://127.0.0.1:PORT to one client, spread evenly over the given seconds: a
// byte-stream source that sends at the stream's own rate.
class PacedTcpSource : public ServerProcess {
  public:
    PacedTcpSource(const std::string& file, double seconds);
};

// A TCP port on 127.0.0.1 that completes connections and never sends a byte.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    int port() const { return boundPort; }
    // Waits up to timeoutSeconds until a client has connected; the connection stays unanswered.
    bool waitForConnection(double timeoutSeconds) const;

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
