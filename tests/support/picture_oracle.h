// Oracle facts about pictures, from ffprobe: the presentation timestamps of a
// file's first video stream, and which decoded picture is closest to another.
#pragma once

#include <cstdint>
#include <string>
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

}  // namespace korvel_test
