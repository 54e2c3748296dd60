// The command line of trsn.mediatap: help test, option parsing, validation, checks of the file names,
// output type resolution, and the way from the arguments to the capture and its exit status.
#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "argument_text.h"
#include "diagnostics/common.h"
#include "driver.h"
#include "main_report.h"
#include "usage_text.h"

namespace {

struct TextOption {
    const char* name;
    std::string RunOptions::*value;
    bool RunOptions::*given;
};

constexpr TextOption textOptions[] = {
    {"-i", &RunOptions::input, &RunOptions::inputGiven},
    {"-mav", &RunOptions::mediaAudioVideo, &RunOptions::mediaAudioVideoGiven},
    {"-ma", &RunOptions::mediaAudio, &RunOptions::mediaAudioGiven},
    {"-mv", &RunOptions::mediaVideo, &RunOptions::mediaVideoGiven},
    {"-lav", &RunOptions::logAudioVideo, &RunOptions::logAudioVideoGiven},
    {"-la", &RunOptions::logAudio, &RunOptions::logAudioGiven},
    {"-lv", &RunOptions::logVideo, &RunOptions::logVideoGiven},
};

// Applies one option pair; false when the name is not an option.
bool applyOption(RunOptions& options, const std::string& name, const std::string& value) {
    for (const TextOption& option : textOptions) {
        if (name == option.name) {
            options.*option.value = value;
            options.*option.given = true;
            return true;
        }
    }
    if (name == "-nf") {
        options.frameLimit = toInt(value);
        options.frameLimitGiven = true;
    } else if (name == "-ns") {
        options.secondsLimit = toInt(value);
        options.secondsLimitGiven = true;
    } else if (name == "-fix") {
        options.fix = toInt(value);
    } else if (name == "-v") {
        options.verbose = toInt(value);
    } else {
        return false;
    }
    return true;
}

bool validate(const RunOptions& options) {
    if (!options.inputGiven) {
        return fatalReport("-i option must be specified", __LINE__);
    }
    if (options.frameLimitGiven && options.frameLimit <= 0) {
        return fatalReport("-nf option must be positive if specified", __LINE__);
    }
    if (options.secondsLimitGiven && options.secondsLimit <= 0) {
        return fatalReport("-ns option must be positive if specified", __LINE__);
    }
    if (options.fix != 0 && options.fix != 1) {
        return fatalReport("-fix option must be either 0 or 1", __LINE__);
    }
    return true;
}

bool isUrl(const std::string& name) {
    return name.find("://") != std::string::npos;
}

// The local path that a name means to FFmpeg: a "file:" prefix names the path after it.
std::filesystem::path localPath(const std::string& name) {
    constexpr std::string_view filePrefix = "file:";
    return pathFromUtf8(name.starts_with(filePrefix) ? name.substr(filePrefix.size()) : name);
}

// The file a name reaches: absolute, with symbolic links followed as far as they go, even to a target
// that does not exist yet, and normalised.
std::filesystem::path resolvedPath(const std::filesystem::path& name) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path path = fs::absolute(name, error);
    for (int hops = 0; hops < 40; ++hops) {  // a loop of links ends here as the kernel would end it
        if (!fs::is_symlink(fs::symlink_status(path, error))) {
            break;
        }
        const fs::path target = fs::read_symlink(path, error);
        if (error) {
            break;
        }
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return fs::weakly_canonical(path, error).lexically_normal();
}

#if defined(_WIN32)
// Windows file systems compare names without regard to case.
bool samePathText(const std::filesystem::path& a, const std::filesystem::path& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}
#else
bool samePathText(const std::filesystem::path& a, const std::filesystem::path& b) {
    return a == b;
}
#endif

// Two names of the same file: the same existing file, or the same resolved path.
bool sameFile(const std::string& a, const std::string& b) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path pa = localPath(a);
    const fs::path pb = localPath(b);
    if (fs::exists(pa, error) && fs::exists(pb, error)) {
        const bool equivalent = fs::equivalent(pa, pb, error);
        if (!error) {
            return equivalent;
        }
    }
    return samePathText(resolvedPath(pa), resolvedPath(pb));
}

// Refuses outputs and logs that would overwrite the input or share a file with one another.
bool checkFileNames(const RunOptions& options) {
    struct Named {
        const char* option;
        const std::string& name;
        bool given;
    };
    const Named outputs[] = {
        {"-mav", options.mediaAudioVideo, options.mediaAudioVideoGiven},
        {"-mv", options.mediaVideo, options.mediaVideoGiven},
        {"-ma", options.mediaAudio, options.mediaAudioGiven},
        {"-lav", options.logAudioVideo, options.logAudioVideoGiven},
        {"-lv", options.logVideo, options.logVideoGiven},
        {"-la", options.logAudio, options.logAudioGiven},
    };
    auto takesPart = [](const Named& n) { return n.given && !n.name.empty() && !isUrl(n.name); };
    std::error_code error;
    const bool inputIsLocalFile = !options.input.empty() && !isUrl(options.input) &&
                                  std::filesystem::exists(localPath(options.input), error);
    for (std::size_t later = 0; later < std::size(outputs); ++later) {
        if (!takesPart(outputs[later])) {
            continue;
        }
        if (inputIsLocalFile && sameFile(outputs[later].name, options.input)) {
            return fatalReport(std::string(outputs[later].option) + " file is the same as the input",
                               __LINE__);
        }
        for (std::size_t earlier = 0; earlier < later; ++earlier) {
            if (takesPart(outputs[earlier]) && sameFile(outputs[later].name, outputs[earlier].name)) {
                return fatalReport(std::string(outputs[later].option) + " file is the same as " +
                                       outputs[earlier].option + " file",
                                   __LINE__);
            }
        }
    }
    return true;
}

bool resolveOutputType(RunOptions& options) {
    std::string mavType;
    if (options.mediaAudioVideoGiven) {
        const auto dot = options.mediaAudioVideo.rfind('.');
        if (dot == std::string::npos) {
            return errorReport("Failed to resolve -mav argument extension", __LINE__);
        }
        mavType = options.mediaAudioVideo.substr(dot + 1);
        options.outputType = mavType;
    }
    if (options.mediaVideoGiven) {
        const auto dot = options.mediaVideo.rfind('.');
        if (dot == std::string::npos) {
            return errorReport("Failed to resolve -mv argument extension", __LINE__);
        }
        options.outputType = options.mediaVideo.substr(dot + 1);
    }
    if (options.mediaAudioVideoGiven || options.mediaVideoGiven) {
        infoLine("### Output type=" + options.outputType + "\n");
    }
    if (options.mediaAudioVideoGiven && options.mediaVideoGiven && mavType != options.outputType) {
        return errorReport("Extensions of -mav and -mv arguments must match", __LINE__);
    }
    if (options.outputType == "mp4") {
        options.useAacFilter = true;
        infoLine("### Enabled AAC ADTS to ASC bitstream filter\n");
    }
    return true;
}

void printUsage() {
    ncvDebugOutput(usageText, White);
}

}  // namespace

bool isHelpRequest(const std::vector<std::string>& args) {
    return args.size() <= 1 || (args.size() == 2 && (args[1] == "-h" || args[1] == "--help"));
}

std::optional<RunOptions> parseCommandLine(const std::vector<std::string>& args) {
    RunOptions options;
    const std::size_t count = args.size();
    const std::size_t end = std::max<std::size_t>(count - 1, 1);
    for (std::size_t i = 1; i < end; i += 2) {
        if (!applyOption(options, args[i], args[i + 1])) {
            fatalReport("Unrecognized option: " + args[i], __LINE__);
            return std::nullopt;
        }
    }
    if (!validate(options) || !checkFileNames(options) || !resolveOutputType(options)) {
        return std::nullopt;
    }
    return options;
}

int runMediatap(const std::vector<std::string>& args) {
    if (isHelpRequest(args)) {
        printUsage();
        return 0;
    }
    const std::optional<RunOptions> options = parseCommandLine(args);
    if (!options) {
        return -1;
    }
    return runCapture(*options);
}
