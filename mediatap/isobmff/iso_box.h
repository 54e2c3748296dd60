// Reading and writing ISO BMFF boxes (the MP4 family's file structure): a box iterator over a file or a
// block of memory, and big-endian field readers and writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/output_file.h"

namespace isobmff {

constexpr std::uint32_t fourcc(const char (&name)[5]) {
    return (std::uint32_t{static_cast<unsigned char>(name[0])} << 24) |
           (std::uint32_t{static_cast<unsigned char>(name[1])} << 16) |
           (std::uint32_t{static_cast<unsigned char>(name[2])} << 8) |
           std::uint32_t{static_cast<unsigned char>(name[3])};
}

// One box: its four-character type, where it starts, its whole size and the length of its header (8, or
// 16 with a 64-bit size).
struct Box {
    std::uint32_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t headerSize = 0;

    std::uint64_t payload() const { return offset + headerSize; }
    std::uint64_t payloadSize() const { return size - headerSize; }
    std::uint64_t end() const { return offset + size; }
};

// Bytes at absolute offsets: a file, or a block of memory that was read from one at a known offset.
class Bytes {
  public:
    virtual ~Bytes() = default;
    virtual bool read(std::uint64_t offset, void* data, std::size_t size) = 0;
};

// A file read as it is. Given the end of what it may read (bytes that do not change while it is read),
// it reads ahead two of the disk's pages at a time, so that walking the boxes of a fragmented recording (a
// box header, a moof, the header of its mdat, all in one page) costs one read of the file a fragment.
class FileBytes final : public Bytes {
  public:
    explicit FileBytes(RandomAccessFile& source) : file(source) {}
    FileBytes(RandomAccessFile& source, std::uint64_t readableEnd) : file(source), end(readableEnd) {}
    bool read(std::uint64_t offset, void* data, std::size_t size) override;

  private:
    RandomAccessFile& file;
    std::uint64_t end = 0;  // no reading ahead past it; none at all when 0
    std::vector<std::uint8_t> block;
    std::uint64_t blockOffset = 0;
};

class MemoryBytes final : public Bytes {
  public:
    MemoryBytes(const std::vector<std::uint8_t>& block, std::uint64_t blockOffset)
        : data(block), base(blockOffset) {}
    bool read(std::uint64_t offset, void* out, std::size_t size) override;

  private:
    const std::vector<std::uint8_t>& data;
    std::uint64_t base;
};

// The boxes of [begin, end) one after the other. A size of 0 means "to the end". next() gives nothing at
// the end, or at a header that is cut short or whose size does not fit in what is left; failed() tells
// the second case.
class BoxIterator {
  public:
    BoxIterator(Bytes& source, std::uint64_t begin, std::uint64_t end)
        : bytes(source), at(begin), limit(end) {}
    std::optional<Box> next();
    bool failed() const { return broken; }

  private:
    Bytes& bytes;
    std::uint64_t at;
    std::uint64_t limit;
    bool broken = false;
};

// The box's whole content (header included) in memory, when it is at most maxSize bytes.
std::optional<std::vector<std::uint8_t>> readBox(Bytes& source, const Box& box, std::uint64_t maxSize);

// The first child of the given type inside parent.
std::optional<Box> findChild(Bytes& source, const Box& parent, std::uint32_t type);

// Big-endian fields of a box's payload held in memory. A read past the end yields 0 and marks the
// reader as failed.
class FieldReader {
  public:
    FieldReader(const std::vector<std::uint8_t>& block, std::size_t begin, std::size_t end)
        : data(block), at(begin), limit(end) {}
    std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
    std::uint32_t u24() { return static_cast<std::uint32_t>(take(3)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
    std::uint64_t u64() { return take(8); }
    void skip(std::size_t count);
    bool ok() const { return !broken; }
    std::size_t position() const { return at; }

  private:
    std::uint64_t take(std::size_t count);

    const std::vector<std::uint8_t>& data;
    std::size_t at;
    std::size_t limit;
    bool broken = false;
};

// The fields of box's payload, in a block read from the file at blockOffset that holds the whole box.
FieldReader payloadReader(const std::vector<std::uint8_t>& block, std::uint64_t blockOffset, const Box& box);

// Big-endian fields appended to a block of memory, with box headers whose size is patched once their
// children are written. A reserved stretch (a hole) stands for bytes written elsewhere later: it counts in
// the sizes and offsets but is not held.
class FieldWriter {
  public:
    struct Hole {
        std::size_t index;     // where in the block it falls
        std::uint64_t offset;  // where in the whole
        std::uint64_t size;
    };

    void u8(std::uint32_t value) { put(value, 1); }
    void u16(std::uint32_t value) { put(value, 2); }
    void u24(std::uint32_t value) { put(value, 3); }
    void u32(std::uint32_t value) { put(value, 4); }
    void u64(std::uint64_t value) { put(value, 8); }
    void bytes(const std::uint8_t* data, std::size_t size) { block.insert(block.end(), data, data + size); }
    // Opens a box (32-bit size) and returns where it starts; close() writes its size.
    struct Mark {
        std::size_t index;
        std::uint64_t offset;
    };
    Mark open(std::uint32_t type);
    // False when the box came out larger than a 32-bit size holds.
    bool close(const Mark& start);
    // A full box: version and flags after the header.
    Mark openFull(std::uint32_t type, std::uint32_t version, std::uint32_t flags);
    // Leaves a hole of the given size and returns it.
    Hole reserve(std::uint64_t size);

    const std::vector<std::uint8_t>& data() const { return block; }
    const std::vector<Hole>& holes() const { return reserved; }
    // The whole length, holes included.
    std::uint64_t size() const { return block.size() + holeBytes; }

  private:
    void put(std::uint64_t value, int bytes);

    std::vector<std::uint8_t> block;
    std::vector<Hole> reserved;
    std::uint64_t holeBytes = 0;
};

// "moov" for fourcc("moov"), for messages and tests.
std::string typeName(std::uint32_t type);

}  // namespace isobmff
