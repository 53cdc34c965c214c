// convert_format, trim_video and mute_video: one stream-copy routine that
// differs only in muxer, audio selection and time window.
#include <cmath>
#include <cstring>
#include <limits>

#include "io/c_boundary.h"
#include "io/ffmpeg_handles.h"
#include "io/time_values.h"
#include "korvel.h"
#include "remux/stream_copy.h"

namespace korvel {
namespace {

constexpr AVRational kMicroseconds{1, 1000000};

// The muxer short name: the caller's, or the input's own name up to its first
// comma ("mov,mp4,m4a,3gp,3g2,mj2" gives "mov", written as "mp4").
const char* choose_muxer_name(const char* format, const AVFormatContext* demuxer,
                              char (&derived)[32]) {
  if (format != nullptr && format[0] != '\0') return format;
  const char* name = demuxer->iformat->name;
  const char* comma = std::strchr(name, ',');
  if (comma == nullptr) return name;
  const size_t length = std::min<size_t>(static_cast<size_t>(comma - name), 31);
  std::memcpy(derived, name, length);
  derived[length] = '\0';
  if (std::strcmp(derived, "mov") == 0) return "mp4";
  return derived;
}

// A window bound counts only when greater than 0 (NaN included as "no bound").
struct TimeWindow {
  bool has_start;
  bool active;
  int64_t start_us;
  int64_t lower_us;
  int64_t end_us;
};

TimeWindow make_window(double start, double end) {
  TimeWindow w{};
  w.has_start = start > 0;
  w.active = start > 0 || end > 0;
  w.start_us = w.has_start ? seconds_to_microseconds(start) : 0;
  w.lower_us = w.start_us;
  w.end_us = end > 0 ? seconds_to_microseconds(end) : std::numeric_limits<int64_t>::max();
  return w;
}

PacketVerdict apply_window(const TimeWindow& w, AVPacket* pkt, const AVStream* in) {
  if (!w.active) return PacketVerdict::kWrite;
  const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  const int64_t time_us = av_rescale_q(ts, in->time_base, kMicroseconds);
  if (time_us < w.lower_us) return PacketVerdict::kSkip;
  if (time_us > w.end_us) return PacketVerdict::kStop;
  if (w.has_start) {
    // Move the window's start to 0; nothing may end up negative or unset.
    const int64_t offset = av_rescale_q(w.start_us, kMicroseconds, in->time_base);
    for (int64_t* ts_field : {&pkt->pts, &pkt->dts}) {
      if (*ts_field == AV_NOPTS_VALUE) {
        *ts_field = 0;
      } else {
        *ts_field = *ts_field - offset < 0 ? 0 : *ts_field - offset;
      }
    }
  }
  return PacketVerdict::kWrite;
}

uint8_t* remux_selected(const uint8_t* data, uint64_t size, const char* format,
                        bool include_audio, uint64_t* out_size, double start,
                        double end) {
  // Declared so that destruction runs: map, packet, output, input.
  InputSession input;
  OutputSession output;
  PacketPtr pkt;
  StreamMap map;

  if (open_memory_input(data, size, &input) < 0) return nullptr;
  char derived[32];
  const char* muxer_name = choose_muxer_name(format, input.demuxer, derived);
  if (open_memory_output(&output, muxer_name) < 0) return nullptr;
  if (start <= 0 && end <= 0) expect_output_size(&output, size);
  const StreamSelection selection = include_audio
                                        ? StreamSelection::kVideoAudioSubtitle
                                        : StreamSelection::kVideoSubtitle;
  if (build_stream_map(input.demuxer, output.muxer, selection, &map) < 0)
    return nullptr;
  if (avformat_write_header(output.muxer, nullptr) < 0) return nullptr;

  const TimeWindow window = make_window(start, end);
  if (window.has_start) {
    // When the seek fails reading starts where the demuxer stands; the window
    // test still drops everything before the start.
    av_seek_frame(input.demuxer, -1, window.start_us, AVSEEK_FLAG_BACKWARD);
  }
  pkt = make_packet();
  if (!pkt) return nullptr;

  if (copy_packets(
          input.demuxer, output.muxer, map, pkt.get(),
          [&](AVPacket* p, const AVStream* in) { return apply_window(window, p, in); },
          [](AVPacket*, int) {}) < 0)
    return nullptr;
  return take_output_bytes(&output, out_size);
}

}  // namespace
}  // namespace korvel

extern "C" {

uint8_t* convert_format(const uint8_t* data, uint64_t size, const char* format,
                        uint64_t* out_size) {
  return korvel::produce(out_size, [&] {
    return korvel::remux_selected(data, size, format, true, out_size, -1.0, -1.0);
  });
}

uint8_t* trim_video(const uint8_t* data, uint64_t size, uint64_t* out_size,
                    double start, double end) {
  return korvel::produce(out_size, [&] {
    return korvel::remux_selected(data, size, nullptr, true, out_size, start, end);
  });
}

uint8_t* mute_video(const uint8_t* data, uint64_t size, uint64_t* out_size) {
  return korvel::produce(out_size, [&] {
    return korvel::remux_selected(data, size, nullptr, false, out_size, -1.0, -1.0);
  });
}

}  // extern "C"
