// Damaged and hostile inputs (made by scripts/make-hostile-inputs.py) through
// every operation, each call in a child process: the call must return null or
// a result ffprobe can read, never crash, and stay within a memory bound.
// The address-space limit only keeps a regression from taking the machine
// down; the checked bound is the growth of the child's peak resident set.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "korvel.h"
#include "support/test_support.h"

using namespace korvel_test;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr uint64_t kMiB = 1024 * 1024;

const Bytes& hostile(const std::string& name) { return fixture("hostile/" + name); }

// One operation over one input; returns the library's block and its length.
using Operation = std::function<uint8_t*(const Bytes&, uint64_t*)>;

struct NamedOperation {
  const char* name;
  Operation run;
};

uint8_t* info_block(const Bytes& in, uint64_t* out_size) {
  char* text = get_video_info(in.data(), in.size());
  *out_size = text != nullptr ? std::strlen(text) : 0;
  return reinterpret_cast<uint8_t*>(text);
}

const std::vector<NamedOperation>& operations() {
  static const std::vector<NamedOperation> table = {
      {"get_video_info", info_block},
      {"convert_format", [](const Bytes& in, uint64_t* n) {
         return convert_format(in.data(), in.size(), "matroska", n); }},
      {"trim_video", [](const Bytes& in, uint64_t* n) {
         return trim_video(in.data(), in.size(), n, 0.1, 0.5); }},
      {"mute_video", [](const Bytes& in, uint64_t* n) {
         return mute_video(in.data(), in.size(), n); }},
      {"strip_metadata", [](const Bytes& in, uint64_t* n) {
         return strip_metadata(in.data(), in.size(), n); }},
      {"set_metadata", [](const Bytes& in, uint64_t* n) {
         return set_metadata(in.data(), in.size(), "title", "x", n); }},
      {"change_speed", [](const Bytes& in, uint64_t* n) {
         return change_speed(in.data(), in.size(), n, 2.0); }},
      {"merge_videos_first", [](const Bytes& in, uint64_t* n) {
         const Bytes& other = fixture("h264_aac.mp4");
         return merge_videos(in.data(), in.size(), other.data(), other.size(), n); }},
      {"merge_videos_second", [](const Bytes& in, uint64_t* n) {
         const Bytes& other = fixture("h264_aac.mp4");
         return merge_videos(other.data(), other.size(), in.data(), in.size(), n); }},
      {"extract_audio_mp3", [](const Bytes& in, uint64_t* n) {
         return extract_audio(in.data(), in.size(), "mp3", n); }},
      {"extract_audio_wav", [](const Bytes& in, uint64_t* n) {
         return extract_audio(in.data(), in.size(), "wav", n); }},
      {"adjust_volume", [](const Bytes& in, uint64_t* n) {
         return adjust_volume(in.data(), in.size(), n, 0.5); }},
      {"reencode_video", [](const Bytes& in, uint64_t* n) {
         return reencode_video(in.data(), in.size(), 30, "ultrafast", 0, 0, n); }},
      {"rotate_video", [](const Bytes& in, uint64_t* n) {
         return rotate_video(in.data(), in.size(), 90, n); }},
      {"reverse_video", [](const Bytes& in, uint64_t* n) {
         return reverse_video(in.data(), in.size(), n); }},
      {"video_to_gif", [](const Bytes& in, uint64_t* n) {
         return video_to_gif(in.data(), in.size(), 5, 64, n, 0, 0); }},
      {"extract_frame", [](const Bytes& in, uint64_t* n) {
         return extract_frame(in.data(), in.size(), "png", n, 0.5); }},
  };
  return table;
}

// A /proc/self/status figure in bytes ("VmHWM", "VmSize"), or 0.
uint64_t status_bytes(const char* key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, std::strlen(key), key) == 0 && line[std::strlen(key)] == ':')
      return std::stoull(line.substr(std::strlen(key) + 1)) * 1024;
  return 0;
}

struct ChildOutcome {
  int signal = 0;             // the signal that ended the child, or 0
  bool finished = false;      // the call returned and the child reported
  bool has_result = false;
  Bytes result;
  uint64_t peak_growth = 0;   // peak resident set during the call, minus before
};

bool write_all(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Runs the call in a forked child under an address-space limit of its own
// size plus `headroom` (none under the sanitizers, whose shadow memory such a
// limit would break). The child reports the result and its peak growth.
ChildOutcome run_in_child(const Operation& op, const Bytes& input, uint64_t headroom) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (!kSanitized) {
      const rlim_t limit = status_bytes("VmSize") + headroom;
      const rlimit rl{limit, limit};
      setrlimit(RLIMIT_AS, &rl);
    }
    const uint64_t before = status_bytes("VmHWM");
    uint64_t size = 0;
    uint8_t* block = op(input, &size);
    const uint64_t growth = status_bytes("VmHWM") - before;
    const uint8_t flag = block != nullptr;
    const bool ok = write_all(fds[1], &growth, sizeof growth) &&
                    write_all(fds[1], &flag, 1) && write_all(fds[1], &size, sizeof size) &&
                    (block == nullptr || write_all(fds[1], block, size));
    std::free(block);
    _exit(ok ? 0 : 3);
  }
  close(fds[1]);
  Bytes report;
  uint8_t buffer[65536];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
    report.insert(report.end(), buffer, buffer + n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ChildOutcome outcome;
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  constexpr size_t kHeader = sizeof(uint64_t) + 1 + sizeof(uint64_t);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || report.size() < kHeader)
    return outcome;
  outcome.finished = true;
  std::memcpy(&outcome.peak_growth, report.data(), sizeof(uint64_t));
  outcome.has_result = report[sizeof(uint64_t)] != 0;
  outcome.result.assign(report.begin() + kHeader, report.end());
  return outcome;
}

// A result the ffmpeg CLI opens and reads every packet of (its decoders under
// the same pixel limit, so that a copied 16000x16000 stream is not decoded
// for long). An input none of whose packets could be read gives a file of
// headers only, which some containers' demuxers refuse: only a result of
// more than a kilobyte must open.
bool readable(const char* operation, const Bytes& result) {
  if (std::strcmp(operation, "get_video_info") == 0)
    return !nlohmann::json::parse(result.begin(), result.end(), nullptr, false).is_discarded();
  if (result.size() < 1024) return true;
  TempFile file(result);
  int code = 0;
  run("ffmpeg -nostdin -v quiet -max_pixels 35389440 -i " + shell_quote(file.path()) +
          " -map 0 -c copy -f null -",
      &code);
  return code == 0;
}

struct HostileCase {
  const char* input;
  uint64_t growth_bound;  // peak resident growth allowed for any operation
};

// The damaged files crashed the process (a converter made for a picture
// format still unknown, a resampler fed frames of another channel count);
// the WAV and the SPS made FFmpeg allocate what their headers claim.
const HostileCase kCases[] = {
    {"cut_faststart.mp4", 256 * kMiB},
    {"stereo_to_mono.mp3", 256 * kMiB},
    {"huge_stsz.mp4", 256 * kMiB},
    {"info_2gb.wav", 64 * kMiB},
    {"sps_16000.h264", 256 * kMiB},
};

class HostileInput : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileInput, EveryOperationReturnsNullOrAReadableFileWithinBoundedMemory) {
  const HostileCase& c = GetParam();
  const Bytes& input = hostile(c.input);
  ASSERT_FALSE(input.empty());
  for (const NamedOperation& op : operations()) {
    SCOPED_TRACE(op.name);
    const ChildOutcome outcome = run_in_child(op.run, input, 4096 * kMiB);
    ASSERT_EQ(outcome.signal, 0) << "killed by " << strsignal(outcome.signal);
    ASSERT_TRUE(outcome.finished);
    if (outcome.has_result) {
      EXPECT_TRUE(readable(op.name, outcome.result));
    }
    // The sanitizers' own bookkeeping grows with every allocation.
    if (!kSanitized) {
      EXPECT_LE(outcome.peak_growth, c.growth_bound);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Files, HostileInput, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                           std::string name = info.param.input;
                           for (char& ch : name)
                             if (ch == '.') ch = '_';
                           return name;
                         });

// What survives a channel-count change: both halves of the stream, the
// stereo second and the mono second, decoded by the ffmpeg CLI from the
// result (the mono half comes out on both channels).
TEST(ChannelChange, KeepsAllTheAudio) {
  const Bytes& input = hostile("stereo_to_mono.mp3");
  for (const char* format : {"wav", "mp3"}) {
    SCOPED_TRACE(format);
    const ChildOutcome outcome = run_in_child(
        [format](const Bytes& in, uint64_t* n) {
          return extract_audio(in.data(), in.size(), format, n);
        },
        input, 4096 * kMiB);
    ASSERT_EQ(outcome.signal, 0) << strsignal(outcome.signal);
    ASSERT_TRUE(outcome.has_result);
    int channels = 0, rate = 0;
    const std::vector<float> samples = decode_audio(outcome.result, &channels, &rate);
    ASSERT_EQ(channels, 2);
    ASSERT_EQ(rate, 44100);
    const size_t frames = samples.size() / 2;
    // Two seconds of sine, less the encoders' padding and priming.
    EXPECT_NEAR(static_cast<double>(frames) / rate, 2.0, 0.1);
    const size_t third = frames / 3;
    std::vector<float> late(samples.end() - static_cast<long>(third) * 2, samples.end());
    EXPECT_GT(rms(late), 0.03) << "the mono half is missing or silent";
  }
}

}  // namespace

namespace {

// 8K pictures are decoded; larger ones are refused before anything is
// decoded or encoded.
TEST(PixelLimit, AdmitsEightKAndRefusesLargerPictures) {
  struct Row {
    const char* input;
    bool admitted;
  };
  for (const Row& row : {Row{"limit_7680x4320.mkv", true}, Row{"limit_8200x4400.mkv", false}}) {
    SCOPED_TRACE(row.input);
    const Bytes& in = fixture(row.input);
    const Result still = call([&](uint64_t* n) { return extract_frame(in.data(), in.size(), "jpeg", n, 0); });
    ASSERT_EQ(static_cast<bool>(still), row.admitted);
    if (row.admitted) {
      const nlohmann::json probed = probe(still.bytes());
      ASSERT_TRUE(probed.contains("streams"));
      EXPECT_EQ(probed["streams"][0].value("width", 0), 7680);
      EXPECT_EQ(probed["streams"][0].value("height", 0), 4320);
    }
    const Result gif = call([&](uint64_t* n) { return video_to_gif(in.data(), in.size(), 1, 64, n, 0, 0); });
    EXPECT_EQ(static_cast<bool>(gif), row.admitted);
  }
}

}  // namespace
