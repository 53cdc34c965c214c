// Picture converters (libswscale) made only from checked facts: libswscale
// asserts, taking the process down, when handed a pixel format it has no
// descriptor for (a decoder that has not seen a picture yet reports none).
#pragma once

#include "io/ffmpeg_handles.h"

namespace korvel {

// A converter from `src_*` to `dst_*`; null when either side is no allowed
// picture (see picture_allowed) or libswscale cannot read or write the format.
SwsPtr make_converter(int src_width, int src_height, AVPixelFormat src_format,
                      int dst_width, int dst_height, AVPixelFormat dst_format);

// Converts `frame` into `target` (allocated, at its own size and format),
// first replacing `*sws` when it was made for another source size or format,
// so that a stream that changes them mid-way is never read past a picture's
// end. Returns 0; AVERROR(EINVAL) when no converter can be made for the
// picture, which is then skipped; or AVERROR(ENOMEM).
int convert_into(SwsPtr* sws, const AVFrame* frame, AVFrame* target);

}  // namespace korvel
