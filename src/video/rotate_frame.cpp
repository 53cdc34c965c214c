#include "video/rotate_frame.h"

#include <cstddef>

namespace korvel {
namespace {

// Copies a `width` x `height` plane into `dst`, turned. Sample (x, y) lies at
// data + y * linesize + x in either plane.
void turn_plane(const uint8_t* src, int src_linesize, int width, int height,
                uint8_t* dst, int dst_linesize, int angle) {
  auto at = [](auto* plane, int linesize, int x, int y) {
    return plane + static_cast<std::ptrdiff_t>(y) * linesize + x;
  };
  if (angle == 180) {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        *at(dst, dst_linesize, x, y) = *at(src, src_linesize, width - 1 - x, height - 1 - y);
    return;
  }
  // The turned plane is `height` wide and `width` high.
  for (int y = 0; y < width; ++y) {
    for (int x = 0; x < height; ++x) {
      const uint8_t* from = angle == 90 ? at(src, src_linesize, y, height - 1 - x)
                                        : at(src, src_linesize, width - 1 - y, x);
      *at(dst, dst_linesize, x, y) = *from;
    }
  }
}

}  // namespace

FramePtr rotate_frame_yuv420p(const AVFrame* src, int angle) {
  FramePtr turned = make_frame();
  if (!turned) return nullptr;
  const int width = src->width, height = src->height;
  turned->format = AV_PIX_FMT_YUV420P;
  turned->width = angle == 180 ? width : height;
  turned->height = angle == 180 ? height : width;
  if (av_frame_get_buffer(turned.get(), 0) < 0) return nullptr;
  if (width <= 0 || height <= 0) return turned;
  turn_plane(src->data[0], src->linesize[0], width, height, turned->data[0],
             turned->linesize[0], angle);
  for (int p = 1; p <= 2; ++p)
    turn_plane(src->data[p], src->linesize[p], width / 2, height / 2, turned->data[p],
               turned->linesize[p], angle);
  return turned;
}

}  // namespace korvel
