// The run of trsn.mediatap after the command line, in the order it happens: FFmpeg set-up, the input
// (input_open), the outputs (outputs), the packet loop (packet_loop) and the teardown.
#include <optional>
#include <string>

#include "diagnostics/common.h"
#include "diagnostics/ffmpeg_log.h"
#include "driver.h"
#include "input_open.h"
#include "main_report.h"
#include "output/ffmpeg_owners.h"
#include "outputs.h"
#include "packet_loop.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace driver;

// The run from the network set-up to the teardown, in the order it happens. Every owner is a local
// declared in creation order, so that leaving at any step releases what exists in the teardown order:
// logs (-lv, -la, -lav), frame, packets, writers (-mv, -ma, -mav), input, network set-up. A file that
// could not be finished fails the run, however the loop ended.
int capture(const RunOptions& options) {
    const NetworkSession network;
    InputWatch watch;  // the input's interrupt callback points at it
    InputPipe pipe;    // the input's I/O when it is a pipe
    InputFile file;    // the input's I/O when it is a file
    const InputPtr input = openInput(options, watch, pipe, file);
    if (!input) {
        return -1;
    }
    const std::optional<Streams> streams = chooseStreams(*input);
    if (!streams) {
        return -1;
    }
    if (!checkOutputs(options, *streams)) {
        return -1;
    }
    std::optional<Writers> writers = createWriters(options, *streams);
    if (!writers) {
        return -1;
    }
    const PacketPtr packet{av_packet_alloc()};
    const PacketPtr copy{av_packet_alloc()};
    if (!packet || !copy) {
        errorReport("av_packet_alloc failure", __LINE__);
        return -1;
    }
    FramePtr frame{av_frame_alloc()};  // nothing decodes into it; the teardown order includes it
    if (!frame) {
        // Named after the call of the older FFmpeg series on purpose, as the writer's
        // "avcodec_get_context_defaults3 failure" is: the reports keep their texts.
        errorReport("avcodec_alloc_frame failure", __LINE__);
        return -1;
    }
    std::optional<Logs> logs = openLogs(options, *streams);
    if (!logs) {
        return -1;
    }

    infoLine("### Started processing input video packets\n");
    PacketLoop loop{options, *input,  watch, *streams, *writers,
                    *logs,   *packet, *copy, pipe,     isLive(options.input)};
    const bool normalEnd = loop.run() == LoopEnd::normal;
    if (normalEnd) {
        infoLine("### Finished processing input video: " + std::to_string(loop.video.count) + " packets\n");
    }
    const bool complete = finishOutputs(*logs, frame, *writers, normalEnd);
    return normalEnd && complete ? 0 : -1;
}

}  // namespace

int runCapture(const RunOptions& options) {
    installStopHandler();
    installFfmpegLog();
    if (options.verbose != 0) {
        av_log_set_level(AV_LOG_DEBUG);
    }
    const int status = capture(options);
    clearStatusLine();
    notifyTeardownDone();
    return status;
}
