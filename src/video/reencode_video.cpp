// reencode_video: the first video stream as H.264 at a chosen quality, preset
// and size, the first audio stream copied.
#include <cmath>
#include <cstdio>

#include "io/c_boundary.h"
#include "io/decoding.h"
#include "korvel.h"
#include "video/h264_output.h"
#include "video/picture_converter.h"

namespace korvel {
namespace {

using h264::even;

struct PictureSize {
  int width = 0, height = 0;
};

// `along` / `across` times the caller's dimension, rounded to nearest in one
// fused multiply-add, then down to even. False when it leaves the int range.
bool scale_dimension(int along, int across, int requested, int* result) {
  const double value =
      std::fma(static_cast<double>(along) / static_cast<double>(across),
               static_cast<double>(requested), 0.5);
  if (!(value < 2147483648.0)) return false;
  *result = even(static_cast<int>(value));
  return true;
}

// The output size: the caller's dimensions, the missing one following the
// source's aspect ratio. A source without a size gives none (false).
bool output_size(const AVCodecParameters* par, int width, int height, PictureSize* size) {
  if (par->width <= 0 || par->height <= 0) return false;
  if (width <= 0 && height <= 0) {
    *size = {even(par->width), even(par->height)};
    return true;
  }
  if (width <= 0) {
    size->height = even(height);
    return scale_dimension(par->width, par->height, height, &size->width);
  }
  size->width = even(width);
  if (height > 0) {
    size->height = even(height);
    return true;
  }
  return scale_dimension(par->height, par->width, width, &size->height);
}

// Converts one decoded picture to the output size and encodes it. A picture
// no converter can be made for is left out. 0 or AVERROR(ENOMEM).
int encode_picture(SwsPtr* sws, const AVFrame* frame, AVFrame* target,
                   AVCodecContext* enc_ctx, AVPacket* enc_pkt, AVFormatContext* muxer) {
  const int ret = convert_into(sws, frame, target);
  if (ret < 0) return out_of_memory(ret) ? ret : 0;
  target->pts = h264::picture_pts(frame);
  return h264::encode_and_write(enc_ctx, target, enc_pkt, muxer);
}

uint8_t* reencode(const uint8_t* data, uint64_t size, int crf, const char* preset,
                  int width, int height, uint64_t* out_size) {
  // Declared so that destruction runs: map, converter, target frame, decoded
  // frame, read packet, encoder, decoder, output, input. The encoder's packet
  // is freed before the output is taken.
  InputSession input;
  OutputSession output;
  CodecContextPtr dec_ctx;
  CodecContextPtr enc_ctx;
  PacketPtr pkt;
  FramePtr frame;
  FramePtr target;
  SwsPtr sws;
  StreamMap map;
  int out_audio_index = -1;

  const char* preset_text = preset == nullptr || preset[0] == '\0' ? "medium" : preset;
  if (open_memory_input(data, size, &input) < 0) return nullptr;
  const int video_index = first_stream_of_type(input.demuxer, AVMEDIA_TYPE_VIDEO);
  if (video_index < 0) return nullptr;
  const int audio_index = first_stream_of_type(input.demuxer, AVMEDIA_TYPE_AUDIO);
  const AVStream* video = input.demuxer->streams[video_index];
  PictureSize out;
  if (!output_size(video->codecpar, width, height, &out)) return nullptr;
  dec_ctx = open_decoder(video, DecoderThreads::kAuto);
  if (!dec_ctx) return nullptr;

  char crf_text[8];
  std::snprintf(crf_text, sizeof crf_text, "%d", crf < 0 ? 23 : (crf > 51 ? 51 : crf));
  h264::H264Settings settings;
  settings.encoder_width = settings.converter_width = out.width;
  settings.encoder_height = settings.converter_height = out.height;
  settings.crf = crf_text;
  settings.preset = preset_text;
  settings.audio_index = audio_index;
  const h264::H264Setup setup = h264::open_h264_output(
      input, video_index, dec_ctx.get(), settings,
      {&enc_ctx, &output, &sws, &map, &out_audio_index});
  if (setup == h264::H264Setup::kNoEncoder) {
    std::fputs("libx264 encoder not found\n", stderr);
    return nullptr;
  }
  if (setup != h264::H264Setup::kOk) return nullptr;

  pkt = make_packet();
  frame = make_frame();
  if (!pkt || !frame) return nullptr;
  target = h264::make_yuv420p_frame(out.width, out.height);
  if (!target) return nullptr;
  PacketPtr enc_pkt = make_packet();
  if (!enc_pkt) return nullptr;

  AVFormatContext* muxer = output.muxer;
  auto encode = [&](AVFrame* decoded) {
    return encode_picture(&sws, decoded, target.get(), enc_ctx.get(), enc_pkt.get(), muxer);
  };
  int ret;
  while ((ret = read_packet(input.demuxer, pkt.get())) > 0) {
    const int out_index = map_packet(map, input.demuxer, pkt.get());
    if (out_index == 0) {
      ret = decode_packet(dec_ctx.get(), pkt.get(), frame.get(), encode);
    } else if (out_index > 0 && out_index == out_audio_index) {
      ret = write_copied_packet(pkt.get(), input.demuxer->streams[audio_index]->time_base,
                                muxer, out_audio_index);
    }
    av_packet_unref(pkt.get());
    if (out_of_memory(ret)) return nullptr;
  }
  if (ret < 0) return nullptr;
  if (decode_packet(dec_ctx.get(), nullptr, frame.get(), encode) < 0) return nullptr;
  if (h264::encode_and_write(enc_ctx.get(), nullptr, enc_pkt.get(), muxer) < 0) return nullptr;
  map = StreamMap();
  sws.reset();
  enc_pkt.reset();
  return take_output_bytes(&output, out_size);
}

}  // namespace
}  // namespace korvel

extern "C" uint8_t* reencode_video(const uint8_t* data, uint64_t size, int32_t crf,
                                   const char* preset, int32_t width, int32_t height,
                                   uint64_t* out_size) {
  return korvel::produce(out_size, [&] {
    return korvel::reencode(data, size, crf, preset, width, height, out_size);
  });
}
