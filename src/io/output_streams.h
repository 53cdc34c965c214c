// Rules shared by every operation that writes streams: how copied and encoded
// output streams are made, and how packets reach the muxer.
#pragma once

#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace korvel {

// For each input stream, the output stream receiving its packets, or -1.
using StreamMap = std::vector<int>;

// The output index for a packet read from `demuxer`, or -1 when the packet's
// stream is unknown or dropped.
int map_packet(const StreamMap& map, const AVFormatContext* demuxer,
               const AVPacket* pkt);

// A new output stream carrying `in`'s compressed packets unchanged: codec
// parameters only (codec_tag cleared so the muxer picks its own). With
// `keep_time_base` the input's time base is proposed to the muxer; otherwise
// the muxer chooses one when the header is written. Null on failure.
AVStream* add_copied_stream(AVFormatContext* muxer, const AVStream* in,
                            bool keep_time_base);

// A new output stream fed by the opened encoder `enc`. Null on failure.
AVStream* add_encoded_stream(AVFormatContext* muxer, const AVCodecContext* enc);

// Containers that keep codec headers out of band (MP4) need the encoder to
// produce them as extradata; call before avcodec_open2.
void apply_global_header_rule(const AVOutputFormat* format, AVCodecContext* enc);

// Rescales `pkt` from `in_time_base` to output stream `out_index`'s time base
// (as set by the header) and renumbers it. Does not write.
void rescale_to_output(AVPacket* pkt, AVRational in_time_base,
                       const AVFormatContext* muxer, int out_index);

// Hands `pkt` to the interleaving muxer and unreferences it. Returns the
// muxer's result: a refused packet is lost and the operation goes on, unless
// the muxer ran out of memory (AVERROR(ENOMEM)), which fails the call.
int write_and_unref(AVFormatContext* muxer, AVPacket* pkt);

// The packet-copy rule: rescale, forget the input byte position, write.
int write_copied_packet(AVPacket* pkt, AVRational in_time_base,
                        AVFormatContext* muxer, int out_index);

// The encoded-packet rule for a packet from avcodec_receive_packet.
int write_encoded_packet(AVPacket* pkt, const AVCodecContext* enc,
                         AVFormatContext* muxer, int out_index);

}  // namespace korvel
