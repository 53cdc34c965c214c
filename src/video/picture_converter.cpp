#include "video/picture_converter.h"

#include "io/resource_limits.h"

namespace korvel {

namespace {

bool convertible(int src_width, int src_height, AVPixelFormat src_format, int dst_width,
                 int dst_height, AVPixelFormat dst_format) {
  return picture_allowed(src_width, src_height, src_format) &&
         picture_allowed(dst_width, dst_height, dst_format) &&
         sws_isSupportedInput(src_format) > 0 && sws_isSupportedOutput(dst_format) > 0;
}

}  // namespace

SwsPtr make_converter(int src_width, int src_height, AVPixelFormat src_format,
                      int dst_width, int dst_height, AVPixelFormat dst_format) {
  if (!convertible(src_width, src_height, src_format, dst_width, dst_height, dst_format))
    return nullptr;
  return SwsPtr(sws_getContext(src_width, src_height, src_format, dst_width, dst_height,
                               dst_format, SWS_BILINEAR, nullptr, nullptr, nullptr));
}

int convert_into(SwsPtr* sws, const AVFrame* frame, AVFrame* target) {
  const auto src_format = static_cast<AVPixelFormat>(frame->format);
  const auto dst_format = static_cast<AVPixelFormat>(target->format);
  if (!convertible(frame->width, frame->height, src_format, target->width, target->height,
                   dst_format))
    return AVERROR(EINVAL);
  // sws_getCachedContext hands back the same context when nothing changed;
  // otherwise it frees it and makes another (or returns null).
  sws->reset(sws_getCachedContext(sws->release(), frame->width, frame->height, src_format,
                                  target->width, target->height, dst_format, SWS_BILINEAR,
                                  nullptr, nullptr, nullptr));
  if (!*sws) return AVERROR(EINVAL);
  // The encoder may still hold the target's previous buffers.
  const int ret = av_frame_make_writable(target);
  if (ret < 0) return ret;
  sws_scale(sws->get(), frame->data, frame->linesize, 0, frame->height, target->data,
            target->linesize);
  return 0;
}

}  // namespace korvel
