// The one place where differences between FFmpeg generations are handled.
// The library builds against libavformat 58 / libavcodec 58 (FFmpeg 4.x),
// libavformat 59 / libavcodec 59 (FFmpeg 5.x) and later generations.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
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

}  // namespace korvel
