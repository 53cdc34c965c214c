// video_to_gif: the first video stream as an animated GIF, restricted to a
// time window, thinned to a target rate and scaled to a target width.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "io/c_boundary.h"
#include "io/decoding.h"
#include "io/encoding.h"
#include "io/ffmpeg_compat.h"
#include "io/ffmpeg_handles.h"
#include "io/memory_input.h"
#include "io/memory_output.h"
#include "io/output_streams.h"
#include "io/time_values.h"
#include "korvel.h"
#include "video/picture_converter.h"

namespace korvel {
namespace {

constexpr int kDefaultFps = 10;
constexpr int kDefaultWidth = 320;
constexpr double kNoWindowEnd = 1e18;  // seconds; later than any timestamp
constexpr double kFallbackSourceRate = 30.0;

struct GifSize {
  int width;
  int height;
};

// Which decoded pictures become GIF pictures: those inside [start, end]
// seconds, then every `divisor`-th of them. `seen` counts window pictures,
// `taken` numbers the GIF pictures in the encoder's 1/fps time base.
struct Thinning {
  double start;
  double end;
  int64_t divisor;
  int64_t seen;
  int64_t taken;
};

// The requested width rounded down to even; the height keeps the source's
// aspect ratio against the requested (unrounded) width, rounded to nearest,
// then down to even. False for a source without a size or a height beyond int.
bool compute_output_size(const AVCodecParameters* par, int requested_width,
                         GifSize* size) {
  if (par->width <= 0 || par->height <= 0) return false;
  const double height =
      std::fma(static_cast<double>(par->height) / static_cast<double>(par->width),
               static_cast<double>(requested_width), 0.5);
  if (!(height < 2147483648.0)) return false;
  size->width = requested_width & ~1;
  size->height = static_cast<int>(height) & ~1;
  return true;
}

CodecContextPtr open_gif_encoder(int fps, GifSize size) {
  CodecPtrConst codec = avcodec_find_encoder(AV_CODEC_ID_GIF);
  if (codec == nullptr) return nullptr;
  CodecContextPtr enc_ctx(avcodec_alloc_context3(codec));
  if (!enc_ctx) return nullptr;
  enc_ctx->time_base = AVRational{1, fps};
  enc_ctx->framerate = AVRational{fps, 1};
  enc_ctx->width = size.width;
  enc_ctx->height = size.height;
  enc_ctx->pix_fmt = AV_PIX_FMT_RGB8;
  if (avcodec_open2(enc_ctx.get(), codec, nullptr) < 0) return nullptr;
  return enc_ctx;
}

// The GIF muxer with one stream fed by `enc_ctx`, header written. 0 or -1.
int open_gif_output(OutputSession* output, const AVCodecContext* enc_ctx) {
  if (open_memory_output(output, "gif") < 0) return -1;
  if (add_encoded_stream(output->muxer, enc_ctx) == nullptr) return -1;
  return avformat_write_header(output->muxer, nullptr) < 0 ? -1 : 0;
}

// Source pictures per GIF picture: the source rate over the target rate,
// at least 1, rounded to nearest. An unknown source rate counts as 30.
int64_t skip_divisor(AVFormatContext* demuxer, AVStream* stream, int fps) {
  const AVRational rate = av_guess_frame_rate(demuxer, stream, nullptr);
  const double source_rate = rate.den > 0
                                 ? static_cast<double>(rate.num) / static_cast<double>(rate.den)
                                 : kFallbackSourceRate;
  const double step = std::max(source_rate / fps, 1.0);
  return static_cast<int64_t>(std::min(step + 0.5, 4611686018427387904.0));
}

double seconds(int64_t ts, AVRational time_base) {
  return static_cast<double>(time_base.num) / static_cast<double>(time_base.den) *
         static_cast<double>(ts);
}

// A packet's decoding time. Packets arrive in decoding order, so once one
// decodes after the window end, every picture inside the window has been sent
// to the decoder; a presentation time would stop too early with reordered
// pictures (a forward-predicted picture is read before the pictures it
// precedes on screen). A packet without timestamps counts as time 0.
double packet_time(const AVPacket* pkt, AVRational time_base) {
  if (pkt->dts != AV_NOPTS_VALUE) return seconds(pkt->dts, time_base);
  if (pkt->pts != AV_NOPTS_VALUE) return seconds(pkt->pts, time_base);
  return 0.0;
}

// Decides whether the decoded picture `frame` is taken, counting window
// pictures. Pictures without a timestamp have no place in the window.
bool take_picture(Thinning* thin, const AVFrame* frame, AVRational time_base) {
  if (frame->pts == AV_NOPTS_VALUE) return false;
  const double time = seconds(frame->pts, time_base);
  if (thin->start > time || time > thin->end) return false;
  const bool taken = thin->seen % thin->divisor == 0;
  ++thin->seen;
  return taken;
}

// Everything a taken picture passes through on its way to the muxer.
struct GifWriter {
  SwsPtr* sws;
  AVFrame* converted;
  AVCodecContext* enc_ctx;
  AVPacket* enc_pkt;
  AVFormatContext* muxer;
};

// Converts one decoded picture into the reused RGB8 frame and encodes it as
// GIF picture number `pts`. The converter follows the picture's own size and
// format, so a stream that changes them mid-way cannot make it read beyond a
// picture; a picture it cannot convert is skipped. 0 or AVERROR(ENOMEM).
int write_picture(GifWriter* gif, const AVFrame* frame, int64_t pts) {
  const int ret = convert_into(gif->sws, frame, gif->converted);
  if (ret < 0) return out_of_memory(ret) ? ret : 0;
  gif->converted->pts = pts;
  return encode_and_write(gif->enc_ctx, gif->converted, gif->enc_pkt, gif->muxer, 0);
}

// Writes a decoded picture when the window and the thinning take it.
int offer_picture(Thinning* thin, GifWriter* gif, const AVFrame* frame,
                  AVRational time_base) {
  if (!take_picture(thin, frame, time_base)) return 0;
  const int ret = write_picture(gif, frame, thin->taken);
  ++thin->taken;
  return ret;
}

// Reads the video packets up to the window end, then drains the decoder: the
// pictures it still holds (with reordered pictures, the last several) pass
// through the same window and thinning. 0 or AVERROR(ENOMEM).
int convert_video(AVFormatContext* demuxer, int video_index, AVCodecContext* dec_ctx,
                  AVPacket* pkt, AVFrame* frame, Thinning* thin, GifWriter* gif) {
  const AVRational time_base = demuxer->streams[video_index]->time_base;
  auto offer = [&](AVFrame* decoded) { return offer_picture(thin, gif, decoded, time_base); };
  int ret;
  while ((ret = read_packet(demuxer, pkt)) > 0) {
    if (pkt->stream_index != video_index) {
      av_packet_unref(pkt);
      continue;
    }
    if (packet_time(pkt, time_base) > thin->end) {
      av_packet_unref(pkt);
      break;
    }
    ret = decode_packet(dec_ctx, pkt, frame, offer);
    av_packet_unref(pkt);
    if (ret < 0) return ret;
  }
  if (ret < 0) return ret;
  return decode_packet(dec_ctx, nullptr, frame, offer);
}

uint8_t* video_to_gif_impl(const uint8_t* data, uint64_t size, int fps, int width,
                           uint64_t* out_size, double start, double duration) {
  fps = fps > 0 ? fps : kDefaultFps;
  const int requested_width = width > 0 ? width : kDefaultWidth;

  // Declared so that destruction runs: encoder packet, converter, converted
  // frame, decoded frame, read packet, encoder, decoder, output, input.
  InputSession input;
  OutputSession output;
  CodecContextPtr dec_ctx;
  CodecContextPtr enc_ctx;
  PacketPtr pkt;
  FramePtr frame;
  FramePtr converted;
  SwsPtr sws;
  PacketPtr enc_pkt;

  if (open_memory_input(data, size, &input) < 0) return nullptr;
  const int video_index = first_stream_of_type(input.demuxer, AVMEDIA_TYPE_VIDEO);
  if (video_index < 0) return nullptr;
  AVStream* video = input.demuxer->streams[video_index];
  dec_ctx = open_decoder(video, DecoderThreads::kAuto);
  if (!dec_ctx) return nullptr;
  GifSize out_dims{};
  if (!compute_output_size(video->codecpar, requested_width, &out_dims)) return nullptr;
  // Made first: a source whose size or pixel format is unknown or beyond the
  // pixel limit ends the call before the encoder and output exist.
  sws = make_converter(video->codecpar->width, video->codecpar->height, dec_ctx->pix_fmt,
                       out_dims.width, out_dims.height, AV_PIX_FMT_RGB8);
  if (!sws) return nullptr;
  enc_ctx = open_gif_encoder(fps, out_dims);
  if (!enc_ctx) return nullptr;
  if (open_gif_output(&output, enc_ctx.get()) < 0) return nullptr;
  pkt = make_packet();
  frame = make_frame();
  converted = make_frame();
  if (!pkt || !frame || !converted) return nullptr;
  converted->width = out_dims.width;
  converted->height = out_dims.height;
  converted->format = AV_PIX_FMT_RGB8;
  if (av_frame_get_buffer(converted.get(), 0) < 0) return nullptr;

  // Times count only when positive; the window is measured from the
  // effective start, so a negative start cannot pull its end before 0.
  const double window_start = start > 0 ? start : 0.0;
  if (start > 0) {
    // When the seek fails reading starts at the beginning; the window still
    // drops every picture before the start.
    const int64_t target = seconds_to_microseconds(start);
    av_seek_frame(input.demuxer, -1, target, AVSEEK_FLAG_BACKWARD);
  }
  enc_pkt = make_packet();
  if (!enc_pkt) return nullptr;
  Thinning thin{window_start, duration > 0 ? window_start + duration : kNoWindowEnd,
                skip_divisor(input.demuxer, video, fps), 0, 0};

  GifWriter gif{&sws, converted.get(), enc_ctx.get(), enc_pkt.get(), output.muxer};
  if (convert_video(input.demuxer, video_index, dec_ctx.get(), pkt.get(), frame.get(),
                    &thin, &gif) < 0)
    return nullptr;
  sws.reset();
  if (encode_and_write(enc_ctx.get(), nullptr, enc_pkt.get(), output.muxer, 0) < 0)
    return nullptr;
  enc_pkt.reset();
  return take_output_bytes(&output, out_size);
}

}  // namespace
}  // namespace korvel

extern "C" {

uint8_t* video_to_gif(const uint8_t* data, uint64_t size, int32_t fps, int32_t width,
                      uint64_t* out_size, double start, double duration) {
  return korvel::produce(out_size, [&] {
    return korvel::video_to_gif_impl(data, size, fps, width, out_size, start, duration);
  });
}

}  // extern "C"
