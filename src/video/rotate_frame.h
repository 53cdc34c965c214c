// Turning a 4:2:0 planar picture by a quarter or half turn.
#pragma once

#include "io/ffmpeg_handles.h"

namespace korvel {

// A new AV_PIX_FMT_YUV420P frame holding `src` turned clockwise by `angle`
// (90 or 180; any other value turns counter-clockwise, as 270). `src` is only
// read, through its own width, height and linesizes; the result carries only
// its size, format and samples. Of each chroma plane the src->width / 2 by
// src->height / 2 samples are turned: with an odd size the result's last
// chroma column or row is left unwritten. Null when no frame can be made.
FramePtr rotate_frame_yuv420p(const AVFrame* src, int angle);

}  // namespace korvel
