// strip_metadata, set_metadata, change_speed and merge_videos, checked with
// ffprobe and the ffmpeg CLI against their inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <set>

#include "korvel.h"
#include "support/test_support.h"

using namespace korvel_test;

namespace {

using Operation = std::function<Result(const Bytes&)>;

Result strip(const Bytes& in) {
  return call([&](uint64_t* n) { return strip_metadata(in.data(), in.size(), n); });
}
Result set(const Bytes& in, const char* key, const char* value) {
  return call([&](uint64_t* n) { return set_metadata(in.data(), in.size(), key, value, n); });
}
Result speed(const Bytes& in, double factor) {
  return call([&](uint64_t* n) { return change_speed(in.data(), in.size(), n, factor); });
}
Result merge(const Bytes& a, const Bytes& b) {
  return call([&](uint64_t* n) { return merge_videos(a.data(), a.size(), b.data(), b.size(), n); });
}

std::vector<std::string> codec_types(const nlohmann::json& probed) {
  std::vector<std::string> out;
  for (const auto& s : probed["streams"]) out.push_back(s["codec_type"]);
  return out;
}

// Index of the first stream of `type` in a probed file, or -1.
int first_stream(const nlohmann::json& probed, const std::string& type) {
  for (const auto& s : probed["streams"])
    if (s["codec_type"] == type) return s["index"].get<int>();
  return -1;
}

// Seconds per tick of a probed stream ("1/12800").
double tick_of(const nlohmann::json& probed, int stream) {
  const std::string tb = probed["streams"][stream]["time_base"];
  const size_t slash = tb.find('/');
  return std::stod(tb.substr(0, slash)) / std::stod(tb.substr(slash + 1));
}

std::vector<int64_t> sizes(const std::vector<nlohmann::json>& packets) {
  std::vector<int64_t> out;
  for (const auto& p : packets) out.push_back(field(p, "size"));
  return out;
}

std::map<std::string, std::string> format_tags(const nlohmann::json& probed) {
  std::map<std::string, std::string> out;
  if (probed["format"].contains("tags"))
    for (const auto& [k, v] : probed["format"]["tags"].items()) out[k] = v;
  return out;
}

// ---- metadata -------------------------------------------------------------

struct MetadataCase {
  const char* name;
  const char* key;  // null: strip_metadata
  const char* value;
  std::map<std::string, std::string> expected;  // tags that must be there
  std::vector<std::string> absent;              // tags that must not
};

void PrintTo(const MetadataCase& c, std::ostream* os) { *os << c.name; }

class Metadata : public ::testing::TestWithParam<MetadataCase> {};

TEST_P(Metadata, WritesTheExpectedContainerTags) {
  const MetadataCase& c = GetParam();
  const Bytes& in = fixture("h264_aac_tagged.mp4");
  Result out = c.key ? set(in, c.key, c.value) : strip(in);
  ASSERT_TRUE(out);
  const auto tags = format_tags(probe(out.bytes()));
  for (const auto& [k, v] : c.expected) {
    ASSERT_TRUE(tags.count(k)) << k;
    EXPECT_EQ(tags.at(k), v) << k;
  }
  for (const auto& k : c.absent) EXPECT_FALSE(tags.count(k)) << k;
  // Only what the mp4 muxer writes by itself may appear beside the chosen tags.
  const std::set<std::string> muxer_own{"major_brand", "minor_version", "compatible_brands",
                                        "encoder"};
  for (const auto& [k, v] : tags)
    EXPECT_TRUE(muxer_own.count(k) || c.expected.count(k)) << "unexpected tag " << k;
}

INSTANTIATE_TEST_SUITE_P(
    Tags, Metadata,
    ::testing::Values(
        MetadataCase{"StripDropsTitleAndArtist", nullptr, nullptr, {}, {"title", "artist"}},
        MetadataCase{"SetReplacesAKeyWhateverItsCase", "TITLE", "New",
                     {{"title", "New"}, {"artist", "Someone"}}, {}},
        MetadataCase{"SetAddsAKeyAndKeepsTheOthers", "comment", "hello",
                     {{"comment", "hello"}, {"title", "Original"}, {"artist", "Someone"}}, {}},
        // The entry is set to "", not removed; the mp4 muxer stores no empty
        // text, so the file shows it as absent while the title stays.
        MetadataCase{"SetEmptyValueKeepsTheOtherTags", "artist", "",
                     {{"title", "Original"}}, {"artist"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MetadataPackets, StripAndSetCopyTheSameVideoAndAudioPackets) {
  for (const char* name : {"h264_aac_tagged.mp4", "subs_data.mp4"}) {
    const Bytes& in = fixture(name);
    const auto probed_in = probe(in, true);
    Result stripped = strip(in);
    Result tagged = set(in, "title", "x");
    ASSERT_TRUE(stripped) << name;
    ASSERT_TRUE(tagged) << name;
    const auto a = probe(stripped.bytes(), true);
    const auto b = probe(tagged.bytes(), true);
    EXPECT_EQ(codec_types(a), (std::vector<std::string>{"video", "audio"})) << name;
    EXPECT_EQ(codec_types(b), codec_types(a)) << name;
    for (int out = 0; out < 2; ++out) {
      const int in_stream = first_stream(probed_in, out == 0 ? "video" : "audio");
      const auto want = packets_of(probed_in, in_stream);
      EXPECT_EQ(sizes(packets_of(a, out)), sizes(want)) << name << " stream " << out;
      EXPECT_EQ(sizes(packets_of(b, out)), sizes(want)) << name << " stream " << out;
      const auto got = packets_of(a, out);
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < got.size(); ++i)  // timestamps only rescaled
        EXPECT_NEAR(std::stod(got[i]["dts_time"].get<std::string>()),
                    std::stod(want[i]["dts_time"].get<std::string>()), 1e-4);
    }
    // Stream-level entries stay behind: the input's audio is tagged "fra".
    for (const auto& s : b["streams"])
      EXPECT_NE(s.value("tags", nlohmann::json::object()).value("language", ""), "fra");
  }
}

TEST(MetadataArguments, NullKeyOrValueIsRefused) {
  const Bytes& in = fixture("h264_aac_tagged.mp4");
  for (auto [key, value] : {std::pair<const char*, const char*>{nullptr, "v"},
                            {"title", nullptr}, {nullptr, nullptr}}) {
    Result out = set(in, key, value);
    EXPECT_FALSE(out);
    EXPECT_EQ(out.size, 0u);
  }
}

// ---- speed ----------------------------------------------------------------

class ChangeSpeed : public ::testing::TestWithParam<double> {};

// Each packet's pts and dts, divided by the factor with truncation toward
// zero in the input's ticks, must be what the output holds (within the
// rounding of one rescale); payloads and their order are unchanged.
TEST_P(ChangeSpeed, DividesTimestampsInTheInputTimeBase) {
  const double factor = GetParam();
  const Bytes& in = fixture("h264_aac.mp4");
  Result out = speed(in, factor);
  ASSERT_TRUE(out);
  const auto probed_in = probe(in, true);
  const auto probed = probe(out.bytes(), true);
  ASSERT_EQ(codec_types(probed), (std::vector<std::string>{"video", "audio"}));
  EXPECT_EQ(probed["streams"][1]["sample_rate"], probed_in["streams"][1]["sample_rate"]);
  for (int stream = 0; stream < 2; ++stream) {
    const auto want = packets_of(probed_in, stream);
    const auto got = packets_of(probed, stream);
    ASSERT_EQ(sizes(got), sizes(want)) << "stream " << stream;
    const double in_tick = tick_of(probed_in, stream), out_tick = tick_of(probed, stream);
    for (size_t i = 0; i < got.size(); ++i) {
      for (const char* key : {"pts", "dts"}) {
        const double expected = std::trunc(double(field(want[i], key)) / factor) * in_tick;
        EXPECT_NEAR(double(field(got[i], key)) * out_tick, expected, out_tick / 2 + 1e-9)
            << "stream " << stream << " packet " << i << " " << key;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Factors, ChangeSpeed, ::testing::Values(1.0, 2.0, 1.5, 0.5, 3.0),
                         [](const auto& info) {
                           return "Times" + std::to_string(int(info.param * 10)) + "Tenths";
                         });

TEST(ChangeSpeedFactor, FactorsOutsideTheAcceptedRangeAreRefused) {
  // Beyond 1/1000 and 1000 timestamps overflow or collapse to zero: refused
  // like a factor not above 0.
  const Bytes& in = fixture("h264_aac.mp4");
  const double inf = std::numeric_limits<double>::infinity();
  for (double factor : {0.0, -0.0, -1.0, std::nan(""), -inf, inf, 1e-300, 1e300, 0.000999,
                        1000.001}) {
    Result out = speed(in, factor);
    EXPECT_FALSE(out) << factor;
    EXPECT_EQ(out.size, 0u) << factor;
  }
}

TEST(ChangeSpeedFactor, TheRangeEndsStillWork) {
  // ffprobe's container duration follows the factor at both ends.
  const Bytes& in = fixture("h264_aac.mp4");
  const double in_duration = std::stod(probe(in)["format"]["duration"].get<std::string>());
  for (double factor : {0.001, 1000.0}) {
    Result out = speed(in, factor);
    ASSERT_TRUE(out) << factor;
    const auto probed = probe(out.bytes());
    const double duration = std::stod(probed["format"]["duration"].get<std::string>());
    // (plus up to a few ticks of the last packet at the fast end)
    EXPECT_NEAR(duration, in_duration / factor, in_duration / factor * 0.05 + 0.05) << factor;
  }
}

// ---- merge ----------------------------------------------------------------

struct MergeCase {
  const char* name;
  const char* first;
  const char* second;
  std::vector<std::string> expected_types;
};

void PrintTo(const MergeCase& c, std::ostream* os) { *os << c.name; }

class MergeVideos : public ::testing::TestWithParam<MergeCase> {};

// Every packet of the first input, then every packet of the second of the
// same kind; per stream the second part begins one packet duration (the
// first part's last) after the first part's last dts (plus the second
// input's own start when that is positive) and keeps its own spacing.
TEST_P(MergeVideos, AppendsTheSecondInputPerStreamWithoutGapOrLoss) {
  const MergeCase& c = GetParam();
  const Bytes& a = fixture(c.first);
  const Bytes& b = fixture(c.second);
  Result out = merge(a, b);
  ASSERT_TRUE(out);
  const auto pa = probe(a, true), pb = probe(b, true), probed = probe(out.bytes(), true);
  ASSERT_EQ(codec_types(probed), c.expected_types);
  for (int stream = 0; stream < int(c.expected_types.size()); ++stream) {
    const std::string& type = c.expected_types[stream];
    const auto first = packets_of(pa, first_stream(pa, type));
    const int second_index = first_stream(pb, type);
    const auto second = second_index < 0 ? std::vector<nlohmann::json>{}
                                         : packets_of(pb, second_index);
    const auto got = packets_of(probed, stream);
    ASSERT_EQ(got.size(), first.size() + second.size()) << type;
    auto want_sizes = sizes(first);
    for (int64_t s : sizes(second)) want_sizes.push_back(s);
    EXPECT_EQ(sizes(got), want_sizes) << type;
    if (second.empty()) continue;
    const size_t n = first.size();
    const double tick = tick_of(probed, stream);
    auto dts = [&](size_t i) { return double(field(got[i], "dts")) * tick; };
    auto seconds = [](const nlohmann::json& p, const char* key) {
      return std::stod(p[key].get<std::string>());
    };
    // The second input's own start is kept when it is 0 or later; an earlier
    // (negative) start is moved up to the join.
    const double own_start = std::max(0.0, seconds(second[0], "dts_time"));
    EXPECT_NEAR(dts(n) - dts(n - 1), seconds(first.back(), "duration_time") + own_start,
                tick + 1e-6)
        << type;
    for (size_t i = 0; i < second.size(); ++i)
      EXPECT_NEAR(dts(n + i) - dts(n),
                  seconds(second[i], "dts_time") - seconds(second[0], "dts_time"), tick + 1e-6)
          << type << " packet " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, MergeVideos,
    ::testing::Values(
        MergeCase{"TwoCopiesWithBFrames", "h264_aac.mp4", "h264_aac.mp4", {"video", "audio"}},
        MergeCase{"AudioOnlyInTheSecondIsDropped", "video_only.mp4", "h264_aac.mp4", {"video"}},
        MergeCase{"AudioOnlyInTheFirstEndsWithIt", "h264_aac.mp4", "video_only.mp4",
                  {"video", "audio"}},
        MergeCase{"SubtitleAndDataStreamsAreDropped", "subs_data.mp4", "with_subtitles.mkv",
                  {"video", "audio"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MergeVideosDecoding, TwoCopiesWithBFramesDecodeFromStartToEnd) {
  const Bytes& in = fixture("h264_aac.mp4");
  Result out = merge(in, in);
  ASSERT_TRUE(out);
  std::string errors;
  EXPECT_TRUE(decodes_cleanly(out.bytes(), &errors)) << errors;
  // Every picture of both halves, the second half's first ones included.
  const auto pictures = decode_gray(out.bytes(), 320, 240);
  const auto original = decode_gray(in, 320, 240);
  ASSERT_EQ(pictures.size(), 2 * original.size());
  for (size_t i = 0; i < original.size(); ++i)
    EXPECT_EQ(pictures[original.size() + i], original[i]) << "picture " << i;
}

// ---- bad input --------------------------------------------------------------

Bytes truncated(const Bytes& in) { return Bytes(in.begin(), in.begin() + in.size() / 2); }

TEST(StreamEditBadInput, EveryOperationGivesNullAndZeroSize) {
  const Bytes& good = fixture("h264_aac.mp4");
  const std::vector<std::pair<const char*, Bytes>> bad{
      {"empty", Bytes{}},
      {"text", Bytes{'n', 'o', 't', ' ', 'm', 'e', 'd', 'i', 'a', '\n'}},
      {"truncated mp4", truncated(good)},
      {"subtitles only", fixture("subtitle_only.mkv")},  // nothing to write: header refused
  };
  const std::vector<std::pair<const char*, Operation>> operations{
      {"strip", [](const Bytes& in) { return strip(in); }},
      {"set", [](const Bytes& in) { return set(in, "title", "x"); }},
      {"speed", [](const Bytes& in) { return speed(in, 2.0); }},
      {"merge first", [&](const Bytes& in) { return merge(in, good); }},
      {"merge second", [&](const Bytes& in) { return merge(good, in); }},
  };
  for (const auto& [op_name, op] : operations) {
    for (const auto& [input_name, input] : bad) {
      if (std::string(op_name) == "merge second" && std::string(input_name) == "subtitles only")
        continue;  // a second input with no matching stream simply adds nothing
      Result out = op(input);
      EXPECT_FALSE(out) << op_name << " on " << input_name;
      EXPECT_EQ(out.size, 0u) << op_name << " on " << input_name;
    }
  }
}

// ---- command line -----------------------------------------------------------

TEST(StreamEditCli, VerbsWriteTheirResult) {
  // The oracle helpers drop LD_LIBRARY_PATH; the CLI needs it back when the
  // library is tested against FFmpeg libraries outside the system paths.
  const char* library_path = std::getenv("LD_LIBRARY_PATH");
  const std::string cli =
      (library_path ? "LD_LIBRARY_PATH=" + shell_quote(library_path) + " " : std::string()) +
      KORVEL_CLI_PATH;
  const std::string in = shell_quote(fixture_path("h264_aac_tagged.mp4"));
  const std::vector<std::pair<std::string, int>> runs{
      {"strip-metadata " + in, 2},
      {"set-metadata " + in + " @OUT@ title 'Two words'", 2},
      {"speed " + in + " @OUT@ --factor 2", 2},
      {"merge " + in + " " + in, 2},
  };
  for (const auto& [args, streams] : runs) {
    TempFile out_file(Bytes{}, ".mp4");
    std::string command = cli + " " + args;
    const size_t at = command.find("@OUT@");
    const std::string out = shell_quote(out_file.path());
    if (at == std::string::npos) {
      command += " " + out;
    } else {
      command.replace(at, 5, out);
    }
    int code = -1;
    run(command + " -y 2>&1", &code);  // the temporary output exists already
    EXPECT_EQ(code, 0) << command;
    const auto probed = probe_file(out_file.path());
    EXPECT_EQ(count_streams(probed, "video") + count_streams(probed, "audio"), streams)
        << command;
    if (args.rfind("set-metadata", 0) == 0) {
      EXPECT_EQ(format_tags(probed)["title"], "Two words");
    }
  }
  int code = 0;
  run(cli + " speed " + in + " /dev/null 2>&1", &code);  // --factor is required
  EXPECT_EQ(code, 2);
}

}  // namespace
