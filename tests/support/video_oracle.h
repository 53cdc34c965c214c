// Helpers for the video operations' tests: picture timestamps from ffprobe,
// picture matching, inputs every operation must refuse, and the CLI.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace korvel_test {

// The first video stream's decoded pictures in presentation order: their pts
// in the stream's time base, and that time base.
struct PictureTimes {
  std::vector<int64_t> pts;
  int64_t tb_num = 0;
  int64_t tb_den = 0;
  double seconds(size_t i) const {
    return static_cast<double>(pts[i]) * static_cast<double>(tb_num) /
           static_cast<double>(tb_den);
  }
};

inline PictureTimes picture_times(const Bytes& media) {
  TempFile file(media);
  PictureTimes times;
  const nlohmann::json probed = probe_file(file.path());
  for (const auto& s : probed.value("streams", nlohmann::json::array())) {
    if (s.value("codec_type", "") != "video") continue;
    const std::string tb = s.value("time_base", "0/1");
    times.tb_num = std::stoll(tb.substr(0, tb.find('/')));
    times.tb_den = std::stoll(tb.substr(tb.find('/') + 1));
    break;
  }
  const std::string out =
      run("ffprobe -v error -select_streams v:0 -show_entries frame=pts -of csv=p=0 " +
          shell_quote(file.path()));
  size_t at = 0;
  while (at < out.size()) {
    const size_t end = out.find('\n', at);
    const std::string line = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!line.empty() && line != "N/A") times.pts.push_back(std::stoll(line));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return times;
}

// Index of the picture in `pictures` that `image` differs least from.
inline size_t closest_picture(const Bytes& image, const std::vector<Bytes>& pictures,
                              double* difference = nullptr) {
  size_t best = 0;
  double best_mad = 1e18;
  for (size_t i = 0; i < pictures.size(); ++i) {
    const double mad = mean_absolute_difference(image, pictures[i]);
    if (mad < best_mad) {
      best_mad = mad;
      best = i;
    }
  }
  if (difference != nullptr) *difference = best_mad;
  return best;
}

// Inputs that hold no decodable video: each must give null and length 0.
inline std::vector<std::pair<std::string, Bytes>> inputs_without_video() {
  const Bytes& mp4 = fixture("video_only.mp4");  // its index sits at the end
  return {{"empty", {}},
          {"not media", Bytes(4096, 'x')},
          {"truncated mp4", Bytes(mp4.begin(), mp4.begin() + static_cast<long>(mp4.size() / 2))},
          {"audio-only mp3", fixture("audio.mp3")},
          {"audio-only wav", fixture("audio.wav")},
          {"subtitle only", fixture("subtitle_only.mkv")}};
}

// The CLI as a shell word (api tests only: they define KORVEL_CLI_PATH), loading the library under test with the library
// path the tests run with (run() strips it for the oracle tools).
inline std::string korvel_cli() {
  const char* path = std::getenv("LD_LIBRARY_PATH");
  const std::string prefix = path ? "LD_LIBRARY_PATH=" + shell_quote(path) + " " : "";
  return prefix + shell_quote(KORVEL_CLI_PATH);
}

}  // namespace korvel_test
