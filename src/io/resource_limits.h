// Bounds on what one call may make FFmpeg allocate, whatever its input claims.
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixfmt.h>
}

namespace korvel {

// The largest picture a decoder may produce and any picture korvel converts
// or encodes: 8192 x 4320, which admits 8K (7680 x 4320) and DCI 8K.
constexpr int64_t kMaxPixels = 8192LL * 4320LL;

// The largest single block FFmpeg may allocate in this process: the biggest
// picture kMaxPixels admits in the widest pixel format FFmpeg decodes into
// (8 bytes a pixel) plus room for padding. Headers of a small input can claim
// gigabytes (a 2 GB RIFF INFO entry is zero-filled before it is read); such
// requests fail instead. The result block handed to the caller is not made by
// FFmpeg's allocator and is not bound by this.
constexpr size_t kMaxAllocation = 320u * 1024u * 1024u;

// Sets FFmpeg's process-wide allocation cap (av_max_alloc) to kMaxAllocation,
// once; later calls do nothing. Every operation calls it before it opens its
// input.
void apply_allocation_cap();

// True for a picture size and pixel format a converter can be made from: a
// known format, both sides > 0, at most kMaxPixels.
bool picture_allowed(int width, int height, AVPixelFormat format);

// Per-stream decoder options for avformat_find_stream_info, which opens
// decoders of its own while it analyses the streams: the pixel limit for
// each. Freed by free_stream_options; null when there are no streams or no
// memory (analysis then runs without the limit).
AVDictionary** make_stream_options(const AVFormatContext* demuxer);
void free_stream_options(AVDictionary** options, unsigned count);

// The pixel limit on a decoder context, before it is opened.
void limit_decoder(AVCodecContext* dec_ctx);

}  // namespace korvel
