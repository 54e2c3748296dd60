#include "media_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#define getpid _getpid
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "read_file.h"

namespace fs = std::filesystem;

namespace media_fixture {

namespace {

std::string testKey(const testing::TestInfo* info) {
    std::string key = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "no-test";
    for (char& c : key) {
        if (c == '/' || c == '\\' || c == ':' || c == ' ') {
            c = '_';
        }
    }
    return key;
}

fs::path dirForKey(const std::string& key) {
    return fs::temp_directory_path() / ("trsn-media-" + std::to_string(getpid())) / key;
}

// Removes a passed test's scratch directory; keeps a failed test's for inspection.
class ScratchCleaner : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo& info) override {
        const fs::path dir = dirForKey(testKey(&info));
        std::error_code ignored;
        if (!fs::exists(dir, ignored)) {
            return;
        }
        if (info.result()->Failed() || std::getenv("TRSN_KEEP_TEST_MEDIA") != nullptr) {
            std::cout << "test media kept in " << dir.string() << '\n';
            return;
        }
        fs::remove_all(dir, ignored);
        fs::remove(dir.parent_path(), ignored);  // only succeeds once the last test's directory is gone
    }
};

const bool cleanerInstalled = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new ScratchCleaner);
    return true;
}();

#if defined(_WIN32)
// Under Wine the ffmpeg programs are the host's: commands go to the host's shell, with host paths.
using UnixNameFunction = char*(CDECL*)(LPCWSTR);
UnixNameFunction wineUnixName() {
    static const auto function = reinterpret_cast<UnixNameFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    return function;
}
bool hostIsUnix() {
    return wineUnixName() != nullptr;
}
#else
bool hostIsUnix() {
    return true;
}
#endif

std::optional<std::int64_t> toInt(const std::string& text) {
    if (text.empty() || text == "N/A") {
        return std::nullopt;
    }
    return std::stoll(text);
}

std::optional<double> toDouble(const std::string& text) {
    if (text.empty() || text == "N/A") {
        return std::nullopt;
    }
    return std::stod(text);
}

int toIntOr0(const std::string& text) {
    return toInt(text).value_or(0);
}

std::string field(const std::map<std::string, std::string>& fields, const std::string& key) {
    const auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

}  // namespace

std::string testDir() {
    (void)cleanerInstalled;
    const fs::path dir = dirForKey(testKey(testing::UnitTest::GetInstance()->current_test_info()));
    fs::create_directories(dir);
    return dir.string();
}

std::string pathFor(const std::string& name) {
    return (fs::path(testDir()) / name).string();
}

std::string hostPath(const std::string& path) {
#if defined(_WIN32)
    if (const UnixNameFunction toUnix = wineUnixName(); toUnix != nullptr) {
        char* unixName = toUnix(fs::path(path).wstring().c_str());
        if (unixName != nullptr) {
            std::string result = unixName;
            HeapFree(GetProcessHeap(), 0, unixName);
            return result;
        }
    }
#endif
    return path;
}

std::string quote(const std::string& argument) {
    if (!hostIsUnix()) {
        return "\"" + argument + "\"";
    }
    std::string quoted = "'";
    for (char c : argument) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string quotePath(const std::string& path) {
    return quote(hostPath(path));
}

int runCommand(const std::string& command, std::string* out, std::string* err) {
    static int serial = 0;
    const std::string stem = pathFor("cmd" + std::to_string(++serial));
    int status = 0;
#if defined(_WIN32)
    if (hostIsUnix()) {
        // Wine hands the command to the host's shell but neither waits for it nor passes its status
        // back: the shell leaves its status in a file, renamed into place once complete.
        const std::string full = "start /unix /bin/sh -c \"(" + command + ") >" + quotePath(stem + ".out") +
                                 " 2>" + quotePath(stem + ".err") + "; echo $? >" + quotePath(stem + ".tmp") +
                                 "; mv " + quotePath(stem + ".tmp") + " " + quotePath(stem + ".status") +
                                 "\"";
        std::system(full.c_str());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        while (!fs::exists(stem + ".status") && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::string statusText = readFile(stem + ".status");
        status = statusText.empty() ? -1 : std::stoi(statusText);
    } else
#endif
    {
        const std::string full = command + " >" + quotePath(stem + ".out") + " 2>" + quotePath(stem + ".err");
        status = std::system(full.c_str());
#if !defined(_WIN32)
        status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    }
    if (out != nullptr) {
        *out = readFile(stem + ".out");
    }
    if (err != nullptr) {
        *err = readFile(stem + ".err");
    }
    std::error_code ignored;
    fs::remove(stem + ".out", ignored);
    fs::remove(stem + ".err", ignored);
    fs::remove(stem + ".status", ignored);
    return status;
}

std::string decodeErrorsUpTo(const std::string& path, double seconds) {
    std::string err;
    const int status = runCommand(
        "ffmpeg -nostdin -v error -t " + std::to_string(seconds) + " -i " + quotePath(path) + " -f null -",
        nullptr, &err);
    return status == 0 ? err : err + "(ffmpeg exited with " + std::to_string(status) + ")";
}

std::string makeMedia(const std::string& name, const std::string& ffmpegArgs) {
    const std::string path = pathFor(name);
    std::string err;
    const int status =
        runCommand("ffmpeg -nostdin -v error -y " + ffmpegArgs + " " + quotePath(path), nullptr, &err);
    EXPECT_EQ(status, 0) << "ffmpeg could not make " << name << ": " << err;
    return path;
}

MediaFacts probe(const std::string& path) {
    MediaFacts facts;
    std::string out;
    const std::string command =
        "ffprobe -v error -show_entries "
        "stream=index,codec_type,codec_name,time_base,start_pts,duration,extradata_size,width,height,"
        "sample_rate,channels:format=format_name,duration -of default " +
        quotePath(path);
    if (runCommand(command, &out) != 0) {
        return facts;
    }
    facts.ok = true;
    // Sections are "[STREAM]" ... "[/STREAM]" and "[FORMAT]" ... "[/FORMAT]"; the streams listed again
    // inside "[PROGRAM]" are skipped.
    std::istringstream lines(out);
    std::string line;
    std::string section;
    bool inProgram = false;
    std::map<std::string, std::string> fields;
    while (std::getline(lines, line)) {
        if (line == "[PROGRAM]" || line == "[/PROGRAM]") {
            inProgram = line == "[PROGRAM]";
        } else if (line.size() > 2 && line[0] == '[' && line[1] != '/') {
            section = line;
            fields.clear();
        } else if (line == "[/STREAM]" && !inProgram) {
            StreamFacts stream;
            stream.index = toIntOr0(field(fields, "index"));
            stream.codecType = field(fields, "codec_type");
            stream.codecName = field(fields, "codec_name");
            stream.timeBase = field(fields, "time_base");
            stream.startPts = toInt(field(fields, "start_pts"));
            stream.duration = toDouble(field(fields, "duration"));
            stream.extradataSize = toIntOr0(field(fields, "extradata_size"));
            stream.width = toIntOr0(field(fields, "width"));
            stream.height = toIntOr0(field(fields, "height"));
            stream.sampleRate = toIntOr0(field(fields, "sample_rate"));
            stream.channels = toIntOr0(field(fields, "channels"));
            facts.streams.push_back(stream);
        } else if (line == "[/FORMAT]") {
            facts.formatName = field(fields, "format_name");
            facts.duration = toDouble(field(fields, "duration"));
        } else if (const auto equals = line.find('='); equals != std::string::npos) {
            fields[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return facts;
}

std::vector<PacketFacts> probePackets(const std::string& path, int streamIndex) {
    std::vector<PacketFacts> packets;
    std::string out;
    const std::string command = "ffprobe -v error -select_streams " + std::to_string(streamIndex) +
                                " -show_entries packet=pts,dts,duration,flags -of compact=p=0 " +
                                quotePath(path);
    if (runCommand(command, &out) != 0) {
        return packets;
    }
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) {
            continue;
        }
        std::map<std::string, std::string> fields;
        std::istringstream items(line);
        std::string item;
        while (std::getline(items, item, '|')) {
            if (const auto equals = item.find('='); equals != std::string::npos) {
                fields[item.substr(0, equals)] = item.substr(equals + 1);
            }
        }
        PacketFacts packet;
        packet.pts = toInt(field(fields, "pts"));
        packet.dts = toInt(field(fields, "dts"));
        packet.duration = toInt(field(fields, "duration"));
        packet.key = field(fields, "flags").find('K') != std::string::npos;
        packets.push_back(packet);
    }
    return packets;
}

std::string decodeErrors(const std::string& path) {
    std::string err;
    const int status =
        runCommand("ffmpeg -nostdin -v error -i " + quotePath(path) + " -f null -", nullptr, &err);
    if (status != 0 && err.empty()) {
        err = "ffmpeg exited with status " + std::to_string(status);
    }
    return err;
}

}  // namespace media_fixture
