#include "fault_disk.h"

#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "live_source.h"

namespace {

// Waits up to timeoutSeconds for the line "READY" on fd.
bool readyLine(int fd, double timeoutSeconds) {
    const double deadline = live_source::nowSeconds() + timeoutSeconds;
    std::string text;
    while (text.find("READY\n") == std::string::npos) {
        const double left = deadline - live_source::nowSeconds();
        pollfd ready{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left * 1000) + 1) <= 0) {
            return false;
        }
        char buffer[256];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

}  // namespace

FaultDisk::FaultDisk(const std::string& dir) : folder(dir + "/disk"), mountPoint(dir + "/mnt") {
    const std::string program = TRSN_FAULT_FS;
    if (program.empty()) {
        reason = "fault_fs was not built: no fuse3 (libfuse3-dev) at configure time";
        return;
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        reason = "no /dev/fuse: FUSE cannot be mounted here";
        return;
    }
    std::filesystem::create_directories(folder);
    std::filesystem::create_directories(mountPoint);
    int out[2];
    if (::pipe(out) != 0) {
        reason = "no pipe for fault_fs";
        return;
    }
    pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execl(program.c_str(), program.c_str(), folder.c_str(), mountPoint.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    mounted = pid > 0 && readyLine(out[0], 20.0);
    ::close(out[0]);
    if (!mounted) {
        reason = "fault_fs could not mount a FUSE file system at " + mountPoint;
    }
}

FaultDisk::~FaultDisk() {
    if (pid <= 0) {
        return;
    }
    // A clean shutdown: fault_fs writes out its cache and unmounts.
    ::kill(pid, SIGTERM);
    if (!live_source::waitForExit(pid, 30.0)) {
        ::umount2(mountPoint.c_str(), MNT_DETACH);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
}

bool FaultDisk::command(const std::string& line) const {
    std::ofstream control(mountPoint + "/.faultfs");
    control << line;
    control.flush();
    return static_cast<bool>(control);
}

std::uint64_t FaultDisk::counter(const std::string& what, const std::string& name) const {
    std::ifstream control(mountPoint + "/.faultfs");
    std::string word, file;
    std::uint64_t value = 0;
    while (control >> word >> file >> value) {
        if (word == what && file == "/" + name) {
            return value;
        }
    }
    return 0;
}

bool FaultDisk::waitFor(const std::string& what, const std::string& name, std::uint64_t atLeast,
                        double timeoutSeconds) const {
    const double deadline = live_source::nowSeconds() + timeoutSeconds;
    while (counter(what, name) < atLeast) {
        if (live_source::nowSeconds() > deadline) {
            return false;
        }
        // Counters change with the tool's writes; asking often costs the file system little.
        ::usleep(20000);
    }
    return true;
}
