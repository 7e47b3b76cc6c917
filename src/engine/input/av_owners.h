#pragma once

// Owners of the FFmpeg objects the engine opens in this process, each released by the call
// FFmpeg provides for it.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <memory>

namespace brevane::detail {

struct FormatContextCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

using FormatContextOwner = std::unique_ptr<AVFormatContext, FormatContextCloser>;
using CodecContextOwner = std::unique_ptr<AVCodecContext, CodecContextFree>;
using PacketOwner = std::unique_ptr<AVPacket, PacketFree>;
using FrameOwner = std::unique_ptr<AVFrame, FrameFree>;

} // namespace brevane::detail
