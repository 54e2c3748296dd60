// What a media writer settles with its muxer before it records: how an output stream copies an input
// stream, the header options of a recording in movie fragments, and a trial header that shows whether a
// container takes a stream, written where nothing is kept.
#pragma once

#include <string>

#include "output/ffmpeg_owners.h"

extern "C" {
#include <libavformat/avformat.h>
}

// The muxers of the MP4 family, whose files are recorded as fragments and finished as standard files.
bool recordsFragments(const AVOutputFormat* format);
// Whether a recording into the named output is one in fragments: a file of the MP4 family.
bool recordedInFragments(const std::string& name, const AVOutputFormat* format);
// Adds the header options of a recording in fragments.
void setFragmentOptions(Dictionary& options);

// Describes an output stream by the input's parameters: a stream copy, with the codec tag left for the
// muxer to choose. False when the codec configuration could not be copied.
bool copyParameters(const AVCodecParameters* input, AVCodecParameters* out);

// Whether the container FFmpeg picks for the name takes one stream with these parameters, judged by a
// header written to a context that keeps nothing, with the options a recording would get. FFmpeg's log
// stays silent meanwhile: the question is the tool's own.
bool containerTakes(const std::string& name, const AVCodecParameters* params, AVRational timeBase);
