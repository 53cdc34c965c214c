// reencode_video, rotate_video and reverse_video, checked with ffprobe and
// pictures decoded by the ffmpeg CLI.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <string>

#include "korvel.h"
#include "support/test_support.h"

using namespace korvel_test;

namespace {

// Quick presets keep the suite light where the caller chooses.
Result reencode(const Bytes& in, int crf, const char* preset, int width, int height) {
  return call([&](uint64_t* n) {
    return reencode_video(in.data(), in.size(), crf, preset, width, height, n);
  });
}
Result reencode_fast(const Bytes& in, int width = 0, int height = 0) {
  return reencode(in, 23, "ultrafast", width, height);
}
Result rotate(const Bytes& in, int degrees) {
  return call([&](uint64_t* n) { return rotate_video(in.data(), in.size(), degrees, n); });
}
Result reverse(const Bytes& in) {
  return call([&](uint64_t* n) { return reverse_video(in.data(), in.size(), n); });
}

using Operation = std::function<Result(const Bytes&)>;
struct NamedOperation {
  const char* name;
  Operation run;
};
const NamedOperation kOperations[] = {
    {"reencode", [](const Bytes& in) { return reencode_fast(in); }},
    {"rotate", [](const Bytes& in) { return rotate(in, 90); }},
    {"reverse", [](const Bytes& in) { return reverse(in); }},
};

nlohmann::json video_stream(const nlohmann::json& probed) {
  for (const auto& s : probed.value("streams", nlohmann::json::array()))
    if (s["codec_type"] == "video") return s;
  return nlohmann::json::object();
}

// Every stream's packet payload digests, in file order.
std::vector<std::string> packet_hashes(const Bytes& media, int stream_index) {
  TempFile file(media);
  const std::string out =
      run("ffprobe -v error -show_data_hash MD5 -select_streams " +
          std::to_string(stream_index) + " -show_entries packet=data_hash -of csv=p=0 " +
          shell_quote(file.path()));
  std::vector<std::string> hashes;
  size_t at = 0;
  while (at < out.size()) {
    const size_t end = out.find('\n', at);
    const std::string line = out.substr(at, end == std::string::npos ? end : end - at);
    const size_t hash = line.find("MD5:");  // csv may lead with empty fields
    if (hash != std::string::npos) hashes.push_back(line.substr(hash));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return hashes;
}

// The settings record libx264 writes into every stream it makes.
std::string x264_settings(const Bytes& media) {
  const std::string text(media.begin(), media.end());
  const size_t at = text.find("x264 - core");
  if (at == std::string::npos) return "";
  return text.substr(at, text.find('\0', at) - at);
}

// ---- re-encode -------------------------------------------------------------

struct SizeCase {
  const char* input;
  int width, height;
  int expected_width, expected_height;
};
class ReencodeSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ReencodeSize, FollowsTheSizeRuleAndResamplesTheWholePicture) {
  const SizeCase& c = GetParam();
  const Bytes& in = fixture(c.input);
  Result out = reencode_fast(in, c.width, c.height);
  ASSERT_TRUE(out);
  const auto probed = probe(out.bytes());
  EXPECT_EQ(probed["format"]["format_name"], "mov,mp4,m4a,3gp,3g2,mj2");
  const auto v = video_stream(probed);
  EXPECT_EQ(v["codec_name"], "h264");
  EXPECT_EQ(v["width"], c.expected_width);
  EXPECT_EQ(v["height"], c.expected_height);
  EXPECT_TRUE(decodes_cleanly(out.bytes()));
  // The whole source picture, scaled: not a crop of it.
  const auto got = decode_gray(out.bytes(), c.expected_width, c.expected_height);
  const auto want = decode_gray(in, c.expected_width, c.expected_height,
                                "scale=" + std::to_string(c.expected_width) + ":" +
                                    std::to_string(c.expected_height));
  ASSERT_FALSE(got.empty());
  ASSERT_EQ(got.size(), want.size());
  EXPECT_LT(mean_absolute_difference(got[0], want[0]), 4.0);
  EXPECT_LT(mean_absolute_difference(got.back(), want.back()), 4.0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ReencodeSize,
    ::testing::Values(SizeCase{"h264_640x360.mp4", 0, 240, 426, 240},
                      SizeCase{"h264_640x360.mp4", 320, 0, 320, 180},
                      SizeCase{"h264_640x360.mp4", 0, 0, 640, 360},
                      SizeCase{"h264_640x360.mp4", -5, -1, 640, 360},
                      SizeCase{"h264_640x360.mp4", 201, 99, 200, 98},
                      SizeCase{"h264_320x180.mp4", 161, 0, 160, 90},
                      SizeCase{"odd_639x359.mkv", 0, 0, 638, 358}),
    [](const auto& info) {
      const SizeCase& c = info.param;
      return "To" + std::to_string(c.expected_width) + "x" + std::to_string(c.expected_height) +
             "From" + std::to_string(info.index);
    });

struct RateCase {
  int crf;
  const char* preset;
  // fragments of libx264's settings record: rate control, its value, speed
  const char* expected_mode;
  const char* expected_value;
  const char* expected_speed;
};
class ReencodeQuality : public ::testing::TestWithParam<RateCase> {};

TEST_P(ReencodeQuality, HandsTheClampedCrfAndThePresetToLibx264) {
  const RateCase& c = GetParam();
  Result out = reencode(fixture("h264_320x180.mp4"), c.crf, c.preset, 0, 0);
  ASSERT_TRUE(out);
  const std::string settings = x264_settings(out.bytes());
  EXPECT_NE(settings.find(c.expected_mode), std::string::npos) << settings;
  EXPECT_NE(settings.find(c.expected_value), std::string::npos) << settings;
  EXPECT_NE(settings.find(c.expected_speed), std::string::npos) << settings;
}

// ultrafast turns sub-pixel refinement off (subme=0); medium uses subme=7.
INSTANTIATE_TEST_SUITE_P(
    Settings, ReencodeQuality,
    ::testing::Values(RateCase{-1, "ultrafast", " rc=crf ", " crf=23.0 ", " subme=0 "},
                      RateCase{0, "ultrafast", " rc=cqp ", " qp=0", " subme=0 "},
                      RateCase{30, "ultrafast", " rc=crf ", " crf=30.0 ", " subme=0 "},
                      RateCase{51, "ultrafast", " rc=crf ", " crf=51.0 ", " subme=0 "},
                      RateCase{60, "ultrafast", " rc=crf ", " crf=51.0 ", " subme=0 "},
                      RateCase{40, nullptr, " rc=crf ", " crf=40.0 ", " subme=7 "},
                      RateCase{40, "", " rc=crf ", " crf=40.0 ", " subme=7 "}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(ReencodeVideo, APresetLibx264RefusesGivesNull) {
  Result out = reencode(fixture("h264_320x180.mp4"), 23, "no-such-preset", 0, 0);
  EXPECT_FALSE(out);
  EXPECT_EQ(out.size, 0u);
}

// ---- audio and other streams -------------------------------------------------

struct StreamsCase {
  const char* operation;
  const char* input;
  int input_audio_index;  // the input stream whose packets must reappear, or -1
};
class H264Streams : public ::testing::TestWithParam<StreamsCase> {};

TEST_P(H264Streams, VideoAtZeroAndOnlyTheFirstAudioCopiedByteForByte) {
  const StreamsCase& c = GetParam();
  const NamedOperation* op = nullptr;
  for (const auto& o : kOperations)
    if (std::string(o.name) == c.operation) op = &o;
  ASSERT_NE(op, nullptr);
  const Bytes& in = fixture(c.input);
  Result out = op->run(in);
  ASSERT_TRUE(out);
  const auto probed = probe(out.bytes());
  ASSERT_GE(probed["streams"].size(), 1u);
  EXPECT_EQ(probed["streams"][0]["codec_type"], "video");
  EXPECT_EQ(probed["streams"][0]["codec_name"], "h264");
  if (c.input_audio_index < 0) {
    EXPECT_EQ(probed["streams"].size(), 1u);
  } else {
    ASSERT_EQ(probed["streams"].size(), 2u);
    EXPECT_EQ(probed["streams"][1]["codec_type"], "audio");
    const auto want = packet_hashes(in, c.input_audio_index);
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(packet_hashes(out.bytes(), 1), want);
  }
  std::string errors;
  EXPECT_TRUE(decodes_cleanly(out.bytes(), &errors)) << errors;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, H264Streams,
    ::testing::Values(StreamsCase{"reencode", "h264_aac.mp4", 1},
                      StreamsCase{"reencode", "two_audio.mkv", 1},
                      StreamsCase{"reencode", "with_subtitles.mkv", 1},
                      StreamsCase{"reencode", "video_only.mp4", -1},
                      StreamsCase{"reencode", "cover_art.mp3", 0},
                      StreamsCase{"rotate", "h264_aac.mp4", 1},
                      StreamsCase{"rotate", "two_audio.mkv", 1},
                      StreamsCase{"rotate", "with_subtitles.mkv", 1},
                      StreamsCase{"reverse", "h264_aac.mp4", -1},
                      StreamsCase{"reverse", "with_subtitles.mkv", -1}),
    [](const auto& info) {
      std::string name = std::string(info.param.operation) + "_" + info.param.input;
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

// ---- inputs that give nothing --------------------------------------------------

struct RefusedCase {
  const char* input;  // fixture name, or "" for garbage bytes
};
class H264Refuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(H264Refuses, NullWithZeroSizeFromEveryOperation) {
  Bytes garbage(4096);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 7 + 3);
  Bytes in = std::string(GetParam().input).empty() ? garbage : fixture(GetParam().input);
  if (std::string(GetParam().input) == "h264_aac.mp4") in.resize(in.size() / 2);  // no index
  for (const auto& op : kOperations) {
    Result out = op.run(in);
    EXPECT_FALSE(out) << op.name;
    EXPECT_EQ(out.size, 0u) << op.name;
  }
}

// audio only; a video stream whose size is unknown (0 x 0); garbage; a cut
// MP4 whose index is missing.
INSTANTIATE_TEST_SUITE_P(Inputs, H264Refuses,
                         ::testing::Values(RefusedCase{"audio.mp3"}, RefusedCase{"no_size.ts"},
                                           RefusedCase{""}, RefusedCase{"h264_aac.mp4"}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

// ---- a stream whose picture size changes half-way ------------------------------

// Two MPEG-TS streams joined byte for byte: 5 pictures of 96x64, then 5 of
// 160x120. Stream analysis reads to the end and announces the later, larger
// size: the first pictures are smaller than the converter was made for.
Bytes size_change_stream() {
  Bytes joined;
  // The second part's timestamps go on where the first part's end.
  for (const char* settings : {"96x64 -output_ts_offset 0", "160x120 -output_ts_offset 0.2"}) {
    TempFile file(Bytes(), ".ts");
    const std::string text = settings;
    const std::string size = text.substr(0, text.find(' '));
    run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + size +
        ":rate=25:duration=0.2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p " +
        text.substr(text.find(' ') + 1) + " " + shell_quote(file.path()));
    const Bytes part = read_file(file.path());
    joined.insert(joined.end(), part.begin(), part.end());
  }
  return joined;
}

TEST(H264SizeChange, EveryPictureIsConvertedToTheAnnouncedSize) {
  const Bytes in = size_change_stream();
  ASSERT_GT(in.size(), 0u);
  struct Expect {
    const char* name;
    int width, height;
  };
  ASSERT_EQ(video_stream(probe(in))["width"], 160);
  const Expect expect[] = {{"reencode", 160, 120}, {"rotate", 120, 160}, {"reverse", 160, 120}};
  for (size_t i = 0; i < 3; ++i) {
    Result out = kOperations[i].run(in);
    ASSERT_TRUE(out) << expect[i].name;
    const auto v = video_stream(probe(out.bytes()));
    EXPECT_EQ(v["width"], expect[i].width) << expect[i].name;
    EXPECT_EQ(v["height"], expect[i].height) << expect[i].name;
    EXPECT_EQ(decode_gray(out.bytes(), expect[i].width, expect[i].height).size(), 10u)
        << expect[i].name;
  }
}

// ---- rotation ----------------------------------------------------------------

struct AngleCase {
  int degrees;
  const char* turn;   // the same turn by the ffmpeg CLI
  const char* wrong;  // a different turn of the same output size
};
class RotateAngle : public ::testing::TestWithParam<AngleCase> {};

TEST_P(RotateAngle, FirstPictureMatchesTheSameTurnByTheCli) {
  const AngleCase& c = GetParam();
  const Bytes& in = fixture("h264_aac.mp4");  // 320x240
  Result out = rotate(in, c.degrees);
  ASSERT_TRUE(out);
  const bool quarter = std::string(c.turn).find("transpose") != std::string::npos;
  const int w = quarter ? 240 : 320, h = quarter ? 320 : 240;
  const auto v = video_stream(probe(out.bytes()));
  EXPECT_EQ(v["width"], w);
  EXPECT_EQ(v["height"], h);
  const auto got = decode_gray(out.bytes(), w, h);
  const auto want = decode_gray(in, w, h, c.turn);
  const auto wrong = decode_gray(in, w, h, c.wrong);
  ASSERT_FALSE(got.empty());
  ASSERT_EQ(got.size(), want.size());
  EXPECT_LT(mean_absolute_difference(got[0], want[0]), 3.0);
  EXPECT_LT(mean_absolute_difference(got.back(), want.back()), 3.0);
  EXPECT_GT(mean_absolute_difference(got[0], wrong[0]), 8.0);
}

INSTANTIATE_TEST_SUITE_P(
    Angles, RotateAngle,
    ::testing::Values(AngleCase{90, "transpose=clock", "transpose=cclock"},
                      AngleCase{450, "transpose=clock", "transpose=cclock"},
                      AngleCase{-270, "transpose=clock", "transpose=cclock"},
                      AngleCase{270, "transpose=cclock", "transpose=clock"},
                      AngleCase{-90, "transpose=cclock", "transpose=clock"},
                      AngleCase{-450, "transpose=cclock", "transpose=clock"},
                      AngleCase{180, "hflip,vflip", "hflip"},
                      AngleCase{-180, "hflip,vflip", "vflip"}),
    [](const auto& info) {
      const int d = info.param.degrees;
      return (d < 0 ? "Minus" : "Plus") + std::to_string(d < 0 ? -d : d);
    });

TEST(RotateVideo, RefusedAnglesNeverTouchTheInput) {
  // A null pointer with a large length: reading it would crash.
  for (int degrees : {0, 45, 360, -360, 720, 91, -1}) {
    Result out = call([&](uint64_t* n) { return rotate_video(nullptr, 1u << 30, degrees, n); });
    EXPECT_FALSE(out) << degrees;
    EXPECT_EQ(out.size, 0u) << degrees;
  }
}

struct OddCase {
  int degrees;
  int width, height;    // the even output size
  const char* oracle;   // the turn and the top-left crop, by the CLI
};
class RotateOdd : public ::testing::TestWithParam<OddCase> {};

TEST_P(RotateOdd, OddSourceIsTurnedWholeAndCutToEvenWithoutResampling) {
  const OddCase& c = GetParam();
  const Bytes& in = fixture("odd_641x361.mkv");
  Result out = rotate(in, c.degrees);
  ASSERT_TRUE(out);
  const auto v = video_stream(probe(out.bytes()));
  EXPECT_EQ(v["width"], c.width);
  EXPECT_EQ(v["height"], c.height);
  EXPECT_TRUE(decodes_cleanly(out.bytes()));
  const auto got = decode_gray(out.bytes(), c.width, c.height);
  const auto want = decode_gray(in, c.width, c.height, c.oracle);
  ASSERT_EQ(got.size(), 5u);
  ASSERT_EQ(want.size(), 5u);
  EXPECT_LT(mean_absolute_difference(got[0], want[0]), 3.0);
}

INSTANTIATE_TEST_SUITE_P(
    Angles, RotateOdd,
    ::testing::Values(OddCase{90, 360, 640, "transpose=clock,crop=360:640:0:0"},
                      OddCase{270, 360, 640, "transpose=cclock,crop=360:640:0:0"},
                      OddCase{180, 640, 360, "hflip,vflip,crop=640:360:0:0"}),
    [](const auto& info) { return "Plus" + std::to_string(info.param.degrees); });

// ---- reversal -------------------------------------------------------------------

class ReverseOrder : public ::testing::TestWithParam<const char*> {};

TEST_P(ReverseOrder, PicturesComeOutLastFirstAndAllOfThem) {
  const Bytes& in = fixture(GetParam());
  Result out = reverse(in);
  ASSERT_TRUE(out);
  const auto src = decode_gray(in, 160, 120);
  const auto got = decode_gray(out.bytes(), 160, 120);
  ASSERT_GT(src.size(), 2u);
  ASSERT_EQ(got.size(), src.size());
  const size_t n = src.size();
  for (size_t i = 0; i < n; ++i)
    EXPECT_LT(mean_absolute_difference(got[i], src[n - 1 - i]), 3.0) << "picture " << i;
  // The comparison can tell the ends apart.
  EXPECT_GT(mean_absolute_difference(got[0], src[0]), 10.0);
  EXPECT_TRUE(decodes_cleanly(out.bytes()));
}

// 64 pictures fill the first slots exactly; 65 make them grow. Both have
// B-frames, so the last pictures only leave the decoder when it is drained.
INSTANTIATE_TEST_SUITE_P(Clips, ReverseOrder,
                         ::testing::Values("pictures_64.mp4", "pictures_65.mp4", "rate25_mkv.mkv"),
                         [](const auto& info) { return "Clip" + std::to_string(info.index); });

class ReverseTiming : public ::testing::TestWithParam<const char*> {};

TEST_P(ReverseTiming, KeepsTheSourcesFrameRateDurationAndPictureCount) {
  const Bytes& in = fixture(GetParam());
  Result out = reverse(in);
  ASSERT_TRUE(out);
  const auto src = probe(in, true);
  const auto got = probe(out.bytes(), true);
  const auto vs = video_stream(src);
  const auto vg = video_stream(got);
  EXPECT_EQ(vg["r_frame_rate"], vs["r_frame_rate"]);
  EXPECT_EQ(vg["avg_frame_rate"], vs["avg_frame_rate"]);
  EXPECT_NEAR(std::stod(got["format"]["duration"].get<std::string>()),
              std::stod(src["format"]["duration"].get<std::string>()), 0.002);
  EXPECT_EQ(packets_of(got, 0).size(), packets_of(src, vs["index"].get<int>()).size());
}

// Time bases 1/12800 (25 fps MP4), 1/15360 (30 fps MP4), 1/1000 (Matroska).
INSTANTIATE_TEST_SUITE_P(Clips, ReverseTiming,
                         ::testing::Values("pictures_65.mp4", "rate30_mp4.mp4", "rate25_mkv.mkv"),
                         [](const auto& info) { return "Clip" + std::to_string(info.index); });

TEST(ReverseVideo, OddSourceIsResampledToEvenNotCropped) {
  const Bytes& in = fixture("odd_639x359.mkv");
  Result out = reverse(in);
  ASSERT_TRUE(out);
  const auto v = video_stream(probe(out.bytes()));
  EXPECT_EQ(v["width"], 638);
  EXPECT_EQ(v["height"], 358);
  const auto got = decode_gray(out.bytes(), 638, 358);
  const auto want = decode_gray(in, 638, 358, "scale=638:358");
  ASSERT_EQ(got.size(), want.size());
  ASSERT_FALSE(got.empty());
  EXPECT_LT(mean_absolute_difference(got[0], want.back()), 3.0);
}

// ---- command line ---------------------------------------------------------------

TEST(H264Cli, VerbsWriteProbeableFiles) {
  // The CLI loads the library under test, with the FFmpeg it was built for.
  const char* libs = std::getenv("LD_LIBRARY_PATH");
  const std::string cli = (libs ? "LD_LIBRARY_PATH=" + shell_quote(libs) + " " : std::string()) +
                          KORVEL_CLI_PATH;
  const std::string in = shell_quote(fixture_path("h264_320x180.mp4"));
  struct Verb {
    std::string arguments;
    int width, height;
  };
  const Verb verbs[] = {
      {"reencode " + in + " - --crf 30 --preset ultrafast --width 160", 160, 90},
      {"rotate " + in + " - --degrees -90", 180, 320},
      {"reverse " + in + " -", 320, 180},
  };
  for (const auto& verb : verbs) {
    int code = -1;
    const std::string out = run(cli + " " + verb.arguments + " 2>/dev/null", &code);
    ASSERT_EQ(code, 0) << verb.arguments;
    const auto v = video_stream(probe(Bytes(out.begin(), out.end())));
    EXPECT_EQ(v["width"], verb.width) << verb.arguments;
    EXPECT_EQ(v["height"], verb.height) << verb.arguments;
  }
  int code = -1;
  run(cli + " rotate " + in + " /dev/null 2>/dev/null", &code);
  EXPECT_EQ(code, 2);  // --degrees is required
  std::string errors = run(cli + " reencode " + shell_quote(fixture_path("audio.mp3")) +
                               " /dev/null 2>&1",
                           &code);
  EXPECT_EQ(code, 1);
  EXPECT_EQ(errors.find("libx264 encoder not found"), std::string::npos) << errors;
}

}  // namespace
