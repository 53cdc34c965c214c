// The one place where differences between FFmpeg generations are handled.
// The library builds against libavformat 58 / libavcodec 58 (FFmpeg 4.x),
// libavformat 59 / libavcodec 59 (FFmpeg 5.x) and later generations.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

// FFmpeg 5.1 replaced the bitmask channel layout (`channels`,
// `channel_layout`) with AVChannelLayout (`ch_layout`); 7.0 removed the old
// fields.
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 28, 100)
#define KORVEL_HAS_CH_LAYOUT 1
#else
#define KORVEL_HAS_CH_LAYOUT 0
#endif

// FFmpeg 5.0 made the codec and format lookups return const pointers; the
// library always holds them as const, which the older, non-const results
// convert to implicitly.
using CodecPtrConst = const AVCodec*;
using OutputFormatPtrConst = const AVOutputFormat*;

namespace korvel {

inline int codecpar_channels(const AVCodecParameters* par) {
#if KORVEL_HAS_CH_LAYOUT
  return par->ch_layout.nb_channels;
#else
  return par->channels;
#endif
}

// Audio channel layouts, expressed on both generations as the bitmask of
// AV_CH_* speakers (0: no layout known, or one no bitmask can describe).

// The bitmask channel layout of an opened decoder or encoder context.
inline uint64_t codec_layout_mask(const AVCodecContext* ctx) {
#if KORVEL_HAS_CH_LAYOUT
  return ctx->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? ctx->ch_layout.u.mask : 0;
#else
  return ctx->channel_layout;
#endif
}

inline int codec_channels(const AVCodecContext* ctx) {
#if KORVEL_HAS_CH_LAYOUT
  return ctx->ch_layout.nb_channels;
#else
  return ctx->channels;
#endif
}

// The bitmask channel layout of a decoded frame (0: none known).
inline uint64_t frame_layout_mask(const AVFrame* frame) {
#if KORVEL_HAS_CH_LAYOUT
  return frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? frame->ch_layout.u.mask : 0;
#else
  return frame->channel_layout;
#endif
}

inline int frame_channels(const AVFrame* frame) {
#if KORVEL_HAS_CH_LAYOUT
  return frame->ch_layout.nb_channels;
#else
  return frame->channels;
#endif
}

// av_get_default_channel_layout: the usual layout for `channels`, or 0.
inline uint64_t default_layout_mask(int channels) {
#if KORVEL_HAS_CH_LAYOUT
  AVChannelLayout layout{};
  av_channel_layout_default(&layout, channels);
  const uint64_t mask = layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0;
  av_channel_layout_uninit(&layout);
  return mask;
#else
  return static_cast<uint64_t>(av_get_default_channel_layout(channels));
#endif
}

// av_get_channel_layout_nb_channels: the number of speakers in `mask`.
inline int layout_mask_channels(uint64_t mask) {
#if KORVEL_HAS_CH_LAYOUT
  return av_popcount64(mask);
#else
  return av_get_channel_layout_nb_channels(mask);
#endif
}

// Sets an encoder context's layout (and channel count) before it is opened.
// Returns 0 or a negative AVERROR.
inline int set_codec_layout(AVCodecContext* ctx, uint64_t mask) {
#if KORVEL_HAS_CH_LAYOUT
  av_channel_layout_uninit(&ctx->ch_layout);
  return av_channel_layout_from_mask(&ctx->ch_layout, mask);
#else
  ctx->channel_layout = mask;
  ctx->channels = av_get_channel_layout_nb_channels(mask);
  return 0;
#endif
}

// Gives an encoder input frame the encoder's channel layout. Returns 0 or a
// negative AVERROR.
inline int copy_layout_to_frame(AVFrame* frame, const AVCodecContext* enc) {
#if KORVEL_HAS_CH_LAYOUT
  return av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout);
#else
  frame->channel_layout = enc->channel_layout;
  frame->channels = enc->channels;
  return 0;
#endif
}

// swr_alloc_set_opts (swr_alloc_set_opts2 since 5.1) without log context.
// The result is not initialised yet; null on failure (also for a layout of 0,
// which no generation can resample from).
inline SwrContext* alloc_resampler(uint64_t out_mask, AVSampleFormat out_fmt,
                                   int out_rate, uint64_t in_mask,
                                   AVSampleFormat in_fmt, int in_rate) {
#if KORVEL_HAS_CH_LAYOUT
  AVChannelLayout out_layout{};
  AVChannelLayout in_layout{};
  SwrContext* swr = nullptr;
  if (av_channel_layout_from_mask(&out_layout, out_mask) == 0 &&
      av_channel_layout_from_mask(&in_layout, in_mask) == 0) {
    // On failure swr_alloc_set_opts2 frees the context it made and nulls swr.
    swr_alloc_set_opts2(&swr, &out_layout, out_fmt, out_rate, &in_layout, in_fmt,
                        in_rate, 0, nullptr);
  }
  av_channel_layout_uninit(&out_layout);
  av_channel_layout_uninit(&in_layout);
  return swr;
#else
  if (out_mask == 0 || in_mask == 0) return nullptr;
  return swr_alloc_set_opts(nullptr, static_cast<int64_t>(out_mask), out_fmt, out_rate,
                            static_cast<int64_t>(in_mask), in_fmt, in_rate, 0, nullptr);
#endif
}

}  // namespace korvel
