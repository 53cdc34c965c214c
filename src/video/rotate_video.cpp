// rotate_video: the first video stream turned by a quarter or half turn and
// encoded as H.264, the first audio stream copied.
#include "io/c_boundary.h"
#include "io/decoding.h"
#include "korvel.h"
#include "video/h264_output.h"
#include "video/picture_converter.h"
#include "video/rotate_frame.h"

namespace korvel {
namespace {

using h264::even;

// 90, 180 or 270 for a quarter or half turn in either direction, else 0.
int normalise_angle(int degrees) {
  const int angle = ((degrees % 360) + 360) % 360;
  return angle == 90 || angle == 180 || angle == 270 ? angle : 0;
}

// Converts one decoded picture to 4:2:0 at its own size, turns it and
// encodes it. A picture no converter can be made for is left out. 0 or
// AVERROR(ENOMEM).
int turn_picture(SwsPtr* sws, const AVFrame* frame, AVFrame* converted, int angle,
                 AVCodecContext* enc_ctx, AVPacket* enc_pkt, AVFormatContext* muxer) {
  const int ret = convert_into(sws, frame, converted);
  if (ret < 0) return out_of_memory(ret) ? ret : 0;
  converted->pts = h264::picture_pts(frame);
  FramePtr turned = rotate_frame_yuv420p(converted, angle);
  if (!turned) return AVERROR(ENOMEM);
  turned->pts = converted->pts;
  // An odd source gives a turned frame one sample wider or higher than the
  // even encoder size; libx264 reads the top-left part either way, and
  // announcing exactly that part keeps size checks in the encoder layer happy.
  turned->width = enc_ctx->width;
  turned->height = enc_ctx->height;
  return h264::encode_and_write(enc_ctx, turned.get(), enc_pkt, muxer);
}

uint8_t* rotate(const uint8_t* data, uint64_t size, int degrees, uint64_t* out_size) {
  const int angle = normalise_angle(degrees);
  if (angle == 0) return nullptr;

  // Declared so that destruction runs: map, converted frame, decoded frame,
  // encoder packet, read packet, converter, encoder, decoder, output, input.
  // Each turned frame is freed as soon as it has been sent.
  InputSession input;
  OutputSession output;
  CodecContextPtr dec_ctx;
  CodecContextPtr enc_ctx;
  SwsPtr sws;
  PacketPtr pkt;
  PacketPtr enc_pkt;
  FramePtr frame;
  FramePtr converted;
  StreamMap map;
  int out_audio_index = -1;

  if (open_memory_input(data, size, &input) < 0) return nullptr;
  const int video_index = first_stream_of_type(input.demuxer, AVMEDIA_TYPE_VIDEO);
  if (video_index < 0) return nullptr;
  const int audio_index = first_stream_of_type(input.demuxer, AVMEDIA_TYPE_AUDIO);
  const AVStream* video = input.demuxer->streams[video_index];
  const int width = video->codecpar->width, height = video->codecpar->height;
  dec_ctx = open_decoder(video, DecoderThreads::kAuto);
  if (!dec_ctx) return nullptr;

  h264::H264Settings settings;
  const bool quarter = angle != 180;
  settings.encoder_width = even(quarter ? height : width);
  settings.encoder_height = even(quarter ? width : height);
  settings.converter_width = width;
  settings.converter_height = height;
  settings.audio_index = audio_index;
  if (h264::open_h264_output(input, video_index, dec_ctx.get(), settings,
                             {&enc_ctx, &output, &sws, &map, &out_audio_index}) !=
      h264::H264Setup::kOk)
    return nullptr;

  pkt = make_packet();
  enc_pkt = make_packet();
  frame = make_frame();
  if (!pkt || !enc_pkt || !frame) return nullptr;
  converted = h264::make_yuv420p_frame(width, height);
  if (!converted) return nullptr;

  AVFormatContext* muxer = output.muxer;
  auto turn = [&](AVFrame* decoded) {
    return turn_picture(&sws, decoded, converted.get(), angle, enc_ctx.get(), enc_pkt.get(),
                        muxer);
  };
  int ret;
  while ((ret = read_packet(input.demuxer, pkt.get())) > 0) {
    const int out_index = map_packet(map, input.demuxer, pkt.get());
    if (out_index == 0) {
      ret = decode_packet(dec_ctx.get(), pkt.get(), frame.get(), turn);
    } else if (out_index > 0 && out_index == out_audio_index) {
      ret = write_copied_packet(pkt.get(), input.demuxer->streams[audio_index]->time_base,
                                muxer, out_audio_index);
    }
    av_packet_unref(pkt.get());
    if (out_of_memory(ret)) return nullptr;
  }
  if (ret < 0) return nullptr;
  if (decode_packet(dec_ctx.get(), nullptr, frame.get(), turn) < 0) return nullptr;
  if (h264::encode_and_write(enc_ctx.get(), nullptr, enc_pkt.get(), muxer) < 0) return nullptr;
  return take_output_bytes(&output, out_size);
}

}  // namespace
}  // namespace korvel

extern "C" uint8_t* rotate_video(const uint8_t* data, uint64_t size, int32_t degrees,
                                 uint64_t* out_size) {
  return korvel::produce(out_size,
                         [&] { return korvel::rotate(data, size, degrees, out_size); });
}
