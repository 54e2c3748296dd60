// Where a media writer's muxer writes. A file name gets an I/O context of the tool's own over an
// OutputFile, which can hand everything to the system at any moment, flush it to the disk and be read
// back by a finishing step. Any other address (a protocol FFmpeg writes to) gets FFmpeg's own I/O, as
// before. A trial of the muxer writes to a context that takes everything and keeps nothing.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/output_file.h"

extern "C" {
#include <libavformat/avio.h>
}

class OutputIo {
  public:
    OutputIo() = default;
    ~OutputIo();
    OutputIo(const OutputIo&) = delete;
    OutputIo& operator=(const OutputIo&) = delete;

    // True when the name is a file of this machine, which the tool writes itself.
    static bool isFile(const std::string& name);

    // Creates the output for writing. The interrupt callback is asked before every write, as FFmpeg's
    // own file I/O asks it; an answer of 1 fails the write. False on failure, with failureText().
    bool open(const std::string& name, const AVIOInterruptCB& interrupt);
    // Whether open could create the output, found out without creating or changing anything (only a
    // file can be checked; any other address passes). False with the reason.
    static bool checkOpen(const std::string& name, std::string& reason);
    // A seekable context that takes every write and keeps nothing, for a trial header.
    bool openDiscarding();

    // For a recording in movie fragments, from its first byte on: a moof that would cross a boundary of
    // the disk's 4 KiB pages, with the header of its mdat, is moved to the next page behind a free box.
    // A power cut keeps or loses a page as a whole, so a fragment's header is either all there or not at
    // all, and a reader never finds the file's end inside one. The muxer's offsets are its own: they
    // leave out that free space. Nothing for FFmpeg's own I/O or a discarding context.
    //
    // The muxer then hands its writes over one by one, and the output gathers them: a fragment's
    // header, with the size fields the muxer goes back to fill in, reaches the file in one piece, and
    // a fragment's media data goes to the file from the muxer's own buffer, not through a copy in the
    // context's.
    void keepFragmentHeadersInPages();

    AVIOContext* context() const { return io; }
    // The file under the context; null for FFmpeg's own I/O.
    OutputFile* file() const { return own.get(); }

    // Hands everything written so far to the system. False when that fails.
    bool handOver();
    // Flushes the file to the disk (nothing for FFmpeg's own I/O).
    bool sync();
    // Hands over what is left and releases the context; the file stays open for a finishing step. False
    // when something written could not be handed over.
    bool releaseContext();
    // Releases the context (when that was not done) and closes the file, flushed to the disk. False when
    // something written could not be kept.
    bool close();

    // After a failure of the file: drops what the context still buffers and closes the file, keeping on
    // disk what it holds, without a word about what fails on the way. After a failed flush to the disk,
    // what was written since the last one that succeeded may be lost anywhere: the file is cut back to
    // what that one kept.
    void abandon(bool keepSyncedOnly);

    // Why the last failure failed, when the output knows it: the platform's text of a failed file
    // operation, or FFmpeg's of a failed open of its own I/O. Empty otherwise.
    std::string failureText() const;
    // The bytes written to the output so far, those still buffered included.
    std::uint64_t bytesWritten() const;

  private:
    static int writeCallback(void* opaque, std::uint8_t* data, int size);
    static int discardCallback(void* opaque, std::uint8_t* data, int size);
    static std::int64_t seekCallback(void* opaque, std::int64_t offset, int whence);
    bool allocateContext(int (*write)(void*, std::uint8_t*, int));
    int gather(const std::uint8_t* data, std::size_t size);
    int writeGathered();
    int moveTo(std::uint64_t offset);
    int writeFile(const std::uint8_t* data, std::size_t size);
    bool writeOut(const std::uint8_t* data, std::size_t size);
    bool writeRun();
    bool placeBox(const std::uint8_t* header, std::size_t available);

    std::unique_ptr<OutputFile> own;
    AVIOContext* io = nullptr;
    bool ownContext = false;  // io is the tool's own (over own, or discarding), not FFmpeg's
    std::string openFailure;  // why open failed
    AVIOInterruptCB interruptCallback{};
    std::uint64_t position = 0;  // of the next write into own
    std::uint64_t length = 0;    // of what was written into own
    std::uint64_t synced = 0;    // length at the last flush to the disk
    // Of a write in parts: the parts taken and not yet written, which end at position.
    const std::uint8_t* runData = nullptr;
    std::size_t runSize = 0;
    // Fragment headers kept in pages: where the next top-level box starts in the file (none once the
    // writes are no longer followed box by box), the free space put in so far (the muxer's offsets are
    // the file's less this), and the muxer's offset after the last of it.
    std::optional<std::uint64_t> nextBox;
    std::uint64_t padding = 0;
    std::uint64_t paddedUpTo = 0;
    // Writes gathered from the muxer (in its offsets): the next one's offset, and what waits for the
    // file from gatheredAt on.
    bool gathering = false;
    std::uint64_t cursor = 0;
    std::uint64_t gatheredAt = 0;
    std::vector<std::uint8_t> gathered;
};
