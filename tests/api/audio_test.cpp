// extract_audio and adjust_volume, checked against ffprobe and decodes by the
// ffmpeg CLI.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cmath>
#include <sstream>

#include "korvel.h"
#include "support/test_support.h"

using namespace korvel_test;

namespace {

Result extract(const Bytes& in, const char* format) {
  return call([&](uint64_t* n) { return extract_audio(in.data(), in.size(), format, n); });
}
Result volume(const Bytes& in, double factor) {
  return call([&](uint64_t* n) { return adjust_volume(in.data(), in.size(), n, factor); });
}

// Samples per channel of the first audio stream as decoded by the CLI, and
// its rate.
struct Decoded {
  std::vector<float> samples;
  int channels = 0;
  int rate = 0;
  double frames() const { return channels ? double(samples.size()) / channels : 0; }
};
Decoded decode(const Bytes& media) {
  Decoded d;
  d.samples = decode_audio(media, &d.channels, &d.rate);
  return d;
}

// Rising crossings per second of the first channel, with hysteresis against
// coding noise around zero: the tone's frequency.
double tone_frequency(const Decoded& d) {
  float peak = 0;
  for (size_t i = 0; i < d.samples.size(); i += d.channels)
    peak = std::max(peak, std::abs(d.samples[i]));
  const float band = peak / 3;
  // Measured between the first and the last crossing, so that leading
  // silence (an encoder's priming) does not count.
  size_t first = 0, last = 0;
  int crossings = 0;
  bool low = false;
  for (size_t i = 0; i < d.samples.size(); i += d.channels) {
    if (d.samples[i] < -band) low = true;
    if (low && d.samples[i] > band) {
      if (crossings++ == 0) first = i;
      last = i;
      low = false;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) / (double(last - first) / d.channels / d.rate);
}

// ---- extract_audio

struct ExtractCase {
  const char* format;
  const char* codec_name;
  const char* format_name;
  double tolerance;  // samples: one encoder frame plus the encoder's priming
};

const ExtractCase kExtractCases[] = {
    {"mp3", "mp3", "mp3", 1152 + 1105},
    {"aac", "aac", "aac", 1024 + 1024},
    {"ogg", "vorbis", "ogg", 2048 + 2048},
    {"wav", "pcm_s16le", "wav", 2},  // PCM: nothing but resampler rounding
};

const char* const kExtractInputs[] = {
    "audio.wav",        // 44100 Hz stereo, 16-bit
    "mono_22050.ogg",   // mono at 22050 Hz, planar float
    "stereo_48k.m4a",   // 48 kHz stereo AAC
    "surround_51.mka",  // 48 kHz 5.1 FLAC
    "h264_aac.mp4",     // audio beside video
};

// Samples (at the input's rate) by which the library's FFmpeg generation may
// decode an input longer than the CLI does: FFmpeg 4.x does not cut the last
// Vorbis packet in Ogg back to the stream's final granule position.
double decoder_slack(const std::string& input) {
  return input == "mono_22050.ogg" ? 512 : 0;
}

class ExtractAudio
    : public ::testing::TestWithParam<std::tuple<ExtractCase, const char*>> {};

TEST_P(ExtractAudio, GivesOneStream44100HzStereoOfTheInputsLength) {
  const ExtractCase& c = std::get<0>(GetParam());
  const Bytes& in = fixture(std::get<1>(GetParam()));
  Result out = extract(in, c.format);
  ASSERT_TRUE(out);
  ASSERT_GT(out.size, 0u);

  const auto probed = probe(out.bytes());
  EXPECT_EQ(probed["format"]["format_name"], c.format_name);
  ASSERT_EQ(probed["streams"].size(), 1u);
  const auto& stream = probed["streams"][0];
  EXPECT_EQ(stream["index"], 0);
  EXPECT_EQ(stream["codec_name"], c.codec_name);
  EXPECT_EQ(stream["sample_rate"], "44100");
  EXPECT_EQ(stream["channels"], 2);

  const Decoded source = decode(in);
  const Decoded result = decode(out.bytes());
  ASSERT_EQ(result.channels, 2);
  ASSERT_EQ(result.rate, 44100);
  const double expected = source.frames() * 44100.0 / source.rate;
  const double slack = decoder_slack(std::get<1>(GetParam())) * 44100.0 / source.rate;
  EXPECT_GE(result.frames(), expected - c.tolerance);
  EXPECT_LE(result.frames(), expected + c.tolerance + slack);
  EXPECT_NEAR(tone_frequency(result), 440.0, 5.0);
  EXPECT_TRUE(decodes_cleanly(out.bytes()));
}

std::string test_name(const std::string& text) {
  std::string out;
  for (char ch : text) out += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    FormatsAndInputs, ExtractAudio,
    ::testing::Combine(::testing::ValuesIn(kExtractCases), ::testing::ValuesIn(kExtractInputs)),
    [](const auto& info) {
      return test_name(std::string(std::get<0>(info.param).format) + "_from_" +
                       std::get<1>(info.param));
    });

TEST(ExtractAudioWav, SameRateStereo16BitComesOutSampleForSample) {
  const Bytes& in = fixture("audio.wav");
  Result out = extract(in, "wav");
  ASSERT_TRUE(out);
  EXPECT_EQ(decode(out.bytes()).samples, decode(in).samples);
}

TEST(ExtractAudioStreams, OnlyTheFirstOfSeveralAudioStreamsIsUsed) {
  // Stream 1: 440 Hz at 44100 Hz; stream 2: 880 Hz at 48000 Hz.
  Result out = extract(fixture("two_audio.mkv"), "wav");
  ASSERT_TRUE(out);
  EXPECT_NEAR(tone_frequency(decode(out.bytes())), 440.0, 5.0);
}

TEST(ExtractAudioStreams, VideoOnlyInputGivesNullAndPrintsNothing) {
  ::testing::internal::CaptureStderr();
  Result out = extract(fixture("video_only.mp4"), "mp3");
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(out);
  EXPECT_EQ(out.size, 0u);
  EXPECT_EQ(printed, "");
}

class ExtractAudioRefusedFormat : public ::testing::TestWithParam<const char*> {};

TEST_P(ExtractAudioRefusedFormat, PrintsTheMessageAndGivesNull) {
  ::testing::internal::CaptureStderr();
  Result out = extract(fixture("audio.wav"), GetParam());
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(out);
  EXPECT_EQ(out.size, 0u);
  EXPECT_EQ(printed, std::string("Unsupported audio format: ") + GetParam() + "\n");
}

INSTANTIATE_TEST_SUITE_P(Names, ExtractAudioRefusedFormat,
                         ::testing::Values("MP3", "Wav", "AAC", "flac", "adts", "mp3 ", ""),
                         [](const auto& info) { return "name_" + test_name(info.param) + "_" + std::to_string(info.index); });

// ---- adjust_volume

// The level the output should have: the input's decoded samples scaled and
// clipped at full scale, worked out here from the CLI's decode.
// Channel `skip` (the LFE channel, which AAC band-limits) left out.
std::vector<float> without_channel(const Decoded& d, int skip) {
  std::vector<float> out;
  for (size_t i = 0; i < d.samples.size(); ++i)
    if (static_cast<int>(i % d.channels) != skip) out.push_back(d.samples[i]);
  return out;
}

double expected_rms(const Decoded& in, double factor, int skip) {
  const double gain = factor > 0 ? factor : 0;
  std::vector<float> scaled = without_channel(in, skip);
  for (float& s : scaled) s = static_cast<float>(std::clamp(gain * s, -1.0, 1.0));
  return rms(scaled);
}

struct VolumeCase {
  const char* input;
  double factor;
  int skip_channel = -1;
};

class AdjustVolume : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(AdjustVolume, LevelIsTheInputsScaledAndClipped) {
  const VolumeCase& c = GetParam();
  const Bytes& in = fixture(c.input);
  Result out = volume(in, c.factor);
  ASSERT_TRUE(out);
  const Decoded source = decode(in);
  const Decoded result = decode(out.bytes());
  ASSERT_EQ(result.channels, source.channels);
  ASSERT_EQ(result.rate, source.rate);
  // Same length: AAC in MP4 carries its priming, so the decode is exact up to
  // the last frame's padding.
  EXPECT_NEAR(result.frames(), source.frames(), 1024);
  const double want = expected_rms(source, c.factor, c.skip_channel);
  const double got = rms(without_channel(result, c.skip_channel));
  if (want == 0) {
    EXPECT_LT(got, 1e-4);
  } else {
    EXPECT_NEAR(got / want, 1.0, 0.08) << "rms " << got << " expected " << want;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Factors, AdjustVolume,
    ::testing::Values(
        // 16-bit integer decode (WAV), peaks at about 0.88.
        VolumeCase{"loud_s16.wav", 1.0}, VolumeCase{"loud_s16.wav", 0.5},
        VolumeCase{"loud_s16.wav", 2.0}, VolumeCase{"loud_s16.wav", 0.0},
        VolumeCase{"loud_s16.wav", -3.0},
        // Planar float decode (AAC beside video), same level.
        VolumeCase{"loud_video.mp4", 1.0}, VolumeCase{"loud_video.mp4", 0.5},
        VolumeCase{"loud_video.mp4", 2.0}, VolumeCase{"loud_video.mp4", 0.0},
        VolumeCase{"loud_video.mp4", -0.5},
        // Mono Vorbis at 22050 Hz, quiet: doubling does not clip.
        VolumeCase{"mono_22050.ogg", 2.0}, VolumeCase{"mono_22050.ogg", 0.5},
        // 16-bit FLAC 5.1; channel 3 is the LFE.
        VolumeCase{"surround_51.mka", 0.5, 3}, VolumeCase{"surround_51.mka", 2.0, 3}),
    [](const auto& info) {
      return test_name(std::string(info.param.input) + "_x" + std::to_string(info.param.factor));
    });

TEST(AdjustVolumeClipping, DoublingLoudAudioClipsAtFullScale) {
  for (const char* input : {"loud_s16.wav", "loud_video.mp4"}) {
    Result out = volume(fixture(input), 2.0);
    ASSERT_TRUE(out) << input;
    const Decoded source = decode(fixture(input));
    const Decoded result = decode(out.bytes());
    // Unclipped doubling would give twice the input's level; clipping keeps
    // it well below that.
    EXPECT_LT(rms(result.samples), 1.8 * rms(source.samples)) << input;
    float peak = 0;
    for (float s : result.samples) peak = std::max(peak, std::abs(s));
    EXPECT_LT(peak, 1.15f) << input;  // AAC may overshoot a clipped edge a little
  }
}

// Per-packet checksums of the first video stream, in order.
std::vector<std::string> video_packet_hashes(const Bytes& media) {
  TempFile file(media);
  const std::string out = run("ffmpeg -nostdin -v error -i " + shell_quote(file.path()) +
                              " -map 0:v:0 -c copy -f framemd5 -");
  std::vector<std::string> hashes;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    hashes.push_back(line.substr(line.rfind(',') + 1));
  }
  return hashes;
}

TEST(AdjustVolumeStreams, VideoIsCopiedByteForByteAndAudioIsStreamOne) {
  const Bytes& in = fixture("h264_aac.mp4");
  Result out = volume(in, 0.5);
  ASSERT_TRUE(out);
  const auto probed = probe(out.bytes(), true);
  EXPECT_EQ(probed["format"]["format_name"], "mov,mp4,m4a,3gp,3g2,mj2");
  ASSERT_EQ(probed["streams"].size(), 2u);
  EXPECT_EQ(probed["streams"][0]["codec_type"], "video");
  EXPECT_EQ(probed["streams"][1]["codec_type"], "audio");
  EXPECT_EQ(probed["streams"][1]["codec_name"], "aac");
  // A drained audio packet stamped with the wrong index would show up among
  // the video packets.
  const auto hashes = video_packet_hashes(in);
  ASSERT_FALSE(hashes.empty());
  EXPECT_EQ(video_packet_hashes(out.bytes()), hashes);
  EXPECT_EQ(packets_of(probed, 0).size(), hashes.size());
}

TEST(AdjustVolumeStreams, AudioOnlyInputGivesOneStreamAtIndexZero) {
  Result out = volume(fixture("audio.mp3"), 1.0);
  ASSERT_TRUE(out);
  const auto probed = probe(out.bytes());
  ASSERT_EQ(probed["streams"].size(), 1u);
  EXPECT_EQ(probed["streams"][0]["index"], 0);
  EXPECT_EQ(probed["streams"][0]["codec_name"], "aac");
}

TEST(AdjustVolumeStreams, OnlyTheFirstAudioAndVideoStreamsAreKept) {
  Result out = volume(fixture("two_audio.mkv"), 1.0);
  ASSERT_TRUE(out);
  const auto probed = probe(out.bytes());
  EXPECT_EQ(count_streams(probed, "video"), 1);
  EXPECT_EQ(count_streams(probed, "audio"), 1);
  EXPECT_NEAR(tone_frequency(decode(out.bytes())), 440.0, 5.0);
}

TEST(AdjustVolumeTiming, AudioPacketsFollowEachOtherWithoutGaps) {
  Result out = volume(fixture("h264_aac.mp4"), 1.0);
  ASSERT_TRUE(out);
  const auto packets = packets_of(probe(out.bytes(), true), 1);
  ASSERT_GT(packets.size(), 10u);
  std::vector<int64_t> pts;
  for (const auto& p : packets) pts.push_back(field(p, "pts"));
  std::sort(pts.begin(), pts.end());
  for (size_t i = 1; i < pts.size(); ++i)
    ASSERT_EQ(pts[i] - pts[i - 1], 1024) << "packet " << i;
}

// ---- Both operations on inputs they cannot use

struct BadInput {
  const char* name;
  Bytes bytes;
};

std::vector<BadInput> bad_inputs() {
  const Bytes& mp4 = fixture("h264_aac.mp4");
  Bytes noise(4096);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 7919 % 251);
  return {
      {"empty", {}},
      {"not media", noise},
      {"truncated mp4 (no index)", Bytes(mp4.begin(), mp4.begin() + mp4.size() / 2)},
      {"no audio", fixture("video_only.mp4")},
      {"subtitles only", fixture("subtitle_only.mkv")},
  };
}

TEST(AudioBadInput, BothOperationsGiveNullWithZeroSize) {
  for (const BadInput& bad : bad_inputs()) {
    for (const char* format : {"mp3", "aac", "ogg", "wav"}) {
      Result out = extract(bad.bytes, format);
      EXPECT_FALSE(out) << bad.name << " " << format;
      EXPECT_EQ(out.size, 0u) << bad.name;
    }
    Result out = volume(bad.bytes, 1.0);
    EXPECT_FALSE(out) << bad.name;
    EXPECT_EQ(out.size, 0u) << bad.name;
  }
}

TEST(AudioBadInput, NullLengthPointerIsRefused) {
  const Bytes& in = fixture("audio.wav");
  EXPECT_EQ(extract_audio(in.data(), in.size(), "wav", nullptr), nullptr);
  EXPECT_EQ(adjust_volume(in.data(), in.size(), nullptr, 1.0), nullptr);
}

TEST(AudioBadInput, NullFormatIsRefused) {
  const Bytes& in = fixture("audio.wav");
  ::testing::internal::CaptureStderr();
  Result out = extract(in, nullptr);
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(out);
  EXPECT_EQ(out.size, 0u);
}

// ---- Command line

TEST(AudioCli, ExtractAudioAndVolumeVerbsWriteTheirFiles) {
  TempFile wav_in(fixture("audio.wav"), ".wav");
  TempFile mp3_out(Bytes{}, ".mp3");
  TempFile mp4_out(Bytes{}, ".mp4");
  // The test harness runs commands without LD_LIBRARY_PATH (meant for the
  // system's ffmpeg); the CLI needs the FFmpeg the library was built with.
  const char* library_path = std::getenv("LD_LIBRARY_PATH");
  const std::string cli = "env LD_LIBRARY_PATH=" + shell_quote(library_path ? library_path : "") +
                          " " + shell_quote(KORVEL_CLI_PATH);
  int code = -1;
  run(cli + " extract-audio " + shell_quote(wav_in.path()) + " " + shell_quote(mp3_out.path()) +
          " -y --format mp3 2>/dev/null",
      &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(probe_file(mp3_out.path())["streams"][0]["codec_name"], "mp3");
  run(cli + " volume " + shell_quote(wav_in.path()) + " " + shell_quote(mp4_out.path()) +
          " -y --factor 0.5 2>/dev/null",
      &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(probe_file(mp4_out.path())["streams"][0]["codec_name"], "aac");
  // The tool refuses the name itself, before the library could.
  const std::string printed =
      run(cli + " extract-audio " + shell_quote(wav_in.path()) + " - --format flac 2>&1", &code);
  EXPECT_EQ(code, 2);
  EXPECT_NE(printed.find("--format 'flac'"), std::string::npos) << printed;
}

}  // namespace
