// extract_frame, checked against ffprobe and pictures decoded by the ffmpeg CLI.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "korvel.h"
#include "support/video_oracle.h"
#include "support/test_support.h"

using namespace korvel_test;

namespace {

Result still(const Bytes& in, const char* format, double time) {
  return call([&](uint64_t* n) { return extract_frame(in.data(), in.size(), format, n, time); });
}

const Bytes kJpegSignature{0xFF, 0xD8, 0xFF};
const Bytes kPngSignature{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

bool starts_with(const Bytes& bytes, const Bytes& prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

struct Size {
  int width = 0, height = 0;
};
Size video_size(const nlohmann::json& probed) {
  for (const auto& s : probed.value("streams", nlohmann::json::array()))
    if (s.value("codec_type", "") == "video") return {s.value("width", 0), s.value("height", 0)};
  return {};
}

struct FormatCase {
  const char* format;
  const Bytes* signature;
  const char* codec_name;  // what ffprobe calls the image
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << (c.format ? c.format : "null"); }

class ExtractFrameFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ExtractFrameFormats, GivesAnImageOfTheSourceSizeThatDecodesCleanly) {
  const FormatCase& c = GetParam();
  for (const char* name : {"bframes_25.mp4", "wide_640x360.mp4"}) {
    const Bytes& in = fixture(name);
    Result out = still(in, c.format, 0.3);
    ASSERT_TRUE(out) << name;
    ASSERT_EQ(out.size, out.bytes().size());
    EXPECT_TRUE(starts_with(out.bytes(), *c.signature)) << name;
    const auto probed = probe(out.bytes());
    ASSERT_EQ(probed["streams"].size(), 1u) << name;
    EXPECT_EQ(probed["streams"][0]["codec_name"], c.codec_name) << name;
    const Size want = video_size(probe(in)), got = video_size(probed);
    EXPECT_EQ(got.width, want.width) << name;
    EXPECT_EQ(got.height, want.height) << name;
    std::string errors;
    EXPECT_TRUE(decodes_cleanly(out.bytes(), &errors)) << name << ": " << errors;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, ExtractFrameFormats,
    ::testing::Values(FormatCase{nullptr, &kJpegSignature, "mjpeg"},
                      FormatCase{"jpeg", &kJpegSignature, "mjpeg"},
                      FormatCase{"jpg", &kJpegSignature, "mjpeg"},
                      FormatCase{"png", &kPngSignature, "png"}),
    [](const auto& info) { return std::string(info.param.format ? info.param.format : "null"); });

struct TimeCase {
  const char* input;
  const char* format;
  double time;
  const char* why;
};

void PrintTo(const TimeCase& c, std::ostream* os) {
  *os << c.input << " " << c.format << " at " << c.time;
}

// The picture taken is the first whose time reaches the requested time (the
// cases pick times for which it is also the nearest), the first picture for a
// time of 0 or less, and the last picture for a time beyond the end.
size_t expected_picture(const PictureTimes& times, double time) {
  if (time <= 0) return 0;
  for (size_t i = 0; i < times.pts.size(); ++i)
    if (times.seconds(i) >= time - 1e-6) return i;
  return times.pts.size() - 1;
}

class ExtractFrameTimes : public ::testing::TestWithParam<TimeCase> {};

TEST_P(ExtractFrameTimes, MatchesThePictureAtTheTimeBetterThanItsNeighbours) {
  const TimeCase& c = GetParam();
  const Bytes& in = fixture(c.input);
  const Size size = video_size(probe(in));
  const PictureTimes times = picture_times(in);
  const std::vector<Bytes> pictures = decode_gray(in, size.width, size.height);
  ASSERT_EQ(pictures.size(), times.pts.size());
  const size_t want = expected_picture(times, c.time);

  Result out = still(in, c.format, c.time);
  ASSERT_TRUE(out);
  const std::vector<Bytes> image = decode_gray(out.bytes(), size.width, size.height);
  ASSERT_EQ(image.size(), 1u) << "the image decodes at exactly the source's size";
  double difference = 0;
  const size_t got = closest_picture(image[0], pictures, &difference);
  EXPECT_EQ(got, want) << "time " << c.time;
  EXPECT_LT(difference, 2.0);
  // The neighbours really are distinguishable from the picture taken.
  if (want > 0) {
    EXPECT_GT(mean_absolute_difference(image[0], pictures[want - 1]), difference + 1.0);
  }
  if (want + 1 < pictures.size()) {
    EXPECT_GT(mean_absolute_difference(image[0], pictures[want + 1]), difference + 1.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, ExtractFrameTimes,
    ::testing::Values(
        TimeCase{"bframes_25.mp4", "jpeg", 0.0, "ZeroTakesTheFirstPicture"},
        TimeCase{"bframes_25.mp4", "jpeg", -3.0, "NegativeTakesTheFirstPicture"},
        TimeCase{"bframes_25.mp4", "jpeg", 0.51, "BetweenPicturesTakesTheNextOne"},
        TimeCase{"bframes_25.mp4", "png", 1.0, "OnAPictureTakesThatPicture"},
        TimeCase{"bframes_25.mp4", "jpeg", 1.35, "AfterAKeyFrameSeek"},
        // The last pictures of a clip with reordered pictures only leave the
        // decoder when it is drained.
        TimeCase{"bframes_25.mp4", "jpeg", 1.92, "HeldByTheDecoderAtTheEnd"},
        TimeCase{"bframes_25.mp4", "png", 1.96, "TheLastPicture"},
        TimeCase{"bframes_25.mp4", "jpeg", 7.5, "BeyondTheEndTakesTheLastPicture"},
        TimeCase{"ntsc_2997.mp4", "jpeg", 1.0, "NtscRateRoundsUpToTheNextPicture"},
        TimeCase{"ntsc_2997.mp4", "png", 0.7, "NtscRateMidClip"},
        TimeCase{"mjpeg_pcm.avi", "jpeg", 0.5, "IntraOnlyCodecInAvi"},
        TimeCase{"mjpeg_pcm.avi", "png", 3.0, "IntraOnlyCodecBeyondTheEnd"}),
    [](const auto& info) { return std::string(info.param.why); });

TEST(ExtractFrameStreams, TakesTheFirstVideoStreamEvenWhenItIsACoverPicture) {
  Result out = still(fixture("cover_art.mp3"), "png", 0);
  ASSERT_TRUE(out);
  const Size got = video_size(probe(out.bytes()));
  EXPECT_EQ(got.width, 64);
  EXPECT_EQ(got.height, 48);
}

TEST(ExtractFrameStreams, TakesTheFirstOfTwoVideoStreams) {
  Result out = still(fixture("two_video.mkv"), "jpg", 0.5);
  ASSERT_TRUE(out);
  const Size got = video_size(probe(out.bytes()));
  EXPECT_EQ(got.width, 320);
  EXPECT_EQ(got.height, 240);
}

class ExtractFrameRefusedFormats : public ::testing::TestWithParam<const char*> {};

TEST_P(ExtractFrameRefusedFormats, PrintsTheMessageAndGivesNull) {
  const Bytes& in = fixture("bframes_25.mp4");
  ::testing::internal::CaptureStderr();
  Result out = still(in, GetParam(), 0.5);
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(out);
  EXPECT_EQ(out.size, 0u);
  EXPECT_EQ(printed, std::string("Unsupported image format: ") + GetParam() + "\n");
}

INSTANTIATE_TEST_SUITE_P(Names, ExtractFrameRefusedFormats,
                         ::testing::Values("JPEG", "Png", "jpeg ", "bmp", "mjpeg", ""));

TEST(ExtractFrameBadInput, GivesNullWithZeroSizeAndPrintsNothing) {
  for (const auto& bad : inputs_without_video()) {
    for (double time : {0.0, 1.0}) {
      ::testing::internal::CaptureStderr();
      Result out = still(bad.second, "jpeg", time);
      const std::string printed = ::testing::internal::GetCapturedStderr();
      EXPECT_FALSE(out) << bad.first;
      EXPECT_EQ(out.size, 0u) << bad.first;
      EXPECT_EQ(printed.find("Unsupported"), std::string::npos) << bad.first;
    }
  }
}

TEST(ExtractFrameBadInput, NullLengthPointerIsRefused) {
  const Bytes& in = fixture("bframes_25.mp4");
  EXPECT_EQ(extract_frame(in.data(), in.size(), "png", nullptr, 1.0), nullptr);
}

TEST(ExtractFrameCli, FrameVerbWritesTheImage) {
  TempFile out(Bytes{}, ".png");
  int code = -1;
  run(korvel_cli() + " frame " + shell_quote(fixture_path("bframes_25.mp4")) +
          " " + shell_quote(out.path()) + " -y --format png --time 1 2>&1",
      &code);
  ASSERT_EQ(code, 0);
  const auto probed = probe_file(out.path());
  EXPECT_EQ(probed["streams"][0]["codec_name"], "png");

  run(korvel_cli() + " frame " + shell_quote(fixture_path("bframes_25.mp4")) +
          " " + shell_quote(out.path()) + " -y --format gif 2>&1",
      &code);
  EXPECT_EQ(code, 2);
}

}  // namespace
