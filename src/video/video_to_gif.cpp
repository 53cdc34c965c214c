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
// GIF delays are whole centiseconds, and players (browsers, FFmpeg's own
// reader) show a delay of 0 or 1 as 10: no GIF picture may follow the
// previous one by less than 2, so no rate above 50 a second is asked for.
constexpr AVRational kGifTimeBase{1, 100};
constexpr int64_t kMinDelay = 2;  // centiseconds
constexpr int kMaxFps = 50;
constexpr int kDefaultWidth = 320;
constexpr double kNoWindowEnd = 1e18;  // seconds; later than any timestamp
constexpr double kFallbackSourceRate = 30.0;

struct GifSize {
  int width;
  int height;
};

// Which decoded pictures become GIF pictures: those inside [start, end]
// seconds, then every `divisor`-th of them; `seen` counts window pictures.
// Each GIF picture is shown at its own source time measured from the first
// one (`first_pts`, in the stream's time base), so the GIF lasts as long as
// the source window whatever the thinning.
struct Thinning {
  double start;
  double end;
  int64_t divisor;
  int64_t seen;
  int64_t first_pts;  // AV_NOPTS_VALUE until the first picture is taken
  int64_t next_time;  // the earliest centisecond the next GIF picture may take
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
  enc_ctx->time_base = kGifTimeBase;  // the muxer's clock: no rounding twice
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

// The GIF time, in centiseconds, of the taken picture at source `pts`: its
// distance from the first taken picture, rounded to nearest, but never less
// than kMinDelay after the previous GIF picture (a source faster than 50
// pictures a second, or timestamps that go back, would otherwise produce
// delays that players stretch to 10).
int64_t gif_time(Thinning* thin, int64_t pts, AVRational time_base) {
  if (thin->first_pts == AV_NOPTS_VALUE) thin->first_pts = pts;
  int64_t since_first = 0;
  if (__builtin_sub_overflow(pts, thin->first_pts, &since_first))
    since_first = pts < thin->first_pts ? INT64_MIN + 1 : INT64_MAX;
  // An out-of-range result comes back as INT64_MIN and loses against next_time.
  const int64_t time = std::max(
      av_rescale_q_rnd(since_first, time_base, kGifTimeBase, AV_ROUND_NEAR_INF),
      thin->next_time);
  thin->next_time = time > INT64_MAX - kMinDelay ? INT64_MAX : time + kMinDelay;
  return time;
}

// Everything a taken picture passes through on its way to the muxer. Each
// encoded picture waits in `held` until the next one arrives: its delay is
// the time to the next picture, and some GIF muxers take that delay from the
// packet's duration rather than from the next packet's time.
struct GifWriter {
  SwsPtr* sws;
  AVFrame* converted;
  AVCodecContext* enc_ctx;
  AVPacket* enc_pkt;
  AVPacket* held;
  AVFormatContext* muxer;
  int64_t last_delay;  // centiseconds between the last two pictures written
};

// Writes the held picture, now that the next one (`pkt`) gives its delay,
// and holds `pkt` instead. 0, or an AVERROR from the muxer.
int hold_packet(GifWriter* gif, AVPacket* pkt) {
  int ret = 0;
  if (gif->held->data != nullptr) {
    gif->last_delay = pkt->pts - gif->held->pts;
    gif->held->duration = gif->last_delay;
    ret = write_encoded_packet(gif->held, gif->enc_ctx, gif->muxer, 0);
  }
  av_packet_move_ref(gif->held, pkt);
  return ret;
}

// Writes the last picture, shown as long as the one before it (a lone
// picture: the shortest delay players honour).
int write_last_packet(GifWriter* gif) {
  if (gif->held->data == nullptr) return 0;
  gif->held->duration = gif->last_delay > 0 ? gif->last_delay : kMinDelay;
  return write_encoded_packet(gif->held, gif->enc_ctx, gif->muxer, 0);
}

// Converts one decoded picture into the reused RGB8 frame and encodes it as
// the GIF picture at `pts` centiseconds. The converter follows the picture's own size and
// format, so a stream that changes them mid-way cannot make it read beyond a
// picture; a picture it cannot convert is skipped. 0 or AVERROR(ENOMEM).
int write_picture(GifWriter* gif, const AVFrame* frame, int64_t pts) {
  const int ret = convert_into(gif->sws, frame, gif->converted);
  if (ret < 0) return out_of_memory(ret) ? ret : 0;
  gif->converted->pts = pts;
  return encode_frame(gif->enc_ctx, gif->converted, gif->enc_pkt,
                      [gif](AVPacket* pkt) { return hold_packet(gif, pkt); });
}

// Writes a decoded picture when the window and the thinning take it.
int offer_picture(Thinning* thin, GifWriter* gif, const AVFrame* frame,
                  AVRational time_base) {
  if (!take_picture(thin, frame, time_base)) return 0;
  return write_picture(gif, frame, gif_time(thin, frame->pts, time_base));
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
  fps = fps > 0 ? std::min(fps, kMaxFps) : kDefaultFps;
  const int requested_width = width > 0 ? width : kDefaultWidth;

  // Declared so that destruction runs: held packet, encoder packet, converter, converted
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
  PacketPtr held;

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
                skip_divisor(input.demuxer, video, fps), 0, AV_NOPTS_VALUE, 0};

  held = make_packet();
  if (!held) return nullptr;
  GifWriter gif{&sws, converted.get(), enc_ctx.get(), enc_pkt.get(), held.get(), output.muxer, 0};
  if (convert_video(input.demuxer, video_index, dec_ctx.get(), pkt.get(), frame.get(),
                    &thin, &gif) < 0)
    return nullptr;
  sws.reset();
  if (encode_frame(enc_ctx.get(), nullptr, enc_pkt.get(),
                   [&gif](AVPacket* p) { return hold_packet(&gif, p); }) < 0 ||
      out_of_memory(write_last_packet(&gif)))
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
