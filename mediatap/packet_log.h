// Packet log files of trsn.mediatap: one fixed-layout text line per packet passed on.
#pragma once

#include <cstdint>
#include <string>

#include "diagnostics/output_file.h"

struct PacketLine {
    bool video = true;
    std::int32_t id = 0;
    bool key = false;
    double time = 0.0;
    std::int64_t pts = 0;
    std::int64_t dts = 0;
    std::int64_t originalPts = 0;
    std::int64_t originalDts = 0;
    std::int32_t duration = 0;
    int size = 0;
};

std::string composePacketLine(const PacketLine& line);

// One log: closed unless opened. Opening creates or truncates the file for writing, with shared access;
// lines end as text files end on the platform (CR LF on Windows).
class PacketLog {
  public:
    bool open(const std::string& fileName);
    // Whether open could succeed, found out without creating or truncating the file; false with the
    // platform's text for why not.
    static bool checkOpen(const std::string& fileName, std::string& reason);
    bool isOpen() const { return file.isOpen(); }
    // Writes the line straight to the file when the log is open. False when the line did not reach the
    // file (a full disk, for example); the log then takes nothing more.
    bool write(const std::string& line);
    // Flushes the log to the disk and closes it; false when what it held could not be kept.
    bool close();
    // The platform's text for the last failure of the log's file.
    const std::string& errorText() const { return file.errorText(); }
    // The name it was opened with.
    const std::string& fileName() const { return name; }

  private:
    OutputFile file;
    std::string name;
    bool failed = false;
};
