#include "packet_log.h"

#include <iomanip>
#include <sstream>

std::string composePacketLine(const PacketLine& line) {
    std::ostringstream out;  // fresh per line: no formatting state carries over
    out << (line.video ? "V packet_id=" : "A packet_id=") << std::setfill('0') << std::setw(20) << line.id
        << std::setfill(' ');
    if (line.video) {
        out << "   key=" << (line.key ? 1 : 0);
    } else {
        out << "        ";
    }
    out << "   at=" << std::setw(16) << std::fixed << std::setprecision(2) << line.time << "   pts=" << std::setw(10)
        << line.pts << "   dts=" << std::setw(10) << line.dts << "   orpts=" << std::setw(10) << line.originalPts
        << "   ordts=" << std::setw(10) << line.originalDts << "   dur=" << std::setw(5) << line.duration
        << "   size=" << line.size << '\n';
    return out.str();
}

bool PacketLog::open(const std::string& fileName) {
    stream.open(fileName, std::ios::out | std::ios::trunc);
    return stream.is_open();
}

void PacketLog::write(const std::string& line) {
    if (stream.is_open()) {
        stream << line;
        stream.flush();
    }
}
