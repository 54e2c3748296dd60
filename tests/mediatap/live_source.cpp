#include "live_source.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "media_fixture.h"
#include "read_file.h"

namespace live_source {

namespace {

// The system interpreter: it has the GStreamer bindings (a user-installed python3 on PATH may not).
constexpr const char* python = "/usr/bin/python3";

std::string scriptPath(const char* name) {
    return (std::filesystem::path(__FILE__).parent_path() / name).string();
}

void pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

ServerProcess::ServerProcess(const std::string& script, const std::vector<std::string>& args) {
    static int serial = 0;  // each server of a test has files of its own
    const std::string stem =
        media_fixture::pathFor(std::filesystem::path(script).stem().string() + std::to_string(++serial));
    outFile = stem + ".out";
    const std::string errFile = stem + ".err";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return;
    }
    std::vector<char*> argv{const_cast<char*>(python), const_cast<char*>(script.c_str())};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
        dup2(fds[0], STDIN_FILENO);  // dup2 clears close-on-exec on the copy
        if (std::freopen(outFile.c_str(), "wb", stdout) == nullptr ||
            std::freopen(errFile.c_str(), "wb", stderr) == nullptr) {
            _exit(127);
        }
        execv(python, argv.data());
        _exit(127);
    }
    close(fds[0]);
    stdinPipe = fds[1];
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return;
    }
    const double deadline = nowSeconds() + 15.0;
    while (nowSeconds() < deadline) {
        const std::string out = readFile(outFile);
        if (const auto ready = out.find("READY ");
            ready != std::string::npos && out.find('\n', ready) != std::string::npos) {
            address = out.substr(ready + 6, out.find('\n', ready) - ready - 6);
            return;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            ADD_FAILURE() << "the server ended before it was ready: " << readFile(errFile);
            return;
        }
        pause();
    }
    ADD_FAILURE() << "the server was not ready within 15 s: " << readFile(errFile);
}

ServerProcess::~ServerProcess() {
    if (stdinPipe >= 0) {
        close(stdinPipe);
    }
    if (pid > 0) {
        ::kill(pid, SIGKILL);  // also ends a stalled server
        waitpid(pid, nullptr, 0);
    }
}

std::string ServerProcess::printed() const {
    return readFile(outFile);
}

void ServerProcess::stall() {
    if (pid > 0) {
        ::kill(pid, SIGSTOP);
    }
}

void ServerProcess::kill() {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

RtspServer::RtspServer(const std::string& mediaFile, Transports transports)
    : ServerProcess(scriptPath("rtsp_server.py"), transports == udpOnly
                                                      ? std::vector<std::string>{"--udp-only", mediaFile}
                                                      : std::vector<std::string>{mediaFile}) {}

RtspServer::RtspServer(const std::string& mediaFile, Authentication method,
                       const std::string& userAndPassword)
    : ServerProcess(scriptPath("rtsp_server.py"),
                    {"--auth", method == basic ? "basic" : "digest", userAndPassword, mediaFile}) {}

CameraServer::CameraServer(const std::string& mode)
    : ServerProcess(scriptPath("rtsp_server.py"), {"--camera", mode}) {}

CameraServer::Sent CameraServer::sent() const {
    static const std::regex line(R"(SENT video=(\d+) audio=(\d+) video_first=(\S+) audio_first=(\S+)\n)");
    const auto seconds = [](const std::string& text) {
        return text == "none" ? std::nullopt : std::optional<double>(std::stod(text));
    };
    const double deadline = nowSeconds() + 15.0;
    while (nowSeconds() < deadline) {
        const std::string out = printed();
        if (std::smatch match; std::regex_search(out, match, line)) {
            return Sent{std::stoi(match[1]), std::stoi(match[2]), seconds(match[3]), seconds(match[4])};
        }
        pause();
    }
    ADD_FAILURE() << "the camera reported no session within 15 s: " << printed();
    return Sent{};
}

StallingTcpSource::StallingTcpSource(const std::string& file)
    : ServerProcess(scriptPath("tcp_source.py"), {file}) {}

PacedTcpSource::PacedTcpSource(const std::string& file, double seconds)
    : ServerProcess(scriptPath("tcp_source.py"), {"--paced", std::to_string(seconds), file}) {}

SilentListener::SilentListener() {
    socketFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (socketFd < 0 || bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(socketFd, 16) != 0 ||
        getsockname(socketFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "cannot listen on 127.0.0.1";
        return;
    }
    // The kernel completes each connection into the backlog; nobody ever reads or answers.
    boundPort = ntohs(address.sin_port);
}

bool SilentListener::waitForConnection(double timeoutSeconds) const {
    // A completed connection in the backlog makes the listening socket readable; it is left there.
    pollfd listening{socketFd, POLLIN, 0};
    return socketFd >= 0 && poll(&listening, 1, static_cast<int>(timeoutSeconds * 1000)) == 1;
}

SilentListener::~SilentListener() {
    if (socketFd >= 0) {
        close(socketFd);
    }
}

bool waitForExit(pid_t pid, double timeoutSeconds) {
    const double deadline = nowSeconds() + timeoutSeconds;
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return true;
        }
        if (nowSeconds() >= deadline) {
            ::kill(pid, SIGKILL);
            return false;
        }
        pause();
    }
}

bool waitForLines(const std::string& path, std::size_t count, const std::string& lineEnd,
                  double timeoutSeconds) {
    const double deadline = nowSeconds() + timeoutSeconds;
    while (nowSeconds() < deadline) {
        const std::string text = readFile(path);
        std::size_t lines = 0;
        for (std::size_t at = text.find(lineEnd); at != std::string::npos; at = text.find(lineEnd, at + 1)) {
            ++lines;
        }
        if (lines >= count) {
            return true;
        }
        pause();
    }
    return false;
}

}  // namespace live_source
