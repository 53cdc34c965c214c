// get_video_info: a one-line JSON report of what a media file holds.
#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "io/decoding.h"
#include "io/ffmpeg_compat.h"
#include "io/memory_input.h"
#include "korvel.h"

namespace korvel {
namespace {

constexpr size_t kReportSize = 4096;

const char* codec_name(AVCodecID id) {
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
  return descriptor != nullptr ? descriptor->name : "unknown";
}

// "%.3f" without the process's numeric locale: JSON needs a decimal point
// whatever LC_NUMERIC says. to_chars rounds exactly as printf does.
struct Fixed3 {
  char text[64];
};
Fixed3 fixed3(double value) {
  Fixed3 out{};
  auto result = std::to_chars(out.text, out.text + sizeof out.text - 1, value,
                              std::chars_format::fixed, 3);
  *result.ptr = '\0';
  return out;
}

// Appends within the fixed buffer; the report's largest form is far below
// its size, so nothing is ever cut.
class Report {
 public:
  template <typename... Args>
  void append(const char* format, Args... args) {
    const int n = std::snprintf(buffer_ + length_, kReportSize - length_, format, args...);
    if (n > 0) length_ = std::min(length_ + static_cast<size_t>(n), kReportSize - 1);
  }
  const char* text() const { return buffer_; }

 private:
  char buffer_[kReportSize] = {};
  size_t length_ = 0;
};

char* build_report(const AVFormatContext* demuxer) {
  const int video = first_stream_of_type(demuxer, AVMEDIA_TYPE_VIDEO);
  const int audio = first_stream_of_type(demuxer, AVMEDIA_TYPE_AUDIO);
  const double duration =
      demuxer->duration > 0 ? static_cast<double>(demuxer->duration) / 1000000.0 : 0.0;

  Report report;
  report.append("{\"duration\":%s", fixed3(duration).text);
  report.append(",\"bitrate\":%" PRId64, static_cast<int64_t>(demuxer->bit_rate));
  report.append(",\"num_streams\":%u", demuxer->nb_streams);
  report.append(",\"has_video\":%s", video >= 0 ? "true" : "false");
  report.append(",\"has_audio\":%s", audio >= 0 ? "true" : "false");
  if (video >= 0) {
    AVStream* stream = demuxer->streams[video];
    const AVCodecParameters* par = stream->codecpar;
    const AVRational rate =
        av_guess_frame_rate(const_cast<AVFormatContext*>(demuxer), stream, nullptr);
    const double fps = rate.den > 0 ? static_cast<double>(rate.num) / rate.den : 0.0;
    report.append(",\"width\":%d,\"height\":%d", par->width, par->height);
    report.append(",\"video_codec\":\"%s\"", codec_name(par->codec_id));
    report.append(",\"fps\":%s", fixed3(fps).text);
  }
  if (audio >= 0) {
    const AVCodecParameters* par = demuxer->streams[audio]->codecpar;
    report.append(",\"audio_codec\":\"%s\"", codec_name(par->codec_id));
    report.append(",\"sample_rate\":%d", par->sample_rate);
    report.append(",\"channels\":%d", codecpar_channels(par));
  }
  report.append("}");
  return strdup(report.text());
}

}  // namespace
}  // namespace korvel

extern "C" char* get_video_info(const uint8_t* data, uint64_t size) {
  try {
    korvel::InputSession input;
    if (korvel::open_memory_input(data, size, &input) < 0) return nullptr;
    return korvel::build_report(input.demuxer);
  } catch (...) {
    return nullptr;
  }
}
