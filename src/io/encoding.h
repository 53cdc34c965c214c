// The one loop that feeds an encoder and hands its packets to the muxer.
#pragma once

#include "io/decoding.h"
#include "io/output_streams.h"

namespace korvel {

// Sends `frame` (null: flush at the end of input) and hands every packet the
// encoder then yields to `on_packet(pkt)`, which takes its contents and
// returns 0 or an AVERROR. Returns 0, or AVERROR(ENOMEM) from the encoder or
// `on_packet`: the call must fail. A frame the encoder refuses for any other
// reason is lost and the output goes on without it.
template <typename OnPacket>
int encode_frame(AVCodecContext* enc_ctx, const AVFrame* frame, AVPacket* pkt,
                 OnPacket&& on_packet) {
  int ret = avcodec_send_frame(enc_ctx, frame);
  if (out_of_memory(ret)) return ret;
  // EAGAIN: wants the next frame; EOF: flushed.
  while ((ret = avcodec_receive_packet(enc_ctx, pkt)) == 0) {
    ret = on_packet(pkt);
    if (out_of_memory(ret)) return ret;
  }
  return out_of_memory(ret) ? ret : 0;
}

// encode_frame writing every packet to output stream `out_index` by the
// encoded-packet rule, after `before_write(pkt)` has seen it. A packet the
// muxer refuses is lost and the output goes on without it.
template <typename BeforeWrite>
int encode_and_write(AVCodecContext* enc_ctx, const AVFrame* frame, AVPacket* pkt,
                     AVFormatContext* muxer, int out_index, BeforeWrite&& before_write) {
  return encode_frame(enc_ctx, frame, pkt, [&](AVPacket* p) {
    before_write(p);
    return write_encoded_packet(p, enc_ctx, muxer, out_index);
  });
}

inline int encode_and_write(AVCodecContext* enc_ctx, const AVFrame* frame, AVPacket* pkt,
                            AVFormatContext* muxer, int out_index) {
  return encode_and_write(enc_ctx, frame, pkt, muxer, out_index, [](AVPacket*) {});
}

}  // namespace korvel
