#include "isobmff/iso_box.h"

#include <algorithm>
#include <cstring>

namespace isobmff {

bool FileBytes::read(std::uint64_t offset, void* data, std::size_t size) {
    constexpr std::uint64_t page = 4096;
    constexpr std::uint64_t blockSize = 2 * page;
    const auto cached = [&] {
        return offset >= blockOffset && offset - blockOffset <= block.size() &&
               block.size() - (offset - blockOffset) >= size;
    };
    if (!cached()) {
        if (offset >= end || size > page || end - offset < size) {
            return file.readAt(offset, data, size);
        }
        const std::uint64_t start = offset - offset % page;
        block.resize(static_cast<std::size_t>(std::min(blockSize, end - start)));
        blockOffset = start;
        if (!file.readAt(start, block.data(), block.size())) {
            block.clear();
            return false;
        }
    }
    std::memcpy(data, block.data() + (offset - blockOffset), size);
    return true;
}

bool MemoryBytes::read(std::uint64_t offset, void* out, std::size_t size) {
    if (offset < base || offset - base > data.size() || data.size() - (offset - base) < size) {
        return false;
    }
    std::memcpy(out, data.data() + (offset - base), size);
    return true;
}

namespace {

std::uint64_t bigEndian(const std::uint8_t* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

}  // namespace

std::optional<Box> BoxIterator::next() {
    if (broken || at >= limit) {
        return std::nullopt;
    }
    const std::uint64_t left = limit - at;
    std::uint8_t header[16];
    if (left < 8 || !bytes.read(at, header, 8)) {
        broken = true;
        return std::nullopt;
    }
    Box box;
    box.offset = at;
    box.type = static_cast<std::uint32_t>(bigEndian(header + 4, 4));
    box.size = bigEndian(header, 4);
    box.headerSize = 8;
    if (box.size == 1) {
        if (left < 16 || !bytes.read(at + 8, header + 8, 8)) {
            broken = true;
            return std::nullopt;
        }
        box.size = bigEndian(header + 8, 8);
        box.headerSize = 16;
    } else if (box.size == 0) {
        box.size = left;
    }
    if (box.size < box.headerSize || box.size > left) {
        broken = true;
        return std::nullopt;
    }
    at += box.size;
    return box;
}

std::optional<std::vector<std::uint8_t>> readBox(Bytes& source, const Box& box, std::uint64_t maxSize) {
    if (box.size > maxSize) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> block(static_cast<std::size_t>(box.size));
    if (!source.read(box.offset, block.data(), block.size())) {
        return std::nullopt;
    }
    return block;
}

std::optional<Box> findChild(Bytes& source, const Box& parent, std::uint32_t type) {
    BoxIterator children(source, parent.payload(), parent.end());
    while (const std::optional<Box> child = children.next()) {
        if (child->type == type) {
            return child;
        }
    }
    return std::nullopt;
}

void FieldReader::skip(std::size_t count) {
    if (limit - at < count) {
        broken = true;
        at = limit;
        return;
    }
    at += count;
}

std::uint64_t FieldReader::take(std::size_t count) {
    if (limit - at < count) {
        broken = true;
        at = limit;
        return 0;
    }
    const std::uint64_t value = bigEndian(data.data() + at, static_cast<int>(count));
    at += count;
    return value;
}

void FieldWriter::put(std::uint64_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) {
        block.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

FieldWriter::Mark FieldWriter::open(std::uint32_t type) {
    const Mark start{block.size(), size()};
    u32(0);
    u32(type);
    return start;
}

FieldWriter::Mark FieldWriter::openFull(std::uint32_t type, std::uint32_t version, std::uint32_t flags) {
    const Mark start = open(type);
    u8(version);
    u24(flags);
    return start;
}

bool FieldWriter::close(const Mark& start) {
    const std::uint64_t length = size() - start.offset;
    if (length > 0xFFFFFFFFu) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        block[start.index + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    }
    return true;
}

FieldWriter::Hole FieldWriter::reserve(std::uint64_t length) {
    const Hole hole{block.size(), size(), length};
    reserved.push_back(hole);
    holeBytes += length;
    return hole;
}

std::string typeName(std::uint32_t type) {
    std::string name(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((type >> (24 - 8 * i)) & 0xFF);
        name[static_cast<std::size_t>(i)] = (c >= 32 && c < 127) ? c : '?';
    }
    return name;
}

FieldReader payloadReader(const std::vector<std::uint8_t>& block, std::uint64_t blockOffset, const Box& box) {
    return FieldReader(block, static_cast<std::size_t>(box.payload() - blockOffset),
                       static_cast<std::size_t>(box.end() - blockOffset));
}

}  // namespace isobmff
