// Owners of the FFmpeg objects of a run.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

struct InputCloser {
    // Safe on a context that was allocated but never opened.
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

// Network set-up for the life of the run.
class NetworkSession {
  public:
    NetworkSession() { avformat_network_init(); }
    ~NetworkSession() { avformat_network_deinit(); }
    NetworkSession(const NetworkSession&) = delete;
    NetworkSession& operator=(const NetworkSession&) = delete;
};

// An options dictionary handed to FFmpeg by address (FFmpeg may replace it); freed when it leaves scope.
class Dictionary {
  public:
    Dictionary() = default;
    ~Dictionary() { av_dict_free(&entries); }
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;

    AVDictionary** address() { return &entries; }

  private:
    AVDictionary* entries = nullptr;
};

// Drops the packet's reference when it leaves scope.
class PacketUnref {
  public:
    explicit PacketUnref(AVPacket* target) : packet(target) {}
    ~PacketUnref() { av_packet_unref(packet); }
    PacketUnref(const PacketUnref&) = delete;
    PacketUnref& operator=(const PacketUnref&) = delete;

  private:
    AVPacket* packet;
};
