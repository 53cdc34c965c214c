// extract_frame: one picture of the first video stream, at a requested time,
// as a JPEG or PNG image at the picture's own size.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "io/c_boundary.h"
#include "io/decoding.h"
#include "io/ffmpeg_compat.h"
#include "io/ffmpeg_handles.h"
#include "io/memory_input.h"
#include "io/time_values.h"
#include "korvel.h"
#include "video/picture_converter.h"

namespace korvel {
namespace {

struct ImageFormat {
  const char* encoder_name;
  AVPixelFormat pix_fmt;
};

// Exact, case-sensitive names; no name means JPEG.
bool choose_image_format(const char* format, ImageFormat* chosen) {
  if (format == nullptr || std::strcmp(format, "jpeg") == 0 ||
      std::strcmp(format, "jpg") == 0) {
    // Full-range 4:2:0, what the JPEG encoder takes without a range flag.
    *chosen = ImageFormat{"mjpeg", AV_PIX_FMT_YUVJ420P};
    return true;
  }
  if (std::strcmp(format, "png") == 0) {
    *chosen = ImageFormat{"png", AV_PIX_FMT_RGB24};
    return true;
  }
  return false;
}

// The first picture at or after `pts` is wanted; without a time, any picture.
struct Target {
  bool any;
  int64_t pts;
  bool reached(int64_t picture_pts) const { return any || picture_pts >= pts; }
};

Target make_target(double time, AVRational time_base) {
  if (!(time > 0)) return Target{true, 0};
  const double per_second =
      static_cast<double>(time_base.den) / static_cast<double>(time_base.num);
  return Target{false, truncate_to_int64(per_second * time)};
}

// Decodes the video stream until a picture reaches the target and points
// `*picture` at it (in `frame`). Each earlier picture replaces the one in
// `held`, which keeps its own reference because a receive that yields nothing
// empties `frame`. At the end of input the decoder is drained first, since
// with reordered pictures it still holds the last ones on screen; failing
// that, the latest picture before the target is used. `*picture` stays null
// when the stream yields no picture at all. Returns 0 or AVERROR(ENOMEM).
int find_picture(AVFormatContext* demuxer, int video_index, AVCodecContext* dec_ctx,
                 AVPacket* pkt, AVFrame* frame, AVFrame* held, const Target& target,
                 const AVFrame** picture) {
  auto until_target = [&](AVFrame* decoded) {
    if (target.reached(decoded->pts)) return 1;  // stays in `frame`
    av_frame_unref(held);
    av_frame_move_ref(held, decoded);
    return 0;
  };
  *picture = nullptr;
  int ret;
  while ((ret = read_packet(demuxer, pkt)) > 0) {
    if (pkt->stream_index != video_index) {
      av_packet_unref(pkt);
      continue;
    }
    ret = decode_packet(dec_ctx, pkt, frame, until_target);
    av_packet_unref(pkt);
    if (ret < 0) return ret;
    if (ret > 0) {
      *picture = frame;
      return 0;
    }
  }
  if (ret < 0) return ret;
  ret = decode_packet(dec_ctx, nullptr, frame, until_target);
  if (ret < 0) return ret;
  if (ret > 0) *picture = frame;
  else if (held->buf[0] != nullptr) *picture = held;
  return 0;
}

// `picture` converted to `format`'s pixel format at its own size, in
// `converted`. 0 or -1.
int convert_picture(const AVFrame* picture, const ImageFormat& format, SwsPtr* sws,
                    FramePtr* converted) {
  *sws = make_converter(picture->width, picture->height,
                        static_cast<AVPixelFormat>(picture->format), picture->width,
                        picture->height, format.pix_fmt);
  if (!*sws) return -1;
  *converted = make_frame();
  if (!*converted) return -1;
  AVFrame* out = converted->get();
  out->width = picture->width;
  out->height = picture->height;
  out->format = format.pix_fmt;
  if (av_frame_get_buffer(out, 0) < 0) return -1;
  sws_scale(sws->get(), picture->data, picture->linesize, 0, picture->height, out->data,
            out->linesize);
  return 0;
}

CodecContextPtr open_image_encoder(const ImageFormat& format, const AVFrame* converted) {
  CodecPtrConst codec = avcodec_find_encoder_by_name(format.encoder_name);
  if (codec == nullptr) return nullptr;
  CodecContextPtr enc_ctx(avcodec_alloc_context3(codec));
  if (!enc_ctx) return nullptr;
  enc_ctx->width = converted->width;
  enc_ctx->height = converted->height;
  enc_ctx->pix_fmt = format.pix_fmt;
  enc_ctx->time_base = AVRational{1, 1};
  if (std::strcmp(format.encoder_name, "mjpeg") == 0) {
    // The finest JPEG quantiser: a still is looked at closely.
    enc_ctx->qmin = 2;
    enc_ctx->qmax = 2;
  }
  if (avcodec_open2(enc_ctx.get(), codec, nullptr) < 0) return nullptr;
  return enc_ctx;
}

// Encodes the one picture and copies the encoder's first packet (a complete
// image file for these encoders) into a malloc block.
uint8_t* encode_image(AVCodecContext* enc_ctx, AVFrame* converted, AVPacket* enc_pkt,
                      uint64_t* out_size) {
  converted->pts = 0;
  avcodec_send_frame(enc_ctx, converted);
  avcodec_send_frame(enc_ctx, nullptr);
  if (avcodec_receive_packet(enc_ctx, enc_pkt) < 0 || enc_pkt->size <= 0) return nullptr;
  auto* block = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(enc_pkt->size)));
  if (block == nullptr) return nullptr;
  std::memcpy(block, enc_pkt->data, static_cast<size_t>(enc_pkt->size));
  *out_size = static_cast<uint64_t>(enc_pkt->size);
  return block;
}

uint8_t* extract_frame_impl(const uint8_t* data, uint64_t size, const ImageFormat& format,
                            uint64_t* out_size, double time) {
  // Declared so that destruction runs: encoder packet, converter, converted
  // frame, decoded frames, read packet, encoder, decoder, input.
  InputSession input;
  CodecContextPtr dec_ctx;
  CodecContextPtr enc_ctx;
  PacketPtr pkt;
  FramePtr frame;
  FramePtr held;
  FramePtr converted;
  SwsPtr sws;
  PacketPtr enc_pkt;

  if (open_memory_input(data, size, &input) < 0) return nullptr;
  const int video_index = first_stream_of_type(input.demuxer, AVMEDIA_TYPE_VIDEO);
  if (video_index < 0) return nullptr;
  const AVStream* video = input.demuxer->streams[video_index];
  dec_ctx = open_decoder(video, DecoderThreads::kSingle);  // stops after a picture or two
  if (!dec_ctx) return nullptr;
  if (time > 0) {
    // When the seek fails decoding starts where the demuxer stands; the
    // target test still skips the pictures before the time.
    av_seek_frame(input.demuxer, -1, seconds_to_microseconds(time),
                  AVSEEK_FLAG_BACKWARD);
  }
  pkt = make_packet();
  frame = make_frame();
  held = make_frame();
  if (!pkt || !frame || !held) return nullptr;
  const Target target = make_target(time, video->time_base);

  const AVFrame* picture = nullptr;
  if (find_picture(input.demuxer, video_index, dec_ctx.get(), pkt.get(), frame.get(),
                   held.get(), target, &picture) < 0 ||
      picture == nullptr)
    return nullptr;
  if (convert_picture(picture, format, &sws, &converted) < 0) return nullptr;
  enc_ctx = open_image_encoder(format, converted.get());
  if (!enc_ctx) return nullptr;
  enc_pkt = make_packet();
  if (!enc_pkt) return nullptr;
  uint8_t* image = encode_image(enc_ctx.get(), converted.get(), enc_pkt.get(), out_size);
  enc_pkt.reset();
  sws.reset();
  return image;
}

}  // namespace
}  // namespace korvel

extern "C" {

uint8_t* extract_frame(const uint8_t* data, uint64_t size, const char* format,
                       uint64_t* out_size, double time) {
  return korvel::produce(out_size, [&]() -> uint8_t* {
    korvel::ImageFormat chosen{};
    if (!korvel::choose_image_format(format, &chosen)) {
      std::fprintf(stderr, "Unsupported image format: %s\n", format);
      return nullptr;
    }
    return korvel::extract_frame_impl(data, size, chosen, out_size, time);
  });
}

}  // extern "C"
