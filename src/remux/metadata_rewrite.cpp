// strip_metadata and set_metadata: an MP4 copy of the video and audio packets
// that differs only in the container metadata handed to the muxer.
#include "io/c_boundary.h"
#include "io/ffmpeg_handles.h"
#include "korvel.h"
#include "remux/stream_copy.h"

extern "C" {
#include <libavutil/dict.h>
}

namespace korvel {
namespace {

// What the output's container dictionary holds when the header is written:
// nothing of the input's, or all of it with `key` set to `value`.
struct MetadataChange {
  bool keep_input;
  const char* key;
  const char* value;
};

void apply_metadata_change(const MetadataChange& change,
                           const AVFormatContext* demuxer, AVFormatContext* muxer) {
  av_dict_free(&muxer->metadata);
  if (!change.keep_input) return;
  av_dict_copy(&muxer->metadata, demuxer->metadata, 0);
  // Flags 0: both texts are copied, and an entry whose key differs only in
  // letter case is replaced. An empty value is stored, not a removal.
  av_dict_set(&muxer->metadata, change.key, change.value, 0);
}

uint8_t* rewrite_metadata(const uint8_t* data, uint64_t size,
                          const MetadataChange& change, uint64_t* out_size) {
  // Declared so that destruction runs: map, packet, output, input.
  InputSession input;
  OutputSession output;
  PacketPtr pkt;
  StreamMap map;

  if (open_memory_input(data, size, &input) < 0) return nullptr;
  if (open_memory_output(&output, "mp4") < 0) return nullptr;
  expect_output_size(&output, size);
  if (build_stream_map(input.demuxer, output.muxer, StreamSelection::kVideoAudio,
                       &map) < 0)
    return nullptr;
  apply_metadata_change(change, input.demuxer, output.muxer);
  if (avformat_write_header(output.muxer, nullptr) < 0) return nullptr;
  pkt = make_packet();
  if (!pkt) return nullptr;
  if (copy_packets(input.demuxer, output.muxer, map, pkt.get()) < 0) return nullptr;
  return take_output_bytes(&output, out_size);
}

}  // namespace
}  // namespace korvel

extern "C" {

uint8_t* strip_metadata(const uint8_t* data, uint64_t size, uint64_t* out_size) {
  return korvel::produce(out_size, [&] {
    return korvel::rewrite_metadata(data, size, {false, nullptr, nullptr}, out_size);
  });
}

uint8_t* set_metadata(const uint8_t* data, uint64_t size, const char* key,
                      const char* value, uint64_t* out_size) {
  return korvel::produce(out_size, [&]() -> uint8_t* {
    if (key == nullptr || value == nullptr) return nullptr;
    return korvel::rewrite_metadata(data, size, {true, key, value}, out_size);
  });
}

}  // extern "C"
