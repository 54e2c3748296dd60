// Packet log files of trsn.mediatap: one fixed-layout text line per packet passed on.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

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

// One log: closed unless opened. Opening creates or truncates the file (text mode, shared access).
class PacketLog {
  public:
    bool open(const std::string& fileName);
    bool isOpen() const { return stream.is_open(); }
    // Writes and flushes the line when the log is open. False when the line did not reach the file (a
    // full disk, for example); the log then takes nothing more.
    bool write(const std::string& line);
    // Closes the log; false when what it held could not be written out.
    bool close();

  private:
    std::ofstream stream;
};
