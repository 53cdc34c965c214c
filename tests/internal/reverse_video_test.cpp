// Reversal key frame by key frame: the pictures, their order and timestamps
// against the ffmpeg CLI's own reversal and ffprobe's frame times, and the
// bound on decoded pictures held, with budgets small enough to bite on
// 160x120 clips.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/ffmpeg_handles.h"
#include "support/test_support.h"
#include "video/reverse_video.h"

using namespace korvel_test;

// Picture references handed out before one is refused; -1: none is refused.
// The library's calls to av_frame_clone resolve to this definition, which
// forwards to FFmpeg's.
static int clones_left = -1;

extern "C" AVFrame* av_frame_clone(const AVFrame* src) {
  using Clone = AVFrame* (*)(const AVFrame*);
  static const Clone ffmpeg_clone = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "av_frame_clone"));
  if (clones_left == 0) return nullptr;
  if (clones_left > 0) --clones_left;
  return ffmpeg_clone(src);
}

namespace {

constexpr int kWidth = 160, kHeight = 120;

struct Reversed {
  Result out;
  korvel::ReverseReport report;
};

Reversed reverse_with(const Bytes& in, size_t budget) {
  Reversed r;
  r.out = call([&](uint64_t* n) {
    return korvel::reverse_within_budget(in.data(), in.size(), n, budget, &r.report);
  });
  return r;
}

// The first video stream's pictures as its decoder hands them out: their pts
// (best-effort when the packet had none) and the stream's time base.
struct FrameTimes {
  std::vector<int64_t> pts;
  int64_t num = 0, den = 1;
};

FrameTimes frame_times(const Bytes& media) {
  TempFile file(media);
  FrameTimes times;
  const std::string tb =
      run("ffprobe -v error -select_streams v:0 -show_entries stream=time_base -of csv=p=0 " +
          shell_quote(file.path()));
  times.num = std::stoll(tb.substr(0, tb.find('/')));
  times.den = std::stoll(tb.substr(tb.find('/') + 1));
  const std::string out =
      run("ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp "
          "-of csv=p=0 " +
          shell_quote(file.path()));
  size_t at = 0;
  while (at < out.size()) {
    const size_t end = out.find('\n', at);
    const std::string line = out.substr(at, end == std::string::npos ? end : end - at);
    if (!line.empty()) times.pts.push_back(line == "N/A" ? INT64_MIN : std::stoll(line));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return times;
}

size_t key_frames(const Bytes& media) {
  TempFile file(media);
  const std::string flags =
      run("ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 " +
          shell_quote(file.path()));
  size_t keys = 0;
  for (size_t at = flags.find('K'); at != std::string::npos; at = flags.find('K', at + 1)) ++keys;
  return keys;
}

// Index of the picture in `pictures` that `image` differs least from.
size_t closest_picture(const Bytes& image, const std::vector<Bytes>& pictures, double* difference) {
  size_t best = 0;
  *difference = 1e18;
  for (size_t i = 0; i < pictures.size(); ++i) {
    const double mad = mean_absolute_difference(image, pictures[i]);
    if (mad < *difference) {
      *difference = mad;
      best = i;
    }
  }
  return best;
}

// `out` shows the pictures the CLI decodes from `in`, last first: each output
// picture is nearer to its counterpart than to any other source picture.
void expect_pictures_reversed(const Bytes& in, const Bytes& out) {
  const auto want = decode_gray(in, kWidth, kHeight, "reverse");
  const auto got = decode_gray(out, kWidth, kHeight);
  ASSERT_GT(want.size(), 10u);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    double difference = 0;
    EXPECT_EQ(closest_picture(got[i], want, &difference), i) << "picture " << i;
    EXPECT_LT(difference, 3.0) << "picture " << i;
  }
}

// Output picture i starts where the source's last picture starts minus the
// start of the source picture it shows: the timeline mirrored, to the tick.
void expect_timeline_mirrored(const Bytes& in, const Bytes& out) {
  const FrameTimes src = frame_times(in);
  const FrameTimes dst = frame_times(out);
  ASSERT_EQ(dst.pts.size(), src.pts.size());
  const size_t n = src.pts.size();
  for (size_t i = 0; i < n; ++i) {
    const int64_t mirrored = src.pts.back() - src.pts[n - 1 - i];
    EXPECT_EQ(mirrored * src.num * dst.den, dst.pts[i] * dst.num * src.den) << "picture " << i;
  }
}

// The bytes every picture of a 160x120 clip holds, from holding them all.
size_t all_pictures_bytes() {
  Reversed whole = reverse_with(fixture("reverse_raw.h264"), korvel::kReversePictureBudget);
  EXPECT_TRUE(whole.out);
  EXPECT_FALSE(whole.report.by_stretches);
  return whole.report.peak_bytes;
}

// An MPEG-TS clip entered in the middle of a key frame's stretch: the first
// packets have no key frame (nor parameter sets) before them.
Bytes ts_entered_mid_stretch() {
  const Bytes& ts = fixture("reverse_open_gop.ts");
  const size_t cut = ts.size() * 2 / 5 / 188 * 188;
  return Bytes(ts.begin() + static_cast<long>(cut), ts.end());
}

struct ReverseCase {
  const char* name;
  Bytes input;
  bool by_stretches;
  bool timeline;  // the source has timestamps to mirror
};

class ReverseClips : public ::testing::TestWithParam<int> {};

std::vector<ReverseCase> reverse_cases() {
  return {
      {"open GOPs in MP4 (dts)", fixture("reverse_open_gop.mp4"), true, true},
      {"open GOPs in Matroska (no dts)", fixture("reverse_open_gop.mkv"), true, true},
      {"open GOPs in MPEG-TS (no index)", fixture("reverse_open_gop.ts"), true, true},
      {"MPEG-TS entered mid-stretch", ts_entered_mid_stretch(), true, true},
      {"one stretch for the whole clip", fixture("reverse_one_gop.mp4"), true, true},
      {"raw H.264 without timestamps", fixture("reverse_raw.h264"), false, false},
      {"two pictures with one timestamp", fixture("reverse_repeated_pts.mkv"), false, false},
  };
}

TEST_P(ReverseClips, ShowsEveryPictureLastFirstAndMirrorsTheTimeline) {
  const ReverseCase c = reverse_cases()[static_cast<size_t>(GetParam())];
  SCOPED_TRACE(c.name);
  Reversed r = reverse_with(c.input, korvel::kReversePictureBudget);
  ASSERT_TRUE(r.out);
  EXPECT_EQ(r.report.by_stretches, c.by_stretches);
  expect_pictures_reversed(c.input, r.out.bytes());
  if (c.timeline) expect_timeline_mirrored(c.input, r.out.bytes());
}

INSTANTIATE_TEST_SUITE_P(Inputs, ReverseClips, ::testing::Range(0, 7));

TEST(ReverseBudget, HoldsOneStretchAtATime) {
  const Bytes& in = fixture("reverse_open_gop.mp4");
  const size_t all = all_pictures_bytes();
  Reversed r = reverse_with(in, korvel::kReversePictureBudget);
  ASSERT_TRUE(r.out);
  ASSERT_TRUE(r.report.by_stretches);
  EXPECT_GE(r.report.passes, key_frames(in));
  // 75 pictures, key frames 12 apart: a stretch and its leading pictures are
  // well under a third of the clip.
  EXPECT_GT(r.report.peak_bytes, 0u);
  EXPECT_LT(r.report.peak_bytes * 3, all);
}

TEST(ReverseBudget, SplitsAStretchLongerThanTheBudget) {
  const Bytes& in = fixture("reverse_one_gop.mp4");
  const size_t budget = all_pictures_bytes() / 5;
  Reversed r = reverse_with(in, budget);
  ASSERT_TRUE(r.out);
  EXPECT_TRUE(r.report.by_stretches);
  EXPECT_GE(r.report.passes, 5u);
  EXPECT_LE(r.report.peak_bytes, budget);
  expect_pictures_reversed(in, r.out.bytes());
  expect_timeline_mirrored(in, r.out.bytes());
}

TEST(ReverseBudget, InputThatMustBeHeldWholeFailsBeyondTheBudget) {
  const size_t all = all_pictures_bytes();
  Reversed r = reverse_with(fixture("reverse_raw.h264"), all / 2);
  EXPECT_FALSE(r.out);
  EXPECT_EQ(r.out.size, 0u);
  EXPECT_LE(r.report.peak_bytes, all / 2);
}

TEST(ReverseBudget, PictureLargerThanTheBudgetFails) {
  Reversed r = reverse_with(fixture("reverse_open_gop.mp4"), 1024);
  EXPECT_FALSE(r.out);
  EXPECT_EQ(r.out.size, 0u);
}

// A picture that cannot be held fails the call; it is never left out of a
// shorter result.
TEST(ReverseBudget, RefusedPictureReferenceFailsTheCall) {
  struct Case {
    const char* input;
    int refuse_after;
  };
  const Case cases[] = {{"reverse_open_gop.mp4", 0},
                        {"reverse_open_gop.mp4", 30},
                        {"reverse_open_gop.mp4", 74},
                        {"reverse_raw.h264", 0},
                        {"reverse_raw.h264", 40}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.input) + " after " + std::to_string(c.refuse_after));
    clones_left = c.refuse_after;
    Reversed r = reverse_with(fixture(c.input), korvel::kReversePictureBudget);
    clones_left = -1;
    EXPECT_FALSE(r.out);
    EXPECT_EQ(r.out.size, 0u);
  }
}

}  // namespace
