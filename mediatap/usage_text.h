// The usage text of trsn.mediatap, printed for a help request.
#pragma once

inline constexpr const char* usageText =
    "H.264 stream dump and analysis utility (c) Tarsen\n"
    "Usage: trsn.mediatap  options\n"
    "  -i   <s>    (mandatory) video source (rtsp, file)\n"
    "  -nf  <i>    [inf] video frames to capture before termination\n"
    "  -ns  <i>    [inf] seconds to capture before termination\n"
    "  -mav <s>    [none] output media file: audio and video\n"
    "  -ma  <s>    [none] output media file: audio only\n"
    "  -mv  <s>    [none] output media file: video only\n"
    "  -lav <s>    [none] output log file: audio and video\n"
    "  -la  <s>    [none] output log file: audio only\n"
    "  -lv  <s>    [none] output log file: video only\n"
    "  -fix <0|1>  [1] fix PTS and DTS problems\n"
    "  -v <0|1>    [0] verbose\n";
