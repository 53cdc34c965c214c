// get_video_info: the report is compared, byte for byte, with one built from
// ffprobe's view of the same file.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>

#include "korvel.h"
#include "support/test_support.h"

using namespace korvel_test;
using nlohmann::json;

namespace {

std::string report_of(const Bytes& in) {
  char* text = get_video_info(in.data(), in.size());
  if (text == nullptr) return "(null)";
  std::string out = text;
  std::free(text);
  return out;
}

double rational(const std::string& text) {
  const auto slash = text.find('/');
  const double num = std::stod(text.substr(0, slash));
  const double den = slash == std::string::npos ? 1 : std::stod(text.substr(slash + 1));
  return den > 0 ? num / den : 0.0;
}

// The frame rate FFmpeg guesses: the real base rate, unless it is implausibly
// high while the average rate is a plausible one.
double guessed_fps(const json& stream) {
  const double r = rational(stream.value("r_frame_rate", "0/0"));
  const double avg = rational(stream.value("avg_frame_rate", "0/0"));
  if (avg > 0 && r > 0 && avg < 70 && r > 210) return avg;
  return r;
}

std::string fixed3(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", value);  // tests run in the C locale
  return buffer;
}

// The report as ffprobe's facts say it must read.
std::string expected_report(const json& probed) {
  const json& format = probed["format"];
  const json* video = nullptr;
  const json* audio = nullptr;
  for (const auto& s : probed["streams"]) {
    if (!video && s["codec_type"] == "video") video = &s;
    if (!audio && s["codec_type"] == "audio") audio = &s;
  }
  const double duration_us = std::round(std::stod(format.value("duration", "0")) * 1e6);
  std::string out = "{\"duration\":" + fixed3(duration_us > 0 ? duration_us / 1e6 : 0.0);
  out += ",\"bitrate\":" + format.value("bit_rate", std::string("0"));
  out += ",\"num_streams\":" + std::to_string(format["nb_streams"].get<int>());
  out += std::string(",\"has_video\":") + (video ? "true" : "false");
  out += std::string(",\"has_audio\":") + (audio ? "true" : "false");
  if (video) {
    out += ",\"width\":" + std::to_string((*video)["width"].get<int>());
    out += ",\"height\":" + std::to_string((*video)["height"].get<int>());
    out += ",\"video_codec\":\"" + video->value("codec_name", std::string("unknown")) + "\"";
    out += ",\"fps\":" + fixed3(guessed_fps(*video));
  }
  if (audio) {
    out += ",\"audio_codec\":\"" + audio->value("codec_name", std::string("unknown")) + "\"";
    out += ",\"sample_rate\":" + audio->value("sample_rate", std::string("0"));
    out += ",\"channels\":" + std::to_string(audio->value("channels", 0));
  }
  return out + "}";
}

class VideoInfo : public ::testing::TestWithParam<const char*> {};

TEST_P(VideoInfo, MatchesWhatFfprobeSees) {
  const Bytes& in = fixture(GetParam());
  const std::string report = report_of(in);
  EXPECT_EQ(report, expected_report(probe(in)));
  EXPECT_FALSE(json::parse(report, nullptr, false).is_discarded());
}

INSTANTIATE_TEST_SUITE_P(Files, VideoInfo,
                         ::testing::Values("h264_aac.mp4", "mpegts.ts", "with_subtitles.mkv",
                                           "audio.mp3", "audio.wav", "video_only.mp4",
                                           "two_audio.mkv", "two_video.mkv", "subtitle_only.mkv",
                                           "mjpeg_pcm.avi", "cover_art.mp3"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST(VideoInfoShapes, KeysAppearOnlyForStreamsThatExist) {
  const json audio_only = json::parse(report_of(fixture("audio.mp3")));
  EXPECT_EQ(audio_only["has_video"], false);
  EXPECT_FALSE(audio_only.contains("width"));
  EXPECT_EQ(audio_only["channels"], 2);

  const json subtitles_only = json::parse(report_of(fixture("subtitle_only.mkv")));
  EXPECT_EQ(subtitles_only.size(), 5u);
  EXPECT_EQ(subtitles_only["has_audio"], false);

  // Only the first of two video streams is described.
  const json two = json::parse(report_of(fixture("two_video.mkv")));
  EXPECT_EQ(two["num_streams"], 2);
  EXPECT_EQ(two["width"], 320);

  // A cover picture is a video stream like any other.
  const json cover = json::parse(report_of(fixture("cover_art.mp3")));
  EXPECT_EQ(cover["has_video"], true);
  EXPECT_EQ(cover["video_codec"], "mjpeg");
}

TEST(VideoInfoLocale, StaysValidJsonUnderADecimalCommaLocale) {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr)
      << "the de_DE.UTF-8 locale is missing (scripts/setup-debian.sh generates it)";
  char probe_text[16];
  std::snprintf(probe_text, sizeof probe_text, "%.1f", 0.5);
  const std::string formatted = probe_text;
  const std::string report = report_of(fixture("h264_aac.mp4"));
  std::setlocale(LC_NUMERIC, saved.c_str());

  ASSERT_EQ(formatted, "0,5") << "the locale should use a decimal comma";
  const json parsed = json::parse(report, nullptr, false);
  ASSERT_FALSE(parsed.is_discarded()) << report;
  EXPECT_DOUBLE_EQ(parsed["fps"].get<double>(), 25.0);
  EXPECT_NEAR(parsed["duration"].get<double>(), 2.0, 0.1);
}

}  // namespace
