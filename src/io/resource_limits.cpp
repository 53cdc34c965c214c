#include "io/resource_limits.h"

#include <mutex>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

namespace korvel {

void apply_allocation_cap() {
  static std::once_flag once;
  std::call_once(once, [] { av_max_alloc(kMaxAllocation); });
}

bool picture_allowed(int width, int height, AVPixelFormat format) {
  if (width <= 0 || height <= 0) return false;
  if (static_cast<int64_t>(width) * height > kMaxPixels) return false;
  // libswscale asserts on a format it has no descriptor for.
  return av_pix_fmt_desc_get(format) != nullptr;
}

AVDictionary** make_stream_options(const AVFormatContext* demuxer) {
  const unsigned count = demuxer->nb_streams;
  if (count == 0) return nullptr;
  auto** options = static_cast<AVDictionary**>(av_calloc(count, sizeof(AVDictionary*)));
  if (options == nullptr) return nullptr;
  for (unsigned i = 0; i < count; ++i)
    av_dict_set_int(&options[i], "max_pixels", kMaxPixels, 0);
  return options;
}

void free_stream_options(AVDictionary** options, unsigned count) {
  if (options == nullptr) return;
  for (unsigned i = 0; i < count; ++i) av_dict_free(&options[i]);
  av_free(options);
}

void limit_decoder(AVCodecContext* dec_ctx) { dec_ctx->max_pixels = kMaxPixels; }

}  // namespace korvel
