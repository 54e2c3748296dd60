// The platform layer under the media writer's files and the packet logs: one file opened for writing and
// reading back, with positioned and sequential writes, positioned reads, its size, truncation and a flush
// to the disk, and a check that a file could be created that changes nothing. One implementation file per
// platform. A failed call keeps the platform's own text for it ("No space left on device").
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

// Positioned access to a file, as the finishing step of an MP4 file uses it. Every call either does all
// it was asked or fails.
class RandomAccessFile {
  public:
    virtual ~RandomAccessFile() = default;
    // Reads exactly size bytes at offset; false at the end of the file or on an error.
    virtual bool readAt(std::uint64_t offset, void* data, std::size_t size) = 0;
    // Writes all size bytes at offset, growing the file when needed.
    virtual bool writeAt(std::uint64_t offset, const void* data, std::size_t size) = 0;
    virtual std::optional<std::uint64_t> size() = 0;
    virtual bool truncate(std::uint64_t size) = 0;
    // Hands what was written to the disk itself. A file that cannot be flushed that way (a device) counts
    // as flushed.
    virtual bool sync() = 0;
};

#if defined(_WIN32)
// FormatMessage's text for a system error code, without its line end.
std::string systemErrorText(unsigned long code);
#endif

class OutputFile final : public RandomAccessFile {
  public:
    OutputFile() = default;
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile(OutputFile&& other) noexcept : handle(other.handle), lastError(std::move(other.lastError)) {
        other.handle = -1;
    }

    enum class Access { readWrite, writeOnly };

    // Creates the file, or empties an existing one, for reading and writing (or for writing only); the
    // name is UTF-8. Other programs may read and write it meanwhile.
    bool create(const std::string& name, Access access = Access::readWrite);
    // Whether create could make the file, found out without creating or changing one: an existing file
    // must open as create would open it (it is closed again untouched; a pipe or a device is not opened
    // at all), a new one needs an existing folder that can be written. False with the platform's text for
    // what stands in the way.
    static bool checkCreate(const std::string& name, Access access, std::string& reason);
    // Opens an existing file for reading and writing, as it is.
    bool open(const std::string& name);
    bool isOpen() const;

    bool readAt(std::uint64_t offset, void* data, std::size_t size) override;
    bool writeAt(std::uint64_t offset, const void* data, std::size_t size) override;
    // Writes all size bytes after what the sequential writes wrote before: this suits a pipe or a
    // terminal too.
    bool write(const void* data, std::size_t size);
    std::optional<std::uint64_t> size() override;
    bool truncate(std::uint64_t size) override;
    bool sync() override;
    // Closes the file; false when the system reports that what was written could not be kept.
    bool close();

    // The platform's text for the last failure of this file.
    const std::string& errorText() const { return lastError; }

  private:
    void fail();

    std::intptr_t handle = -1;  // a descriptor, or a HANDLE on Windows
    std::string lastError;
};
