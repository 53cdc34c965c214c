#include "video/h264_output.h"

extern "C" {
#include <libavutil/opt.h>
}

#include "io/ffmpeg_compat.h"
#include "video/picture_converter.h"

namespace korvel {
namespace h264 {

namespace {

void configure_encoder(AVCodecContext* enc_ctx, AVFormatContext* demuxer,
                       AVStream* video, const H264Settings& settings) {
  enc_ctx->width = settings.encoder_width;
  enc_ctx->height = settings.encoder_height;
  enc_ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  // Decoded pictures keep their timestamps, so the encoder counts in the
  // input stream's units.
  enc_ctx->time_base = video->time_base;
  const AVRational rate = av_guess_frame_rate(demuxer, video, nullptr);
  if (rate.num > 0 && rate.den > 0) enc_ctx->framerate = rate;
  // A value libx264 refuses makes avcodec_open2 fail; av_opt_set's own
  // result adds nothing.
  av_opt_set(enc_ctx->priv_data, "crf", settings.crf, 0);
  av_opt_set(enc_ctx->priv_data, "preset", settings.preset, 0);
}

// Output stream 1 carries the first audio stream; the map sends the video to
// 0, the audio to 1 and drops every other input stream.
int add_audio_and_map(AVFormatContext* demuxer, AVFormatContext* muxer, int video_index,
                      int audio_index, StreamMap* map, int* out_audio_index) {
  map->assign(demuxer->nb_streams, -1);
  (*map)[static_cast<size_t>(video_index)] = 0;
  *out_audio_index = -1;
  if (audio_index < 0) return 0;
  if (add_copied_stream(muxer, demuxer->streams[audio_index], true) == nullptr) return -1;
  (*map)[static_cast<size_t>(audio_index)] = 1;
  *out_audio_index = 1;
  return 0;
}

}  // namespace

H264Setup open_h264_output(const InputSession& in, int video_index,
                           const AVCodecContext* dec_ctx, const H264Settings& settings,
                           const H264Output& owners) {
  CodecPtrConst codec = avcodec_find_encoder_by_name("libx264");
  if (codec == nullptr) return H264Setup::kNoEncoder;
  AVStream* video = in.demuxer->streams[video_index];
  const AVCodecParameters* par = video->codecpar;
  *owners.sws = make_converter(par->width, par->height, dec_ctx->pix_fmt,
                               settings.converter_width, settings.converter_height,
                               AV_PIX_FMT_YUV420P);
  if (!*owners.sws) return H264Setup::kFailed;

  owners.enc_ctx->reset(avcodec_alloc_context3(codec));
  AVCodecContext* enc_ctx = owners.enc_ctx->get();
  if (enc_ctx == nullptr) return H264Setup::kFailed;
  configure_encoder(enc_ctx, in.demuxer, video, settings);

  if (alloc_output_muxer(owners.output, "mp4") < 0) return H264Setup::kFailed;
  AVFormatContext* muxer = owners.output->muxer;
  apply_global_header_rule(muxer->oformat, enc_ctx);  // before the encoder opens
  if (avcodec_open2(enc_ctx, codec, nullptr) < 0) return H264Setup::kFailed;
  if (open_output_buffer(owners.output) < 0) return H264Setup::kFailed;

  if (add_encoded_stream(muxer, enc_ctx) == nullptr) return H264Setup::kFailed;
  if (owners.map != nullptr &&
      add_audio_and_map(in.demuxer, muxer, video_index, settings.audio_index, owners.map,
                        owners.out_audio_index) < 0)
    return H264Setup::kFailed;
  return avformat_write_header(muxer, nullptr) < 0 ? H264Setup::kFailed : H264Setup::kOk;
}

FramePtr make_yuv420p_frame(int width, int height) {
  FramePtr frame = make_frame();
  if (!frame) return nullptr;
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
  return frame;
}

int encode_and_write(AVCodecContext* enc_ctx, const AVFrame* frame, AVPacket* pkt,
                     AVFormatContext* muxer) {
  const AVRational rate = enc_ctx->framerate;
  return korvel::encode_and_write(enc_ctx, frame, pkt, muxer, 0, [&](AVPacket* p) {
    // libx264 leaves packet durations unset on older FFmpeg; the MP4 muxer
    // then gives the last picture no time at all and the file comes out one
    // frame short. One frame at the stream's rate is what that picture had.
    if (p->duration <= 0 && rate.num > 0 && rate.den > 0)
      p->duration = av_rescale_q(1, av_inv_q(rate), enc_ctx->time_base);
  });
}

}  // namespace h264
}  // namespace korvel
