// The tests' disk that fails and forgets on command: fault_fs (a FUSE file system of the tests' own)
// mounted over a folder of the test's scratch directory. See fault_fs.cpp for its commands.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

class FaultDisk {
  public:
    // Mounts the file system at dir/mnt over dir/disk. When it cannot be mounted, skipReason() says why.
    explicit FaultDisk(const std::string& dir);
    ~FaultDisk();
    FaultDisk(const FaultDisk&) = delete;
    FaultDisk& operator=(const FaultDisk&) = delete;

    // Empty once mounted.
    const std::string& skipReason() const { return reason; }
    // A file as the tool sees it (through the mount) and as the disk holds it (the folder under it).
    std::string path(const std::string& name) const { return mountPoint + "/" + name; }
    std::string onDisk(const std::string& name) const { return folder + "/" + name; }

    // One command of fault_fs; a file is named by its name in the mount ("out.mp4"). False when refused.
    bool command(const std::string& line) const;
    // A counter of a file: "writes", "fsyncs" or "reads".
    std::uint64_t counter(const std::string& what, const std::string& name) const;
    // Waits up to timeoutSeconds until the counter reaches atLeast.
    bool waitFor(const std::string& what, const std::string& name, std::uint64_t atLeast,
                 double timeoutSeconds) const;

  private:
    std::string folder;
    std::string mountPoint;
    std::string reason;
    pid_t pid = -1;
    bool mounted = false;
};
