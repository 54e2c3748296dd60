#include "packet_log.h"

#include "driver.h"

#include <charconv>
#include <iterator>
#include <string_view>

namespace {

// Text of a number, right-aligned in at least width characters, padded on the left with fill; a longer
// text is written in full. Formatting works on a local buffer, so no state carries over between lines.
template <typename Number>
void appendPadded(std::string& out, Number value, std::size_t width, char fill) {
    char digits[24];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
    const auto length = static_cast<std::size_t>(end - digits);
    if (length < width) {
        out.append(width - length, fill);
    }
    out.append(digits, length);
}

// Fixed-point notation with two decimals, as "%.2f" writes it, right-aligned in at least width.
void appendSeconds(std::string& out, double seconds, std::size_t width) {
    char digits[400];  // room for the largest double in fixed notation
    const auto result =
        std::to_chars(std::begin(digits), std::end(digits), seconds, std::chars_format::fixed, 2);
    const std::string_view text(digits, static_cast<std::size_t>(result.ptr - digits));
    if (text.size() < width) {
        out.append(width - text.size(), ' ');
    }
    out.append(text);
}

}  // namespace

std::string composePacketLine(const PacketLine& line) {
    std::string out;
    out.reserve(192);
    out += line.video ? "V packet_id=" : "A packet_id=";
    appendPadded(out, line.id, 20, '0');
    out += line.video ? (line.key ? "   key=1" : "   key=0") : "        ";
    out += "   at=";
    appendSeconds(out, line.time, 16);
    out += "   pts=";
    appendPadded(out, line.pts, 10, ' ');
    out += "   dts=";
    appendPadded(out, line.dts, 10, ' ');
    out += "   orpts=";
    appendPadded(out, line.originalPts, 10, ' ');
    out += "   ordts=";
    appendPadded(out, line.originalDts, 10, ' ');
    out += "   dur=";
    appendPadded(out, line.duration, 5, ' ');
    out += "   size=";
    appendPadded(out, line.size, 0, ' ');
    out += '\n';
    return out;
}

bool PacketLog::open(const std::string& fileName) {
    stream.open(pathFromUtf8(fileName), std::ios::out | std::ios::trunc);
    return stream.is_open();
}

bool PacketLog::write(const std::string& line) {
    if (!stream.is_open()) {
        return true;
    }
    if (stream.good()) {
        stream.write(line.data(), static_cast<std::streamsize>(line.size()));
        stream.flush();
    }
    return stream.good();
}

bool PacketLog::close() {
    if (!stream.is_open()) {
        return true;
    }
    const bool written = stream.good();
    stream.close();
    return written && !stream.fail();
}
