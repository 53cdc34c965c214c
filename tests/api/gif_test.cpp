// video_to_gif, checked with ffprobe and pictures decoded by the ffmpeg CLI.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "korvel.h"
#include "support/video_oracle.h"
#include "support/test_support.h"

using namespace korvel_test;

namespace {

Result gif(const Bytes& in, int fps, int width, double start, double duration) {
  return call([&](uint64_t* n) {
    return video_to_gif(in.data(), in.size(), fps, width, n, start, duration);
  });
}

struct GifCase {
  const char* why;
  const char* input;
  int fps, width;
  double start, duration;
  int want_width, want_height;
  int divisor;       // source pictures per GIF picture
  int want_rate;     // pictures per second the GIF plays at: source rate / divisor
};

void PrintTo(const GifCase& c, std::ostream* os) { *os << c.why; }

// Pictures of the source inside [start, start + duration] (times count only
// when positive), from ffprobe's timestamps.
int window_pictures(const PictureTimes& times, double start, double duration) {
  const double from = start > 0 ? start : 0.0;
  const double to = duration > 0 ? from + duration : 1e18;
  int n = 0;
  for (size_t i = 0; i < times.pts.size(); ++i) {
    const double t = times.seconds(i);
    if (t >= from - 1e-9 && t <= to + 1e-9) ++n;
  }
  return n;
}

class VideoToGif : public ::testing::TestWithParam<GifCase> {};

TEST_P(VideoToGif, HasTheExpectedSizeRateAndPictureCount) {
  const GifCase& c = GetParam();
  const Bytes& in = fixture(c.input);
  const int in_window = window_pictures(picture_times(in), c.start, c.duration);
  ASSERT_GT(in_window, 0) << "the case needs pictures in its window";
  const size_t want_pictures = static_cast<size_t>((in_window + c.divisor - 1) / c.divisor);

  Result out = gif(in, c.fps, c.width, c.start, c.duration);
  ASSERT_TRUE(out);
  const auto probed = probe(out.bytes(), true);
  ASSERT_EQ(probed["format"]["format_name"], "gif");
  ASSERT_EQ(probed["streams"].size(), 1u);
  const auto& stream = probed["streams"][0];
  EXPECT_EQ(stream["codec_name"], "gif");
  EXPECT_EQ(stream["width"], c.want_width);
  EXPECT_EQ(stream["height"], c.want_height);
  EXPECT_EQ(stream["r_frame_rate"], std::to_string(c.want_rate) + "/1");
  const auto packets = packets_of(probed, 0);
  EXPECT_EQ(packets.size(), want_pictures);
  // GIF delays are in hundredths of a second.
  for (size_t i = 0; i + 1 < packets.size(); ++i)
    EXPECT_EQ(field(packets[i], "duration"), 100 / c.want_rate) << "picture " << i;
  EXPECT_EQ(decode_gray(out.bytes(), c.want_width, c.want_height).size(), want_pictures);
}

INSTANTIATE_TEST_SUITE_P(
    Values, VideoToGif,
    ::testing::Values(
        // 29.97 / 10 = 2.997: every third picture.
        GifCase{"NtscAtTenTakesEveryThird", "ntsc_2997.mp4", 10, 0, 0, 0, 320, 240, 3, 10},
        GifCase{"ZeroFpsAndWidthMeanTenAnd320", "ntsc_2997.mp4", 0, 0, -1, -1, 320, 240, 3, 10},
        GifCase{"NegativeFpsAndWidthMeanTenAnd320", "ntsc_2997.mp4", -4, -1, 0, 0, 320, 240, 3, 10},
        GifCase{"NtscWindowAtTen", "ntsc_2997.mp4", 10, 80, 0.5, 1.0, 80, 60, 3, 10},
        // 360 / 640 x 320 + 0.5 = 180.5 -> 180.
        GifCase{"WideSourceKeepsItsAspect", "wide_640x360.mp4", 10, 0, 0, 0, 320, 180, 1, 10},
        // Height from the odd width: 360 / 640 x 323 + 0.5 = 182.19 -> 182.
        GifCase{"OddWidthRoundsDownHeightFromIt", "wide_640x360.mp4", 10, 323, 0, 0, 322, 182, 1, 10},
        // The decoder is drained: the reordered last pictures are kept.
        GifCase{"BFramesAtOwnRateKeepEveryPicture", "bframes_25.mp4", 25, 160, 0, 0, 160, 120, 1, 25},
        // Every picture, shown at the source's own pace.
        GifCase{"FasterThanSourceDuplicatesNothing", "bframes_25.mp4", 50, 80, 0, 0, 80, 60, 1, 25},
        GifCase{"FifthOfTheRate", "bframes_25.mp4", 5, 80, 0, 0, 80, 60, 5, 5},
        // Windows whose end falls between a forward-predicted picture and the
        // bidirectional pictures read after it.
        GifCase{"WindowEndAmidReorderedPictures", "bframes_25.mp4", 25, 80, 0, 0.9, 80, 60, 1, 25},
        GifCase{"ShortWindowFromTheStart", "bframes_25.mp4", 25, 80, 0, 0.3, 80, 60, 1, 25},
        GifCase{"WindowInTheMiddle", "bframes_25.mp4", 25, 80, 0.7, 0.5, 80, 60, 1, 25},
        GifCase{"StartWithoutDuration", "bframes_25.mp4", 25, 80, 1.02, 0, 80, 60, 1, 25},
        GifCase{"NegativeStartCountsFromZero", "bframes_25.mp4", 25, 80, -5, 0.98, 80, 60, 1, 25}),
    [](const auto& info) { return std::string(info.param.why); });

// Each GIF picture is the source picture the thinning chose: picture i of
// the GIF is source picture first + i x step.
struct PictureCase {
  const char* why;
  const char* input;
  int fps;
  double start;
  size_t first, step;
};

void PrintTo(const PictureCase& c, std::ostream* os) { *os << c.why; }

class VideoToGifPictures : public ::testing::TestWithParam<PictureCase> {};

TEST_P(VideoToGifPictures, AreTheSourcePicturesTheThinningChose) {
  const PictureCase& c = GetParam();
  const Bytes& in = fixture(c.input);
  const std::vector<Bytes> source = decode_gray(in, 160, 120);
  Result out = gif(in, c.fps, 160, c.start, 0);
  ASSERT_TRUE(out);
  const std::vector<Bytes> pictures = decode_gray(out.bytes(), 160, 120);
  ASSERT_FALSE(pictures.empty());
  for (size_t i = 0; i < pictures.size(); ++i) {
    double difference = 0;
    EXPECT_EQ(closest_picture(pictures[i], source, &difference), c.first + i * c.step)
        << "GIF picture " << i;
    EXPECT_LT(difference, 12.0) << "GIF picture " << i;  // 8-bit palette, dithered
  }
}

INSTANTIATE_TEST_SUITE_P(
    Thinning, VideoToGifPictures,
    ::testing::Values(PictureCase{"NtscAtTenFrom0Every3", "ntsc_2997.mp4", 10, 0, 0, 3},
                      PictureCase{"OwnRateFromTheFirstPictureAfterStart", "bframes_25.mp4", 25,
                                  1.02, 26, 1}),
    [](const auto& info) { return std::string(info.param.why); });

// When each GIF picture is shown: at its source picture's time, measured from
// the first GIF picture, to the centisecond, as a player reads it (ffprobe
// with its default options shows a delay under 2 centiseconds as 10).
struct TimingCase {
  const char* why;
  const char* input;
  int fps;
  double start, duration;
  int divisor;        // source pictures per GIF picture
  bool source_times;  // false: the source is too fast for centisecond delays
};

void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.why; }

// The delay of every picture as the file stores it (its Graphic Control
// Extension), read by walking the GIF's blocks: ffprobe would already show
// a delay under 2 as 10. Empty when the file is not a well-formed GIF.
std::vector<int> stored_delays(const Bytes& gif) {
  std::vector<int> delays;
  size_t at = 13;  // header and logical screen descriptor
  if (gif.size() < at) return {};
  if (gif[10] & 0x80) at += 3u << ((gif[10] & 7) + 1);  // global colour table
  // Skips a chain of data sub-blocks; false when it runs past the end.
  auto skip_sub_blocks = [&]() {
    while (at < gif.size() && gif[at] != 0) at += gif[at] + 1u;
    return at++ < gif.size();
  };
  while (at < gif.size() && gif[at] != 0x3B) {
    if (gif[at] == 0x21 && at + 1 < gif.size()) {  // extension
      if (gif[at + 1] == 0xF9 && at + 6 < gif.size())
        delays.push_back(gif[at + 4] | gif[at + 5] << 8);
      at += 2;
      if (!skip_sub_blocks()) return {};
    } else if (gif[at] == 0x2C && at + 10 < gif.size()) {  // image
      const uint8_t packed = gif[at + 9];
      at += 10;
      if (packed & 0x80) at += 3u << ((packed & 7) + 1);  // local colour table
      ++at;  // LZW minimum code size
      if (!skip_sub_blocks()) return {};
    } else {
      return {};
    }
  }
  return delays;
}

class VideoToGifTiming : public ::testing::TestWithParam<TimingCase> {};

TEST_P(VideoToGifTiming, ShowsEachPictureAtItsSourceTime) {
  const TimingCase& c = GetParam();
  const Bytes& in = fixture(c.input);
  const PictureTimes source = picture_times(in);
  const double from = c.start > 0 ? c.start : 0.0;
  const double to = c.duration > 0 ? from + c.duration : 1e18;
  std::vector<double> kept;  // source times of the pictures the GIF keeps
  int in_window = 0;
  for (size_t i = 0; i < source.pts.size(); ++i) {
    const double t = source.seconds(i);
    if (t < from - 1e-9 || t > to + 1e-9) continue;
    if (in_window++ % c.divisor == 0) kept.push_back(t);
  }
  ASSERT_GT(kept.size(), 2u);

  Result out = gif(in, c.fps, 80, c.start, c.duration);
  ASSERT_TRUE(out);
  const auto probed = probe(out.bytes(), true);
  ASSERT_EQ(probed["streams"][0]["time_base"], "1/100");
  const auto packets = packets_of(probed, 0);
  ASSERT_EQ(packets.size(), kept.size());
  const std::vector<int> delays = stored_delays(out.bytes());
  ASSERT_EQ(delays.size(), kept.size());
  EXPECT_GE(*std::min_element(delays.begin(), delays.end()), 2);
  for (size_t i = 0; i < packets.size(); ++i) {
    const int64_t shown = field(packets[i], "pts");  // centiseconds
    EXPECT_EQ(field(packets[i], "duration"), delays[i]) << "picture " << i;
    if (i > 0) {
      EXPECT_GE(shown - field(packets[i - 1], "pts"), 2) << "picture " << i;
    }
    if (c.source_times) {
      EXPECT_NEAR(static_cast<double>(shown), (kept[i] - kept[0]) * 100.0, 0.5 + 1e-6)
          << "picture " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, VideoToGifTiming,
    ::testing::Values(
        // 25 / 10 = 2.5, rounded to 3: pictures 0.12 s apart, not 0.1.
        TimingCase{"TwentyFiveAtTen", "bframes_25.mp4", 10, 0, 0, 3, true},
        // 24 / 10 = 2.4, rounded to 2: pictures 1/12 s apart.
        TimingCase{"TwentyFourAtTen", "rate24.mp4", 10, 0, 0, 2, true},
        TimingCase{"NtscAtTen", "ntsc_2997.mp4", 10, 0, 0, 3, true},
        // 60 behaves as 50: every picture, 1/29.97 s apart, not 1/60.
        TimingCase{"NtscAtSixty", "ntsc_2997.mp4", 60, 0, 0, 1, true},
        TimingCase{"WindowFromMidClip", "bframes_25.mp4", 10, 0.7, 0.9, 3, true},
        TimingCase{"TwentyFiveAtOwnRateFromMidClip", "bframes_25.mp4", 25, 1.01, 0, 1, true},
        // 60 / 50 rounds to 1: every picture is kept, none under 2 cs.
        TimingCase{"SixtyAtSixtyNeverUnderTwoCentiseconds", "rate60.mp4", 60, 0, 0, 1, false}),
    [](const auto& info) { return std::string(info.param.why); });

TEST(VideoToGifStreams, IgnoresAudioAndTakesTheFirstVideoStream) {
  Result out = gif(fixture("two_video.mkv"), 25, 80, 0, 0);
  ASSERT_TRUE(out);
  const auto probed = probe(out.bytes(), true);
  EXPECT_EQ(probed["streams"].size(), 1u);
  EXPECT_EQ(probed["streams"][0]["height"], 60);  // 320x240, not 160x120 scaled
  EXPECT_EQ(packets_of(probed, 0).size(), 25u);   // one second at 25

  Result with_audio = gif(fixture("h264_aac.mp4"), 25, 80, 0, 0);
  ASSERT_TRUE(with_audio);
  EXPECT_EQ(packets_of(probe(with_audio.bytes(), true), 0).size(), 50u);
}

TEST(VideoToGifBadInput, GivesNullWithZeroSize) {
  for (const auto& input : inputs_without_video()) {
    Result out = gif(input.second, 10, 80, 0, 0);
    EXPECT_FALSE(out) << input.first;
    EXPECT_EQ(out.size, 0u) << input.first;
  }
  const Bytes& in = fixture("bframes_25.mp4");
  EXPECT_EQ(video_to_gif(in.data(), in.size(), 10, 80, nullptr, 0, 0), nullptr);
}

TEST(VideoToGifCli, GifVerbPassesItsOptions) {
  TempFile out(Bytes{}, ".gif");
  int code = -1;
  run(korvel_cli() + " gif " + shell_quote(fixture_path("bframes_25.mp4")) + " " +
          shell_quote(out.path()) + " -y --fps 5 --width 80 --start 0.5 --duration 1 2>&1",
      &code);
  ASSERT_EQ(code, 0);
  const auto probed = probe_file(out.path(), true);
  EXPECT_EQ(probed["streams"][0]["width"], 80);
  EXPECT_EQ(probed["streams"][0]["r_frame_rate"], "5/1");
  // Pictures 0.52 ... 1.48 (25 of them), every fifth.
  EXPECT_EQ(packets_of(probed, 0).size(), 5u);

  run(korvel_cli() + " gif " + shell_quote(fixture_path("bframes_25.mp4")) + " " +
          shell_quote(out.path()) + " -y --fps ten 2>&1",
      &code);
  EXPECT_EQ(code, 2);
}

}  // namespace
