#include "io/decoding.h"

#include "io/ffmpeg_compat.h"
#include "io/resource_limits.h"

namespace korvel {

namespace {
constexpr int64_t kThreadedDecodeMinPixels = 100000;  // about 320 x 312
}  // namespace

int first_stream_of_type(const AVFormatContext* demuxer, AVMediaType type) {
  for (unsigned i = 0; i < demuxer->nb_streams; ++i)
    if (demuxer->streams[i]->codecpar->codec_type == type) return static_cast<int>(i);
  return -1;
}

CodecContextPtr open_decoder(const AVStream* stream, DecoderThreads threads) {
  CodecPtrConst codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) return nullptr;
  CodecContextPtr dec_ctx(avcodec_alloc_context3(codec));
  if (!dec_ctx) return nullptr;
  // Parameters the context cannot take show when the decoder opens.
  avcodec_parameters_to_context(dec_ctx.get(), stream->codecpar);
  limit_decoder(dec_ctx.get());
  // Small pictures decode faster than threads start and hand over frames:
  // below this size a whole-stream video decode stays on the calling thread,
  // which also leaves the other cores to callers running several files at
  // once. Audio decoders keep the automatic count.
  const AVCodecParameters* par = stream->codecpar;
  const bool small_video = par->codec_type == AVMEDIA_TYPE_VIDEO &&
                           int64_t{par->width} * par->height < kThreadedDecodeMinPixels;
  if (threads == DecoderThreads::kAuto && !small_video) {
    dec_ctx->thread_count = 0;
    dec_ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  }
  if (avcodec_open2(dec_ctx.get(), codec, nullptr) < 0) return nullptr;
  return dec_ctx;
}

}  // namespace korvel
