// The one loop that feeds an encoder and hands its packets to the muxer.
#pragma once

#include "io/decoding.h"
#include "io/output_streams.h"

namespace korvel {

// Sends `frame` (null: flush at the end of input) and writes every packet the
// encoder then yields to output stream `out_index` by the encoded-packet
// rule, after `before_write(pkt)` has seen it. Returns 0, or AVERROR(ENOMEM)
// from the encoder or the muxer: the call must fail. A frame the encoder
// refuses for any other reason, or a packet the muxer refuses, is lost and
// the output goes on without it.
template <typename BeforeWrite>
int encode_and_write(AVCodecContext* enc_ctx, const AVFrame* frame, AVPacket* pkt,
                     AVFormatContext* muxer, int out_index, BeforeWrite&& before_write) {
  int ret = avcodec_send_frame(enc_ctx, frame);
  if (out_of_memory(ret)) return ret;
  // EAGAIN: wants the next frame; EOF: flushed.
  while ((ret = avcodec_receive_packet(enc_ctx, pkt)) == 0) {
    before_write(pkt);
    ret = write_encoded_packet(pkt, enc_ctx, muxer, out_index);
    if (out_of_memory(ret)) return ret;
  }
  return out_of_memory(ret) ? ret : 0;
}

inline int encode_and_write(AVCodecContext* enc_ctx, const AVFrame* frame, AVPacket* pkt,
                            AVFormatContext* muxer, int out_index) {
  return encode_and_write(enc_ctx, frame, pkt, muxer, out_index, [](AVPacket*) {});
}

}  // namespace korvel
