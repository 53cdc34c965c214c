// Finding an input's streams and opening their decoders.
#pragma once

#include "io/ffmpeg_handles.h"

namespace korvel {

// The lowest-indexed stream whose codec parameters have media type `type`
// (an attached cover picture counts as video), or -1.
int first_stream_of_type(const AVFormatContext* demuxer, AVMediaType type);

// A decoder for `stream`, filled from its codec parameters and opened with no
// options; null when FFmpeg has none for the codec or it cannot be opened.
CodecContextPtr open_decoder(const AVStream* stream);

}  // namespace korvel
