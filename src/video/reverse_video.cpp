// reverse_video: the first video stream played backwards, as H.264 in MP4.
// Every decoded picture is kept until the stream has been read, then the
// pictures are encoded from the last to the first.
#include <new>
#include <vector>

#include "io/c_boundary.h"
#include "io/decoding.h"
#include "korvel.h"
#include "video/h264_output.h"
#include "video/picture_converter.h"

namespace korvel {
namespace {

using h264::even;

// The decoded pictures in decoding order, each a new reference sharing the
// decoder's picture buffers. Room grows by doubling from 64.
struct FrameArray {
  std::vector<FramePtr> frames;

  // 0, or AVERROR(ENOMEM) when there is no room or the picture cannot be
  // referenced: a video with a picture missing is no result.
  int append(const AVFrame* frame) {
    if (frames.size() == frames.capacity()) {
      try {
        frames.reserve(frames.capacity() == 0 ? 64 : frames.capacity() * 2);
      } catch (const std::bad_alloc&) {
        return AVERROR(ENOMEM);
      }
    }
    FramePtr kept(av_frame_clone(frame));
    if (!kept) return AVERROR(ENOMEM);
    frames.push_back(std::move(kept));  // within capacity: no throw
    return 0;
  }
};

// Reads and decodes the whole video stream into `kept`, the frames the
// decoder yields only when drained included. 0 or AVERROR(ENOMEM).
int collect_pictures(AVFormatContext* demuxer, int video_index, AVCodecContext* dec_ctx,
                     AVPacket* pkt, AVFrame* frame, FrameArray* kept) {
  auto keep = [&](AVFrame* decoded) { return kept->append(decoded); };
  int ret;
  while ((ret = read_packet(demuxer, pkt)) > 0) {
    if (pkt->stream_index == video_index) ret = decode_packet(dec_ctx, pkt, frame, keep);
    av_packet_unref(pkt);
    if (ret < 0) return ret;
  }
  if (ret < 0) return ret;
  return decode_packet(dec_ctx, nullptr, frame, keep);
}

// Timestamp of the output picture showing `source_pts`: the source timeline
// mirrored, so that the last picture starts at 0 and the gaps between
// pictures (and with them the frame rate and duration) are the source's.
// Where the source's timestamps are missing or out of order, one tick after
// the previous output picture.
int64_t mirrored_pts(int64_t last_pts, int64_t source_pts, int64_t previous) {
  int64_t mirrored = 0;
  if (last_pts != AV_NOPTS_VALUE && source_pts != AV_NOPTS_VALUE &&
      !__builtin_sub_overflow(last_pts, source_pts, &mirrored) && mirrored > previous)
    return mirrored;
  return previous + 1;
}

// Converts and encodes the kept pictures from the last to the first. 0 or
// AVERROR(ENOMEM).
int encode_backwards(const FrameArray& kept, SwsPtr* sws, AVFrame* target,
                     AVCodecContext* enc_ctx, AVPacket* enc_pkt, AVFormatContext* muxer) {
  if (kept.frames.empty()) return 0;
  const int64_t last_pts = h264::picture_pts(kept.frames.back().get());
  int64_t previous = -1;
  for (auto it = kept.frames.rbegin(); it != kept.frames.rend(); ++it) {
    const AVFrame* frame = it->get();
    int ret = convert_into(sws, frame, target);
    if (out_of_memory(ret)) return ret;
    if (ret < 0) continue;
    previous = mirrored_pts(last_pts, h264::picture_pts(frame), previous);
    target->pts = previous;
    ret = h264::encode_and_write(enc_ctx, target, enc_pkt, muxer);
    if (ret < 0) return ret;
  }
  return 0;
}

uint8_t* reverse(const uint8_t* data, uint64_t size, uint64_t* out_size) {
  // Declared so that destruction runs: kept pictures, target frame, decoded
  // frame, encoder packet, read packet, converter, encoder, decoder, output,
  // input.
  InputSession input;
  OutputSession output;
  CodecContextPtr dec_ctx;
  CodecContextPtr enc_ctx;
  SwsPtr sws;
  PacketPtr pkt;
  PacketPtr enc_pkt;
  FramePtr frame;
  FramePtr target;
  FrameArray kept;

  if (open_memory_input(data, size, &input) < 0) return nullptr;
  const int video_index = first_stream_of_type(input.demuxer, AVMEDIA_TYPE_VIDEO);
  if (video_index < 0) return nullptr;
  const AVStream* video = input.demuxer->streams[video_index];
  dec_ctx = open_decoder(video, DecoderThreads::kAuto);
  if (!dec_ctx) return nullptr;

  h264::H264Settings settings;
  settings.encoder_width = settings.converter_width = even(video->codecpar->width);
  settings.encoder_height = settings.converter_height = even(video->codecpar->height);
  if (h264::open_h264_output(input, video_index, dec_ctx.get(), settings,
                             {&enc_ctx, &output, &sws, nullptr, nullptr}) !=
      h264::H264Setup::kOk)
    return nullptr;

  pkt = make_packet();
  enc_pkt = make_packet();
  frame = make_frame();
  if (!pkt || !enc_pkt || !frame) return nullptr;
  if (collect_pictures(input.demuxer, video_index, dec_ctx.get(), pkt.get(), frame.get(),
                       &kept) < 0)
    return nullptr;

  target = h264::make_yuv420p_frame(settings.encoder_width, settings.encoder_height);
  if (!target) return nullptr;
  if (encode_backwards(kept, &sws, target.get(), enc_ctx.get(), enc_pkt.get(),
                       output.muxer) < 0)
    return nullptr;
  if (h264::encode_and_write(enc_ctx.get(), nullptr, enc_pkt.get(), output.muxer) < 0)
    return nullptr;
  return take_output_bytes(&output, out_size);
}

}  // namespace
}  // namespace korvel

extern "C" uint8_t* reverse_video(const uint8_t* data, uint64_t size, uint64_t* out_size) {
  return korvel::produce(out_size, [&] { return korvel::reverse(data, size, out_size); });
}
