#include "packet_log.h"

#include <charconv>
#include <iterator>

namespace {

// A number as std::to_chars writes it with the given format, right-aligned in at least width characters
// and padded on the left with fill; a longer text is written in full. Formatting works on a local
// buffer, so no state carries over between lines.
template <typename Number, typename... Format>
void appendNumber(std::string& out, std::size_t width, char fill, Number value, Format... format) {
    char digits[400];  // room for the largest double in fixed notation
    const auto end = std::to_chars(std::begin(digits), std::end(digits), value, format...).ptr;
    const auto length = static_cast<std::size_t>(end - digits);
    if (length < width) {
        out.append(width - length, fill);
    }
    out.append(digits, length);
}

}  // namespace

std::string composePacketLine(const PacketLine& line) {
    std::string out;
    out.reserve(192);
    out += line.video ? "V packet_id=" : "A packet_id=";
    appendNumber(out, 20, '0', line.id);
    out += line.video ? (line.key ? "   key=1" : "   key=0") : "        ";
    out += "   at=";
    appendNumber(out, 16, ' ', line.time, std::chars_format::fixed, 2);  // as "%.2f" writes it
    // The timestamps, duration and size: label, value as a 64-bit decimal, minimum width.
    const struct {
        const char* label;
        std::int64_t value;
        std::size_t width;
    } numbers[] = {{"   pts=", line.pts, 10},           {"   dts=", line.dts, 10},
                   {"   orpts=", line.originalPts, 10}, {"   ordts=", line.originalDts, 10},
                   {"   dur=", line.duration, 5},       {"   size=", line.size, 0}};
    for (const auto& number : numbers) {
        out += number.label;
        appendNumber(out, number.width, ' ', number.value);
    }
    out += '\n';
    return out;
}

bool PacketLog::open(const std::string& fileName) {
    name = fileName;
    failed = false;
    return file.create(fileName, OutputFile::Access::writeOnly);
}

bool PacketLog::checkOpen(const std::string& fileName, std::string& reason) {
    return OutputFile::checkCreate(fileName, OutputFile::Access::writeOnly, reason);
}

bool PacketLog::write(const std::string& line) {
    if (!file.isOpen()) {
        return true;
    }
    if (failed) {
        return false;
    }
#if defined(_WIN32)
    std::string text;
    text.reserve(line.size() + 2);
    for (const char c : line) {
        if (c == '\n') {
            text += '\r';
        }
        text += c;
    }
#else
    const std::string& text = line;
#endif
    failed = !file.write(text.data(), text.size());
    return !failed;
}

bool PacketLog::close() {
    if (!file.isOpen()) {
        return true;
    }
    if (failed) {
        file.close();
        return false;
    }
    // Flushed to the disk, so that a write-back error of any line is told here.
    const bool synced = file.sync();
    return file.close() && synced;
}
