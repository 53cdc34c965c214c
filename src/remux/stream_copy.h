// The stream-copy mechanism shared by the remux operations: which input
// streams become output streams, and the packet loop that moves them.
#pragma once

#include "io/decoding.h"
#include "io/memory_input.h"
#include "io/memory_output.h"
#include "io/output_streams.h"

namespace korvel {

enum class StreamSelection {
  kVideoAudioSubtitle,  // every video, audio and subtitle stream
  kVideoSubtitle,       // the same without audio
  kVideoAudio,          // video and audio only
};

// Makes an output stream for every selected input stream, densely numbered in
// input order, and records it in `map` (-1 for a dropped stream). Returns 0,
// or -1 when a stream cannot be made.
int build_stream_map(const AVFormatContext* demuxer, AVFormatContext* muxer,
                     StreamSelection selection, StreamMap* map);

// Routes the streams of a further input (`demuxer`) into output streams that
// `first_map` already made for `first`: each stream goes to the output of
// `first`'s lowest-indexed mapped stream of the same media type, or -1 when
// there is none. No output stream is made and no codec parameter compared.
void attach_by_media_type(const AVFormatContext* demuxer,
                          const AVFormatContext* first,
                          const StreamMap& first_map, StreamMap* map);

// What an operation decides for one packet before it is rescaled.
enum class PacketVerdict { kWrite, kSkip, kStop };

// Reads `demuxer` to its end (or to a kStop verdict) and writes every mapped
// packet by the packet-copy rule, rescaling from the time base of the
// `demuxer` stream it was read from. `before_rescale(pkt, in_stream)` may change
// timestamps in the input time base and decides the packet's fate;
// `after_rescale(pkt, out_index)` may change them in the output time base.
// Returns 0, or AVERROR(ENOMEM) when reading or writing ran out of memory.
template <typename BeforeRescale, typename AfterRescale>
int copy_packets(AVFormatContext* demuxer, AVFormatContext* muxer, const StreamMap& map,
                 AVPacket* pkt, BeforeRescale&& before_rescale,
                 AfterRescale&& after_rescale) {
  int ret;
  while ((ret = read_packet(demuxer, pkt)) > 0) {
    const int out_index = map_packet(map, demuxer, pkt);
    if (out_index < 0) {
      av_packet_unref(pkt);
      continue;
    }
    const AVStream* in_stream = demuxer->streams[pkt->stream_index];
    const PacketVerdict verdict = before_rescale(pkt, in_stream);
    if (verdict != PacketVerdict::kWrite) {
      av_packet_unref(pkt);
      if (verdict == PacketVerdict::kStop) break;
      continue;
    }
    rescale_to_output(pkt, in_stream->time_base, muxer, out_index);
    after_rescale(pkt, out_index);
    pkt->pos = -1;
    ret = write_and_unref(muxer, pkt);
    if (out_of_memory(ret)) return ret;
  }
  return ret < 0 ? ret : 0;
}

// The plain loop: every mapped packet, timestamps only rescaled.
inline int copy_packets(AVFormatContext* demuxer, AVFormatContext* muxer,
                        const StreamMap& map, AVPacket* pkt) {
  return copy_packets(
      demuxer, muxer, map, pkt,
      [](AVPacket*, const AVStream*) { return PacketVerdict::kWrite; },
      [](AVPacket*, int) {});
}

}  // namespace korvel
