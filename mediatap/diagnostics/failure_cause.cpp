#include "diagnostics/failure_cause.h"

#include "diagnostics/address_text.h"
#include "diagnostics/common.h"

extern "C" {
#include <libavutil/error.h>
}

void reportCause(const std::string& reason, const std::string& where) {
    ncvDebugOutput("### Cause: " + reason + " (" + maskAddresses(where) + ")\n", White);
}

std::string ffmpegErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}
