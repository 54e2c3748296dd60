#include "diagnostics/ffmpeg_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "diagnostics/address_text.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

std::atomic<int> silences{0};

// Hands an already formatted message to FFmpeg's own callback, which adds the prefix and the colours.
void forward(void* context, int level, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    av_log_default_callback(context, level, format, arguments);
    va_end(arguments);
}

std::string formatted(const char* format, va_list arguments) {
    char small[512];
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0) {
        return {};
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        return std::string(small, static_cast<std::size_t>(length));
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    va_copy(copy, arguments);
    std::vsnprintf(text.data(), text.size(), format, copy);
    va_end(copy);
    text.pop_back();
    return text;
}

// FFmpeg's log callback: a message within the log level goes on as it came, or, when it holds an
// address with a password, as its masked text.
void maskingCallback(void* context, int level, const char* format, va_list arguments) {
    if (silences.load() > 0) {
        return;
    }
    const int plainLevel = level >= 0 ? (level & 0xff) : level;  // the high bits carry a tint
    if (plainLevel > av_log_get_level()) {
        return;
    }
    const std::string message = formatted(format, arguments);
    const std::string masked = maskAddresses(message);
    if (masked == message) {
        av_log_default_callback(context, level, format, arguments);
    } else {
        forward(context, level, "%s", masked.c_str());
    }
}

}  // namespace

void installFfmpegLog() {
    av_log_set_callback(maskingCallback);
}

LogSilence::LogSilence() {
    silences.fetch_add(1);
}

LogSilence::~LogSilence() {
    silences.fetch_sub(1);
}
