// change_speed: an MP4 copy of the video and audio packets whose timestamps
// and durations are divided by a speed factor. No sample or picture changes.
#include <cmath>
#include <limits>

#include "io/c_boundary.h"
#include "io/ffmpeg_handles.h"
#include "io/time_values.h"
#include "korvel.h"
#include "remux/stream_copy.h"

namespace korvel {
namespace {

// Factors outside this range are refused before the input is read. Below it,
// ordinary timestamps (a few hours in a 1/90000 time base) are pushed towards
// the edge of the 64-bit range, and anything from 1e-300 on overflows; above
// it, whole files collapse into a few ticks and every duration truncates to
// zero. Infinity and NaN fall outside too.
constexpr double kMinFactor = 0.001;
constexpr double kMaxFactor = 1000.0;

bool factor_accepted(double factor) {
  return factor >= kMinFactor && factor <= kMaxFactor;
}

// t / factor truncated toward zero (66.67 gives 66, -2.5 gives -2).
int64_t divide_timestamp(int64_t t, double factor) {
  return truncate_to_int64(static_cast<double>(t) / factor);
}

// Runs in the input stream's time base, before the packet is rescaled.
PacketVerdict scale_packet(AVPacket* pkt, double factor) {
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = divide_timestamp(pkt->pts, factor);
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = divide_timestamp(pkt->dts, factor);
  if (pkt->duration > 0) pkt->duration = divide_timestamp(pkt->duration, factor);
  return PacketVerdict::kWrite;
}

uint8_t* speed_copy(const uint8_t* data, uint64_t size, uint64_t* out_size,
                    double factor) {
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
  if (avformat_write_header(output.muxer, nullptr) < 0) return nullptr;
  pkt = make_packet();
  if (!pkt) return nullptr;
  if (copy_packets(
          input.demuxer, output.muxer, map, pkt.get(),
          [factor](AVPacket* p, const AVStream*) { return scale_packet(p, factor); },
          [](AVPacket*, int) {}) < 0)
    return nullptr;
  return take_output_bytes(&output, out_size);
}

}  // namespace
}  // namespace korvel

extern "C" {

uint8_t* change_speed(const uint8_t* data, uint64_t size, uint64_t* out_size,
                      double factor) {
  return korvel::produce(out_size, [&]() -> uint8_t* {
    if (!korvel::factor_accepted(factor)) return nullptr;
    return korvel::speed_copy(data, size, out_size, factor);
  });
}

}  // extern "C"
