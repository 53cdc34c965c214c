// Owners for FFmpeg objects. Only this header calls FFmpeg's free and close
// functions for these types; everything else holds owners.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace korvel {

struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrDeleter {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct SwsDeleter {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct AudioFifoDeleter {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
struct DictDeleter {
  void operator()(AVDictionary* d) const { av_dict_free(&d); }
};
// Memory from av_malloc and friends.
struct AvFreeDeleter {
  void operator()(void* p) const { av_free(p); }
};

using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;
using DictPtr = std::unique_ptr<AVDictionary, DictDeleter>;
template <typename T>
using AvMemoryPtr = std::unique_ptr<T, AvFreeDeleter>;

inline PacketPtr make_packet() { return PacketPtr(av_packet_alloc()); }
inline FramePtr make_frame() { return FramePtr(av_frame_alloc()); }

}  // namespace korvel
