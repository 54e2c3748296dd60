// fault_fs: a FUSE file system for the tests that passes everything through to a real folder and, on
// command, fails and forgets as real disks do.
//
//   fault_fs FOLDER MOUNTPOINT
//
// Prints "READY" once mounted, and runs until it is unmounted or gets SIGTERM (a clean shutdown: what is
// cached reaches the folder). Every write is kept in a cache of 4 KiB pages, as a kernel's page cache
// keeps it, and reaches the folder only when its file is synced (fsync); creating, removing and
// renaming files, and emptying one as it is opened, reach the folder at once. The file ".faultfs" at the
// root, not listed, takes one command per write; reading it gives counters, "writes PATH N", "fsyncs PATH
// N" and "reads PATH N", one a line. PATH is a file's path under the mount point, with its leading "/".
//
//   fail-write PATH [after-sync OTHER | after-read]
//                       the next write of PATH fails with EIO; with after-sync, the next one after the
//                       next sync of OTHER; with after-read, the next one after PATH was read
//   fail-fsync PATH [after-sync OTHER]
//                       the next sync of PATH fails with EIO, and what it would have written is lost to
//                       the disk, as the kernel loses a failed write-back
//   enospc on|off [after-sync OTHER]
//                       every write fails with ENOSPC while on; with after-sync, from the next sync of
//                       OTHER on
//   cut [SEED PERCENT]  cuts the power: the cache is thrown away, or with a seed, each cached page is
//                       kept with the chance PERCENT/100 (and a pending truncation with a chance of one
//                       half); what the folder then holds is what the disk would hold
//   record PATH DIR TORN SEED
//                       before every sync of PATH, writes to DIR what a power cut at that moment would
//                       leave: NNN.synced (the file as last synced, NNN the number of the sync about to
//                       be made), NNN.torn-K for K = 1..TORN (that with a random part of the cached pages
//                       on top), and NNN.sizes ("PATH SIZE" for every cached file: how long it then was)
#define FUSE_USE_VERSION 31
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t pageSize = 4096;
constexpr const char* controlPath = "/.faultfs";

// A fault that waits for its moment.
struct Fault {
    bool armed = false;
    std::string afterSyncOf;  // armed once this file was synced
    bool afterRead = false;   // armed once the file itself was read
};

struct Page {
    std::vector<char> bytes = std::vector<char>(pageSize, 0);
    bool dirty = false;
};

// What the file system knows of a file beyond the folder: its cached pages, its length as written, and
// how much of the folder's copy still holds what reads should see.
struct FileState {
    std::map<std::uint64_t, Page> pages;
    std::uint64_t size = 0;
    std::uint64_t backingValid = 0;  // bytes of the folder's copy that reads still use
    bool cached = false;             // size and backingValid are known
    Fault failWrite;
    Fault failFsync;
    std::uint64_t writes = 0;
    std::uint64_t fsyncs = 0;
    std::uint64_t reads = 0;
    std::string recordDir;
    int recordTorn = 0;
    std::mt19937_64 recordRandom;
};

struct FileSystem {
    std::string root;
    std::map<std::string, FileState> files;
    Fault noSpace;
    std::string lastAnswer;
};

FileSystem* fsOf() {
    return static_cast<FileSystem*>(fuse_get_context()->private_data);
}

std::string backing(const char* path) {
    return fsOf()->root + path;
}

int fail() {
    return -errno;
}

// The file's state with its length known, from the folder's copy when nothing is cached yet.
FileState& stateOf(const std::string& path) {
    FileState& state = fsOf()->files[path];
    if (!state.cached) {
        struct stat info {};
        const std::uint64_t length =
            ::stat(backing(path.c_str()).c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
        state.size = length;
        state.backingValid = length;
        state.cached = true;
    }
    return state;
}

bool readBacking(int fd, std::uint64_t valid, std::uint64_t offset, char* out, std::size_t size) {
    std::memset(out, 0, size);
    if (offset >= valid) {
        return true;
    }
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(size, valid - offset));
    std::size_t done = 0;
    while (done < wanted) {
        const ssize_t got = ::pread(fd, out + done, wanted - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// The page at index, from the cache or else read from the folder's copy into it.
Page* pageOf(FileState& state, const std::string& path, std::uint64_t index) {
    auto found = state.pages.find(index);
    if (found != state.pages.end()) {
        return &found->second;
    }
    Page page;
    const int fd = ::open(backing(path.c_str()).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const bool read = readBacking(fd, state.backingValid, index * pageSize, page.bytes.data(), pageSize);
        ::close(fd);
        if (!read) {
            return nullptr;
        }
    }
    return &state.pages.emplace(index, std::move(page)).first->second;
}

bool writeAll(int fd, const char* data, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t done = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (done <= 0) {
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
        offset += static_cast<std::uint64_t>(done);
    }
    return true;
}

// Writes the dirty pages that keep() chooses into fd, over the file as last synced; the length grows
// over the pages kept and, when truncate says so, becomes the length as written.
template <typename Keep>
bool persist(const FileState& state, int fd, std::uint64_t syncedSize, Keep keep, bool truncate) {
    std::uint64_t length = syncedSize;
    for (const auto& [index, page] : state.pages) {
        const std::uint64_t at = index * pageSize;
        if (!page.dirty || at >= state.size || !keep()) {
            continue;
        }
        const std::uint64_t bytes = std::min(pageSize, state.size - at);
        if (!writeAll(fd, page.bytes.data(), static_cast<std::size_t>(bytes), at)) {
            return false;
        }
        length = std::max(length, at + bytes);
    }
    if (truncate) {
        length = state.size;
    } else if (length < syncedSize) {
        length = syncedSize;
    }
    return ::ftruncate(fd, static_cast<off_t>(length)) == 0;
}

std::uint64_t fileSize(const std::string& name) {
    struct stat info {};
    return ::stat(name.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

bool copyFile(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    std::vector<char> buffer(1 << 20);
    std::uint64_t at = 0;
    while (ok) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = writeAll(out, buffer.data(), static_cast<std::size_t>(got), at);
        at += static_cast<std::uint64_t>(got);
    }
    if (in >= 0) {
        ::close(in);
    }
    if (out >= 0) {
        ::close(out);
    }
    return ok;
}

// What a power cut at this moment would leave of the file: as last synced, and with a random part of
// what is cached on top. Written beside it into the recording folder.
void recordStates(const std::string& path, FileState& state) {
    char number[16];
    std::snprintf(number, sizeof number, "%03llu", static_cast<unsigned long long>(state.fsyncs));
    const std::string base = state.recordDir + "/" + number;
    const std::string source = backing(path.c_str());
    const std::uint64_t synced = fileSize(source);
    copyFile(source, base + ".synced");
    for (int torn = 1; torn <= state.recordTorn; ++torn) {
        const std::string name = base + ".torn-" + std::to_string(torn);
        copyFile(source, name);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::uniform_real_distribution<double> share(0.1, 0.9);
        const double keepShare = share(state.recordRandom);
        std::bernoulli_distribution keep(keepShare);
        persist(
            state, fd, synced, [&] { return keep(state.recordRandom); }, false);
        ::close(fd);
    }
    std::ostringstream sizes;
    for (const auto& [name, file] : fsOf()->files) {
        if (file.cached) {
            sizes << name << ' ' << file.size << '\n';
        }
    }
    const int fd = ::open((base + ".sizes").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        const std::string text = sizes.str();
        writeAll(fd, text.data(), text.size(), 0);
        ::close(fd);
    }
}

// Arms the faults that wait for a sync of path.
void noteSync(const std::string& path) {
    for (auto& [name, file] : fsOf()->files) {
        for (Fault* fault : {&file.failWrite, &file.failFsync}) {
            if (fault->afterSyncOf == path) {
                fault->afterSyncOf.clear();
            }
        }
    }
    if (fsOf()->noSpace.afterSyncOf == path) {
        fsOf()->noSpace.afterSyncOf.clear();
    }
}

bool fires(Fault& fault) {
    if (!fault.armed || !fault.afterSyncOf.empty() || fault.afterRead) {
        return false;
    }
    fault.armed = false;
    return true;
}

int syncFile(const std::string& path) {
    FileState& state = stateOf(path);
    ++state.fsyncs;
    if (!state.recordDir.empty()) {
        recordStates(path, state);
    }
    if (fires(state.failFsync)) {
        // The write-back failed: the pages are no longer dirty, and what they held never reaches the disk.
        for (auto& [index, page] : state.pages) {
            page.dirty = false;
        }
        noteSync(path);
        return -EIO;
    }
    const int fd = ::open(backing(path.c_str()).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return fail();
    }
    const bool written = persist(
        state, fd, fileSize(backing(path.c_str())), [] { return true; }, true);
    ::close(fd);
    if (!written) {
        return -EIO;
    }
    state.pages.clear();
    state.cached = false;
    noteSync(path);
    return 0;
}

// The power cut: every file keeps what was synced, and with a seed a random part of its cache.
void cutPower(std::optional<std::uint64_t> seed, double keepShare) {
    std::mt19937_64 random(seed.value_or(0));
    std::bernoulli_distribution keep(keepShare);
    std::bernoulli_distribution coin(0.5);
    for (auto& [path, state] : fsOf()->files) {
        if (!state.cached) {
            continue;
        }
        if (seed) {
            const std::string name = backing(path.c_str());
            const int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                persist(
                    state, fd, fileSize(name), [&] { return keep(random); }, coin(random));
                ::close(fd);
            }
        }
        state.pages.clear();
        state.cached = false;
    }
}

void armFault(Fault& fault, std::istringstream& words) {
    fault = Fault{};
    fault.armed = true;
    std::string when;
    if (words >> when) {
        if (when == "after-sync") {
            words >> fault.afterSyncOf;
        } else if (when == "after-read") {
            fault.afterRead = true;
        }
    }
}

int command(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    FileSystem& fs = *fsOf();
    std::string path;
    if (verb == "fail-write" && words >> path) {
        armFault(stateOf(path).failWrite, words);
    } else if (verb == "fail-fsync" && words >> path) {
        armFault(stateOf(path).failFsync, words);
    } else if (verb == "enospc") {
        std::string state;
        words >> state;
        armFault(fs.noSpace, words);
        fs.noSpace.armed = state == "on";
    } else if (verb == "cut") {
        std::uint64_t seed = 0;
        double percent = 0;
        if (words >> seed >> percent) {
            cutPower(seed, percent / 100.0);
        } else {
            cutPower(std::nullopt, 0.0);
        }
    } else if (verb == "record" && words >> path) {
        FileState& state = stateOf(path);
        std::uint64_t seed = 0;
        if (!(words >> state.recordDir >> state.recordTorn >> seed)) {
            return -EINVAL;
        }
        state.recordRandom.seed(seed);
    } else {
        return -EINVAL;
    }
    return 0;
}

std::string counters() {
    std::ostringstream out;
    for (const auto& [path, state] : fsOf()->files) {
        out << "writes " << path << ' ' << state.writes << "\nfsyncs " << path << ' ' << state.fsyncs
            << "\nreads " << path << ' ' << state.reads << '\n';
    }
    return out.str();
}

bool isControl(const char* path) {
    return std::strcmp(path, controlPath) == 0;
}

// The operations.

void* opInit(fuse_conn_info*, fuse_config* config) {
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->use_ino = 0;
    return fuse_get_context()->private_data;
}

void opDestroy(void* data) {
    // A clean shutdown: everything cached reaches the folder.
    auto* fs = static_cast<FileSystem*>(data);
    for (auto& [path, state] : fs->files) {
        if (!state.cached) {
            continue;
        }
        const std::string name = fs->root + path;
        const int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            persist(
                state, fd, fileSize(name), [] { return true; }, true);
            ::close(fd);
        }
    }
}

int opGetattr(const char* path, struct stat* info, fuse_file_info*) {
    if (isControl(path)) {
        std::memset(info, 0, sizeof *info);
        info->st_mode = S_IFREG | 0666;
        info->st_nlink = 1;
        return 0;
    }
    if (::lstat(backing(path).c_str(), info) != 0) {
        return fail();
    }
    const auto found = fsOf()->files.find(path);
    if (S_ISREG(info->st_mode) && found != fsOf()->files.end() && found->second.cached) {
        info->st_size = static_cast<off_t>(found->second.size);
    }
    return 0;
}

int opAccess(const char* path, int mode) {
    if (isControl(path)) {
        return 0;
    }
    return ::access(backing(path).c_str(), mode) == 0 ? 0 : fail();
}

int opReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    DIR* dir = ::opendir(backing(path).c_str());
    if (dir == nullptr) {
        return fail();
    }
    while (const dirent* entry = ::readdir(dir)) {
        fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    ::closedir(dir);
    return 0;
}

int opMkdir(const char* path, mode_t mode) {
    return ::mkdir(backing(path).c_str(), mode) == 0 ? 0 : fail();
}

int opRmdir(const char* path) {
    return ::rmdir(backing(path).c_str()) == 0 ? 0 : fail();
}

int opUnlink(const char* path) {
    if (::unlink(backing(path).c_str()) != 0) {
        return fail();
    }
    fsOf()->files.erase(path);
    return 0;
}

int opRename(const char* from, const char* to, unsigned int flags) {
    if (flags != 0) {
        return -EINVAL;
    }
    if (::rename(backing(from).c_str(), backing(to).c_str()) != 0) {
        return fail();
    }
    auto& files = fsOf()->files;
    files.erase(to);
    if (auto found = files.find(from); found != files.end()) {
        files[to] = std::move(found->second);
        files.erase(from);
    }
    return 0;
}

int opChmod(const char* path, mode_t mode, fuse_file_info*) {
    return ::chmod(backing(path).c_str(), mode) == 0 ? 0 : fail();
}

int opUtimens(const char* path, const timespec times[2], fuse_file_info*) {
    return ::utimensat(AT_FDCWD, backing(path).c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : fail();
}

// Emptying a file as it is opened reaches the folder at once, as creating it does.
void emptied(const char* path) {
    FileState& state = fsOf()->files[path];
    state.pages.clear();
    state.cached = false;
}

int opCreate(const char* path, mode_t mode, fuse_file_info* info) {
    const int fd = ::open(backing(path).c_str(), (info->flags & ~O_APPEND) | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) {
        return fail();
    }
    ::close(fd);
    emptied(path);
    return 0;
}

int opOpen(const char* path, fuse_file_info* info) {
    if (isControl(path)) {
        info->direct_io = 1;
        fsOf()->lastAnswer = counters();
        return 0;
    }
    if (::access(backing(path).c_str(), F_OK) != 0) {
        return fail();
    }
    if ((info->flags & O_TRUNC) != 0) {
        if (::truncate(backing(path).c_str(), 0) != 0) {
            return fail();
        }
        emptied(path);
    }
    info->keep_cache = 0;
    return 0;
}

int opRead(const char* path, char* out, size_t size, off_t offset, fuse_file_info*) {
    if (isControl(path)) {
        const std::string& text = fsOf()->lastAnswer;
        if (static_cast<std::size_t>(offset) >= text.size()) {
            return 0;
        }
        const std::size_t length = std::min(size, text.size() - static_cast<std::size_t>(offset));
        std::memcpy(out, text.data() + offset, length);
        return static_cast<int>(length);
    }
    FileState& state = stateOf(path);
    ++state.reads;
    state.failWrite.afterRead = false;
    const auto at = static_cast<std::uint64_t>(offset);
    if (at >= state.size) {
        return 0;
    }
    const std::uint64_t length = std::min<std::uint64_t>(size, state.size - at);
    const int fd = ::open(backing(path).c_str(), O_RDONLY | O_CLOEXEC);
    std::uint64_t done = 0;
    while (done < length) {
        const std::uint64_t position = at + done;
        const std::uint64_t index = position / pageSize;
        const std::uint64_t within = position % pageSize;
        const std::uint64_t part = std::min(pageSize - within, length - done);
        const auto found = state.pages.find(index);
        if (found != state.pages.end()) {
            std::memcpy(out + done, found->second.bytes.data() + within, part);
        } else if (fd < 0 || !readBacking(fd, state.backingValid, position, out + done, part)) {
            if (fd >= 0) {
                ::close(fd);
            }
            return -EIO;
        }
        done += part;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return static_cast<int>(length);
}

int opWrite(const char* path, const char* data, size_t size, off_t offset, fuse_file_info*) {
    if (isControl(path)) {
        const int result = command(std::string(data, size));
        return result == 0 ? static_cast<int>(size) : result;
    }
    FileState& state = stateOf(path);
    ++state.writes;
    if (const Fault& noSpace = fsOf()->noSpace; noSpace.armed && noSpace.afterSyncOf.empty()) {
        return -ENOSPC;
    }
    if (fires(state.failWrite)) {
        return -EIO;
    }
    const auto at = static_cast<std::uint64_t>(offset);
    std::uint64_t done = 0;
    while (done < size) {
        const std::uint64_t position = at + done;
        const std::uint64_t within = position % pageSize;
        const std::uint64_t part = std::min<std::uint64_t>(pageSize - within, size - done);
        Page* page = pageOf(state, path, position / pageSize);
        if (page == nullptr) {
            return -EIO;
        }
        std::memcpy(page->bytes.data() + within, data + done, part);
        page->dirty = true;
        done += part;
    }
    state.size = std::max(state.size, at + size);
    return static_cast<int>(size);
}

int opTruncate(const char* path, off_t length, fuse_file_info*) {
    if (isControl(path)) {
        return 0;
    }
    FileState& state = stateOf(path);
    const auto size = static_cast<std::uint64_t>(length);
    if (size < state.size) {
        // The tail of the last page reads as zeros should the file grow again; later pages go.
        if (size % pageSize != 0) {
            Page* page = pageOf(state, path, size / pageSize);
            if (page == nullptr) {
                return -EIO;
            }
            std::fill(page->bytes.begin() + static_cast<std::ptrdiff_t>(size % pageSize), page->bytes.end(),
                      0);
            page->dirty = true;
        }
        state.pages.erase(state.pages.lower_bound((size + pageSize - 1) / pageSize), state.pages.end());
        state.backingValid = std::min(state.backingValid, size);
    }
    state.size = size;
    return 0;
}

int opFsync(const char* path, int, fuse_file_info*) {
    if (isControl(path)) {
        return 0;
    }
    return syncFile(path);
}

int opStatfs(const char*, struct statvfs* info) {
    return ::statvfs(fsOf()->root.c_str(), info) == 0 ? 0 : fail();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fault_fs FOLDER MOUNTPOINT\n");
        return 2;
    }
    FileSystem state;
    char* real = ::realpath(argv[1], nullptr);
    if (real == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    state.root = real;
    std::free(real);

    fuse_operations operations{};
    operations.init = opInit;
    operations.destroy = opDestroy;
    operations.getattr = opGetattr;
    operations.access = opAccess;
    operations.readdir = opReaddir;
    operations.mkdir = opMkdir;
    operations.rmdir = opRmdir;
    operations.unlink = opUnlink;
    operations.rename = opRename;
    operations.chmod = opChmod;
    operations.utimens = opUtimens;
    operations.create = opCreate;
    operations.open = opOpen;
    operations.read = opRead;
    operations.write = opWrite;
    operations.truncate = opTruncate;
    operations.fsync = opFsync;
    operations.statfs = opStatfs;

    char program[] = "fault_fs";
    char* args[] = {program, nullptr};
    fuse_args fuseArgs = FUSE_ARGS_INIT(1, args);
    fuse* session = fuse_new(&fuseArgs, &operations, sizeof operations, &state);
    if (session == nullptr) {
        return 1;
    }
    if (fuse_mount(session, argv[2]) != 0) {
        fuse_destroy(session);
        return 1;
    }
    fuse_set_signal_handlers(fuse_get_session(session));
    std::printf("READY\n");
    std::fflush(stdout);
    const int result = fuse_loop(session);
    fuse_remove_signal_handlers(fuse_get_session(session));
    fuse_unmount(session);
    fuse_destroy(session);
    return result == 0 ? 0 : 1;
}
