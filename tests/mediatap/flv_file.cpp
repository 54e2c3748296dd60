#include "flv_file.h"

#include <fstream>
#include <iterator>
#include <vector>

namespace flv_file {

namespace {

using Bytes = std::vector<unsigned char>;

std::uint32_t readBig(const Bytes& data, std::size_t at, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8) | data[at + i];
    }
    return value;
}

void writeBig(Bytes& data, std::size_t at, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        data[at + i] = static_cast<unsigned char>(value & 0xFF);
        value >>= 8;
    }
}

constexpr int audioTag = 8;
constexpr int videoTag = 9;
constexpr std::size_t tagHeader = 11;

}  // namespace

bool rewrite(const std::string& in, const std::string& out, const std::function<bool(MediaTag&)>& edit) {
    std::ifstream input(in, std::ios::binary);
    const Bytes data{std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
    if (data.size() < 13 || data[0] != 'F' || data[1] != 'L' || data[2] != 'V') {
        return false;
    }
    const std::size_t headerSize = readBig(data, 5, 4);
    Bytes result(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(headerSize + 4));
    int videoIndex = 0;
    int audioIndex = 0;
    for (std::size_t at = headerSize + 4; at + tagHeader <= data.size();) {
        const int type = data[at] & 0x1F;
        const std::size_t size = readBig(data, at + 1, 3);
        if (at + tagHeader + size + 4 > data.size()) {
            return false;
        }
        Bytes tag(data.begin() + static_cast<std::ptrdiff_t>(at),
                  data.begin() + static_cast<std::ptrdiff_t>(at + tagHeader + size));
        at += tagHeader + size + 4;
        // Frames: H.264 NAL units (packet type 1 after the frame type byte), AAC raw data (type 1).
        const bool video = type == videoTag && size >= 5 && tag[tagHeader + 1] == 1;
        const bool audio = type == audioTag && size >= 2 && tag[tagHeader + 1] == 1;
        if (video || audio) {
            MediaTag media;
            media.video = video;
            media.index = video ? videoIndex++ : audioIndex++;
            media.key = video && (tag[tagHeader] >> 4) == 1;
            media.time = static_cast<std::int64_t>(readBig(tag, 4, 3) | (std::uint32_t{tag[7]} << 24));
            if (video) {
                media.offset =
                    static_cast<std::int32_t>((readBig(tag, tagHeader + 2, 3) ^ 0x800000u)) - 0x800000;
            }
            if (!edit(media)) {
                continue;
            }
            const auto time = static_cast<std::uint32_t>(media.time);
            writeBig(tag, 4, time & 0xFFFFFF, 3);
            tag[7] = static_cast<unsigned char>(time >> 24);
            if (video) {
                writeBig(tag, tagHeader + 2, static_cast<std::uint32_t>(media.offset) & 0xFFFFFF, 3);
            }
        }
        result.insert(result.end(), tag.begin(), tag.end());
        result.resize(result.size() + 4);
        writeBig(result, result.size() - 4, static_cast<std::uint32_t>(tag.size()), 4);
    }
    std::ofstream output(out, std::ios::binary);
    output.write(reinterpret_cast<const char*>(result.data()), static_cast<std::streamsize>(result.size()));
    return static_cast<bool>(output);
}

}  // namespace flv_file
