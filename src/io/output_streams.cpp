#include "io/output_streams.h"

namespace korvel {

int map_packet(const StreamMap& map, const AVFormatContext* demuxer,
               const AVPacket* pkt) {
  const int index = pkt->stream_index;
  if (index < 0 || static_cast<unsigned>(index) >= demuxer->nb_streams ||
      static_cast<size_t>(index) >= map.size())
    return -1;
  return map[static_cast<size_t>(index)];
}

AVStream* add_copied_stream(AVFormatContext* muxer, const AVStream* in,
                            bool keep_time_base) {
  AVStream* out = avformat_new_stream(muxer, nullptr);
  if (out == nullptr) return nullptr;
  if (avcodec_parameters_copy(out->codecpar, in->codecpar) < 0) return nullptr;
  out->codecpar->codec_tag = 0;
  if (keep_time_base) out->time_base = in->time_base;
  return out;
}

AVStream* add_encoded_stream(AVFormatContext* muxer, const AVCodecContext* enc) {
  AVStream* out = avformat_new_stream(muxer, nullptr);
  if (out == nullptr) return nullptr;
  // Without the encoder's extradata (an allocation that can fail) the
  // header would describe a stream no player can decode.
  if (avcodec_parameters_from_context(out->codecpar, enc) < 0) return nullptr;
  out->time_base = enc->time_base;
  return out;
}

void apply_global_header_rule(const AVOutputFormat* format, AVCodecContext* enc) {
  if (format != nullptr && (format->flags & AVFMT_GLOBALHEADER))
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
}

void rescale_to_output(AVPacket* pkt, AVRational in_time_base,
                       const AVFormatContext* muxer, int out_index) {
  pkt->stream_index = out_index;
  // The muxer may have changed the stream's time base while writing the header.
  av_packet_rescale_ts(pkt, in_time_base, muxer->streams[out_index]->time_base);
}

int write_and_unref(AVFormatContext* muxer, AVPacket* pkt) {
  const int ret = av_interleaved_write_frame(muxer, pkt);
  av_packet_unref(pkt);
  return ret;
}

int write_copied_packet(AVPacket* pkt, AVRational in_time_base,
                        AVFormatContext* muxer, int out_index) {
  rescale_to_output(pkt, in_time_base, muxer, out_index);
  pkt->pos = -1;
  return write_and_unref(muxer, pkt);
}

int write_encoded_packet(AVPacket* pkt, const AVCodecContext* enc,
                         AVFormatContext* muxer, int out_index) {
  rescale_to_output(pkt, enc->time_base, muxer, out_index);
  return write_and_unref(muxer, pkt);
}

}  // namespace korvel
