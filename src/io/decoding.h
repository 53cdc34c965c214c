// Finding an input's streams, opening their decoders, and the one loop that
// feeds a decoder and collects its frames.
#pragma once

#include "io/ffmpeg_handles.h"

namespace korvel {

// The lowest-indexed stream whose codec parameters have media type `type`
// (an attached cover picture counts as video), or -1.
int first_stream_of_type(const AVFormatContext* demuxer, AVMediaType type);

// kAuto: FFmpeg's automatic thread count with frame and slice threads, for
// paths that decode a whole stream. kSingle: one thread, for a path that
// stops after a picture or two, where starting threads costs more than it
// saves. Frames come out the same either way.
enum class DecoderThreads { kSingle, kAuto };

// A decoder for `stream`, filled from its codec parameters and opened under
// the pixel limit; null when FFmpeg has none for the codec or it cannot be
// opened.
CodecContextPtr open_decoder(const AVStream* stream,
                             DecoderThreads threads = DecoderThreads::kSingle);

// True when `ret` is FFmpeg running out of memory: the call must fail.
inline bool out_of_memory(int ret) { return ret == AVERROR(ENOMEM); }

// Sends `pkt` (null: drain at the end of input) and hands every frame the
// decoder then yields to `on_frame(frame)`, unreferencing it afterwards.
// `on_frame` returns 0 to go on, a positive value to stop receiving (the frame
// is then left in `frame`, not unreferenced) or a negative AVERROR to fail.
// Returns 0, the positive stop value, or a negative AVERROR: out of memory in
// the decoder, or on_frame's error. A packet the decoder refuses as damaged,
// or a frame it cannot decode, is skipped: 0.
template <typename OnFrame>
int decode_packet(AVCodecContext* dec_ctx, const AVPacket* pkt, AVFrame* frame,
                  OnFrame&& on_frame) {
  int ret = avcodec_send_packet(dec_ctx, pkt);
  if (ret < 0) return out_of_memory(ret) ? ret : 0;
  for (;;) {
    ret = avcodec_receive_frame(dec_ctx, frame);
    // EAGAIN: wants the next packet; EOF: drained.
    if (ret < 0) return out_of_memory(ret) ? ret : 0;
    const int verdict = on_frame(frame);
    if (verdict > 0) return verdict;
    av_frame_unref(frame);
    if (verdict < 0) return verdict;
  }
}

}  // namespace korvel
