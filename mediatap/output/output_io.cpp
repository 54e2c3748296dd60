#include "output/output_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "diagnostics/failure_cause.h"
#include "diagnostics/io_context.h"

extern "C" {
#include <libavutil/error.h>
}

namespace {

// FFmpeg's own file I/O buffers this much and writes it out at its flush points only once it is full;
// the writer hands over what is buffered when it needs to.
constexpr int bufferSize = 262144;

}  // namespace

OutputIo::~OutputIo() {
    close();
}

bool OutputIo::isFile(const std::string& name) {
    const char* protocol = avio_find_protocol_name(name.c_str());
    return protocol != nullptr && std::strcmp(protocol, "file") == 0;
}

namespace {

// FFmpeg's file protocol takes the name with or without its "file:" prefix.
std::string pathOf(const std::string& name) {
    return name.rfind("file:", 0) == 0 ? name.substr(5) : name;
}

}  // namespace

bool OutputIo::open(const std::string& name, const AVIOInterruptCB& interrupt) {
    interruptCallback = interrupt;
    if (!isFile(name)) {
        const int result = avio_open2(&io, name.c_str(), AVIO_FLAG_WRITE, &interruptCallback, nullptr);
        if (result < 0) {
            openFailure = ffmpegErrorText(result);
        }
        return result >= 0;
    }
    own = std::make_unique<OutputFile>();
    if (!own->create(pathOf(name))) {
        openFailure = own->errorText();
        own.reset();
        return false;
    }
    if (!allocateContext(writeCallback)) {
        own.reset();
        openFailure = ffmpegErrorText(AVERROR(ENOMEM));
        return false;
    }
    return true;
}

bool OutputIo::checkOpen(const std::string& name, std::string& reason) {
    return !isFile(name) || OutputFile::checkCreate(pathOf(name), OutputFile::Access::readWrite, reason);
}

bool OutputIo::openDiscarding() {
    return allocateContext(discardCallback);
}

bool OutputIo::allocateContext(int (*write)(void*, std::uint8_t*, int)) {
    io = allocateIoContext(bufferSize, true, this, nullptr, write, seekCallback);
    if (io == nullptr) {
        return false;
    }
    io->min_packet_size = bufferSize;
    io->max_packet_size = bufferSize;
    ownContext = true;
    return true;
}

int OutputIo::writeCallback(void* opaque, std::uint8_t* data, int size) {
    auto* self = static_cast<OutputIo*>(opaque);
    if (size <= 0) {
        return 0;
    }
    const int result = self->gathering ? self->gather(data, static_cast<std::size_t>(size))
                                       : self->writeFile(data, static_cast<std::size_t>(size));
    return result < 0 ? result : size;
}

namespace {

// A muxer's write this large is media data, which goes to the file as it is; smaller ones are gathered
// up to the limit.
constexpr std::size_t passedThrough = 32768;
constexpr std::size_t gatherLimit = 1u << 20;

}  // namespace

int OutputIo::gather(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t gatheredEnd = gatheredAt + gathered.size();
    if (size >= passedThrough && (gathered.empty() || cursor == gatheredEnd)) {
        int result = writeGathered();
        if (result >= 0) {
            result = moveTo(cursor);
        }
        if (result >= 0) {
            result = writeFile(data, size);
        }
        cursor += size;
        return result;
    }
    if (gathered.empty() || cursor < gatheredAt || cursor > gatheredEnd ||
        gathered.size() + size > gatherLimit) {
        if (const int result = writeGathered(); result < 0) {
            return result;
        }
        gatheredAt = cursor;
    }
    const auto at = static_cast<std::size_t>(cursor - gatheredAt);
    if (at + size > gathered.size()) {
        gathered.resize(at + size);
    }
    std::memcpy(gathered.data() + at, data, size);
    cursor += size;
    return 0;
}

// What was gathered, to the file.
int OutputIo::writeGathered() {
    if (gathered.empty()) {
        return 0;
    }
    int result = moveTo(gatheredAt);
    if (result >= 0) {
        result = writeFile(gathered.data(), gathered.size());
    }
    gathered.clear();
    return result;
}

// Moves the file's position to the muxer's offset. The muxer's offsets leave out the free space put
// before its moofs; it never goes back past any.
int OutputIo::moveTo(std::uint64_t offset) {
    if (offset < paddedUpTo) {
        return AVERROR(EINVAL);
    }
    const std::uint64_t target = offset + padding;
    if (target != position) {
        nextBox.reset();  // the writes that follow are no longer box by box
    }
    position = target;
    return 0;
}

// One write into the file at its position, as the muxer means it: asked of the interrupt callback first,
// as FFmpeg's own file I/O asks it, and with free space before a moof when it must keep its page.
int OutputIo::writeFile(const std::uint8_t* data, std::size_t total) {
    const AVIOInterruptCB& interrupt = interruptCallback;
    if (interrupt.callback != nullptr && interrupt.callback(interrupt.opaque) != 0) {
        return AVERROR_EXIT;
    }
    std::size_t done = 0;
    while (done < total) {
        std::size_t part = total - done;
        if (nextBox && *nextBox == position && !placeBox(data + done, total - done)) {
            return AVERROR(EIO);
        }
        if (nextBox && *nextBox > position) {
            part = static_cast<std::size_t>(std::min<std::uint64_t>(part, *nextBox - position));
        }
        if (!writeOut(data + done, part)) {
            return AVERROR(EIO);
        }
        done += part;
    }
    return writeRun() ? 0 : AVERROR(EIO);
}

// Parts of one write that follow each other in memory and in the file go to the file as one run.
bool OutputIo::writeOut(const std::uint8_t* data, std::size_t size) {
    if (runSize > 0 && data != runData + runSize && !writeRun()) {
        return false;
    }
    if (runSize == 0) {
        runData = data;
    }
    runSize += size;
    position += size;
    length = std::max(length, position);
    return true;
}

// The run, at the file's position less its size.
bool OutputIo::writeRun() {
    const std::size_t size = runSize;
    runSize = 0;
    return size == 0 || own->writeAt(position - size, runData, size);
}

void OutputIo::keepFragmentHeadersInPages() {
    if (own != nullptr && io != nullptr) {
        nextBox = position;
        gathering = true;
        cursor = position - padding;
        io->direct = 1;
    }
}

// A top-level box starts at the position, its header at the start of what is being written: a moof
// whose header with its mdat's would cross a page boundary gets a free box before it, which fills its
// page. The box's size says where the next one starts. A header cut off by the end of the write, or one
// without a size of its own, ends the following of boxes (the muxer hands over whole fragments, so
// neither is seen). False when the free box could not be written.
bool OutputIo::placeBox(const std::uint8_t* header, std::size_t available) {
    constexpr std::uint64_t page = 4096;
    constexpr std::uint64_t mdatHeader = 16;  // with a 64-bit size
    constexpr std::uint64_t freeHeader = 8;
    const auto u32 = [header](std::size_t at) {
        return static_cast<std::uint32_t>(header[at]) << 24 |
               static_cast<std::uint32_t>(header[at + 1]) << 16 |
               static_cast<std::uint32_t>(header[at + 2]) << 8 | header[at + 3];
    };
    std::uint64_t size = available >= 8 ? u32(0) : 0;
    if (size == 1) {
        size = available >= 16 ? static_cast<std::uint64_t>(u32(8)) << 32 | u32(12) : 0;
    }
    if (size < 8) {
        nextBox.reset();
        return true;
    }
    const bool moof = std::memcmp(header + 4, "moof", 4) == 0;
    const std::uint64_t within = position % page;
    if (moof && size + mdatHeader <= page && within + size + mdatHeader > page) {
        std::uint64_t space = page - within;
        space += space < freeHeader ? page : 0;
        std::vector<std::uint8_t> box(static_cast<std::size_t>(space), 0);
        for (int i = 0; i < 4; ++i) {
            box[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(space >> (24 - 8 * i));
        }
        std::memcpy(box.data() + 4, "free", 4);
        if (!writeRun() || !writeOut(box.data(), box.size()) || !writeRun()) {
            return false;
        }
        padding += space;
        paddedUpTo = position - padding;
    }
    nextBox = position + size;
    return true;
}

int OutputIo::discardCallback(void* opaque, std::uint8_t*, int size) {
    auto* self = static_cast<OutputIo*>(opaque);
    if (size > 0) {
        self->position += static_cast<std::uint64_t>(size);
        self->length = std::max(self->length, self->position);
    }
    return size;
}

std::int64_t OutputIo::seekCallback(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<OutputIo*>(opaque);
    std::uint64_t size = self->length - self->padding;
    if (self->gathering && !self->gathered.empty()) {
        size = std::max<std::uint64_t>(size, self->gatheredAt + self->gathered.size());
    }
    const auto known = static_cast<std::int64_t>(size);
    const std::uint64_t current = self->gathering ? self->cursor : self->position - self->padding;
    switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE:
            return known;
        case SEEK_SET:
            break;
        case SEEK_CUR:
            offset += static_cast<std::int64_t>(current);
            break;
        case SEEK_END:
            offset += known;
            break;
        default:
            return AVERROR(EINVAL);
    }
    if (offset < static_cast<std::int64_t>(self->paddedUpTo)) {
        return AVERROR(EINVAL);
    }
    if (self->gathering) {
        self->cursor = static_cast<std::uint64_t>(offset);
        return offset;
    }
    self->moveTo(static_cast<std::uint64_t>(offset));
    return offset;
}

bool OutputIo::handOver() {
    if (io == nullptr) {
        return false;
    }
    avio_flush(io);
    if (io->error >= 0) {
        if (const int result = writeGathered(); result < 0) {
            io->error = result;
        }
    }
    return io->error >= 0;
}

bool OutputIo::sync() {
    if (own == nullptr) {
        return true;
    }
    if (writeGathered() < 0) {
        return false;
    }
    const std::uint64_t written = length;
    if (!own->sync()) {
        return false;
    }
    synced = written;
    return true;
}

bool OutputIo::releaseContext() {
    if (io == nullptr) {
        return true;
    }
    if (!ownContext) {
        return avio_closep(&io) >= 0;
    }
    avio_flush(io);
    const bool handed = io->error >= 0 && writeGathered() >= 0;
    gathering = false;
    freeIoContext(io);
    return handed;
}

bool OutputIo::close() {
    bool kept = releaseContext();
    if (own != nullptr) {
        kept = own->sync() && kept;
        kept = own->close() && kept;
        own.reset();
    }
    return kept;
}

void OutputIo::abandon(bool keepSyncedOnly) {
    gathered.clear();
    gathering = false;
    if (io != nullptr && ownContext) {
        freeIoContext(io);
    } else if (io != nullptr) {
        avio_closep(&io);
    }
    if (own != nullptr) {
        if (keepSyncedOnly) {
            own->truncate(synced);
        }
        own->sync();
        own->close();
        own.reset();
    }
}

std::string OutputIo::failureText() const {
    if (own != nullptr && !own->errorText().empty()) {
        return own->errorText();
    }
    return openFailure;
}

std::uint64_t OutputIo::bytesWritten() const {
    if (io == nullptr) {
        return length;
    }
    const std::int64_t at = avio_tell(io);
    return std::max(length, at > 0 ? static_cast<std::uint64_t>(at) + padding : 0);
}
