// merge_videos: an MP4 holding every video and audio packet of a first file,
// then those of a second file moved in time so that each output stream
// continues where the first file's packets of that stream ended.
#include <limits>
#include <vector>

#include "io/c_boundary.h"
#include "io/ffmpeg_handles.h"
#include "korvel.h"
#include "remux/stream_copy.h"

namespace korvel {
namespace {

// Per output stream, in that stream's (post-header) time base.
struct StreamJoin {
  int64_t last_dts = 0;       // of the first file's last packet that had one
  int64_t last_duration = 0;  // that packet's duration; 0 or less counts as 1
  int64_t offset = 0;         // added to the second file's timestamps
  bool start_checked = false; // the second file's first dts has been seen
};

// Timestamp sums of a crafted file must not overflow; they saturate instead,
// staying clear of INT64_MIN (AV_NOPTS_VALUE).
int64_t add_saturating(int64_t a, int64_t b) {
  int64_t sum;
  if (__builtin_add_overflow(a, b, &sum))
    return b > 0 ? std::numeric_limits<int64_t>::max()
                 : std::numeric_limits<int64_t>::min() + 1;
  return sum == std::numeric_limits<int64_t>::min() ? sum + 1 : sum;
}

// First pass, after rescaling: remember where each stream ends.
void note_end(AVPacket* pkt, StreamJoin* join) {
  if (pkt->dts == AV_NOPTS_VALUE) return;
  join->last_dts = pkt->dts;
  join->last_duration = pkt->duration > 0 ? pkt->duration : 1;
}

// Second pass, after rescaling. Streams with reordered pictures (H.264 with
// B-frames in MP4) start their dts below 0; the plain offset would put those
// first packets at or before the first file's last dts, where the muxer
// refuses them and the second file loses its first key frame. So a negative
// first dts is moved up to the join point as well; a first dts of 0 or more
// keeps the plain offset.
void shift_into_place(AVPacket* pkt, StreamJoin* join) {
  if (!join->start_checked && pkt->dts != AV_NOPTS_VALUE) {
    join->start_checked = true;
    if (pkt->dts < 0) join->offset = add_saturating(join->offset, -pkt->dts);
  }
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = add_saturating(pkt->pts, join->offset);
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = add_saturating(pkt->dts, join->offset);
}

PacketVerdict write_unchanged(AVPacket*, const AVStream*) { return PacketVerdict::kWrite; }

uint8_t* join_files(const uint8_t* data, uint64_t size, const uint8_t* data2,
                    uint64_t size2, uint64_t* out_size) {
  // Declared so that destruction runs: per-stream state, first map, second
  // map, packet, output, first input, second input.
  InputSession second;
  InputSession first;
  OutputSession output;
  PacketPtr pkt;
  StreamMap second_map;
  StreamMap first_map;
  std::vector<StreamJoin> joins;

  if (open_memory_input(data, size, &first) < 0) return nullptr;
  if (open_memory_input(data2, size2, &second) < 0) return nullptr;
  if (open_memory_output(&output, "mp4") < 0) return nullptr;
  expect_output_size(&output, size + size2);
  if (build_stream_map(first.demuxer, output.muxer, StreamSelection::kVideoAudio,
                       &first_map) < 0)
    return nullptr;
  attach_by_media_type(second.demuxer, first.demuxer, first_map, &second_map);
  if (avformat_write_header(output.muxer, nullptr) < 0) return nullptr;
  joins.resize(output.muxer->nb_streams);
  pkt = make_packet();
  if (!pkt) return nullptr;

  if (copy_packets(first.demuxer, output.muxer, first_map, pkt.get(), write_unchanged,
                   [&](AVPacket* p, int k) { note_end(p, &joins[k]); }) < 0)
    return nullptr;
  for (StreamJoin& join : joins)
    join.offset = add_saturating(join.last_dts, join.last_duration);
  if (copy_packets(second.demuxer, output.muxer, second_map, pkt.get(), write_unchanged,
                   [&](AVPacket* p, int k) { shift_into_place(p, &joins[k]); }) < 0)
    return nullptr;
  return take_output_bytes(&output, out_size);
}

}  // namespace
}  // namespace korvel

extern "C" {

uint8_t* merge_videos(const uint8_t* data, uint64_t size, const uint8_t* data2,
                      uint64_t size2, uint64_t* out_size) {
  return korvel::produce(out_size, [&] {
    return korvel::join_files(data, size, data2, size2, out_size);
  });
}

}  // extern "C"
