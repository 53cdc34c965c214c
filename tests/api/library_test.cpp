// The shared object as callers see it: its exports, its version,
// its C header, its behaviour on bad input, and the command-line tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "korvel.h"
#include "support/test_support.h"

using namespace korvel_test;

namespace {

// The operations this build provides; the shared object must export exactly
// these and nothing else.
const std::set<std::string> kOperations = {
    "get_video_info", "convert_format", "trim_video", "mute_video",
    "strip_metadata", "set_metadata", "change_speed", "merge_videos",
    "video_to_gif", "extract_frame", "reencode_video", "rotate_video", "reverse_video",
    "extract_audio", "adjust_volume",
};

TEST(SharedObject, ExportsExactlyTheOperations) {
  const std::string out =
      run("nm -D --defined-only " + shell_quote(KORVEL_LIBRARY_PATH) + " | awk '{print $3}'");
  std::set<std::string> exported;
  std::istringstream lines(out);
  for (std::string name; std::getline(lines, name);) {
    if (name.empty()) continue;
    exported.insert(name.substr(0, name.find('@')));
  }
  EXPECT_EQ(exported, kOperations);
}

TEST(SharedObject, FileNameAndSonameCarryTheHeadersVersion) {
  const std::string path = KORVEL_LIBRARY_PATH;
  const std::string file = path.substr(path.rfind('/') + 1);
  EXPECT_EQ(file, "libkorvel.so." KORVEL_VERSION_STRING);
  const std::string out = run("readelf -d " + shell_quote(path));
  EXPECT_NE(out.find("Library soname: [libkorvel.so." + std::to_string(KORVEL_VERSION_MAJOR) + "]"),
            std::string::npos)
      << out;
  // The wheel's folder layout is set on the wheel's copy only.
  EXPECT_EQ(out.find("korvel.libs"), std::string::npos) << out;
}

TEST(SharedObject, CProgramCompilesAndLinksAgainstTheHeader) {
  const std::string dir = std::string(KORVEL_BINARY_DIR) + "/c_link_check";
  run("mkdir -p " + shell_quote(dir));
  const std::string source = dir + "/main.c";
  std::ofstream(source) << R"(#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "korvel.h"
int main(void) {
  static const uint8_t junk[4] = {1, 2, 3, 4};
  char version[32];
  snprintf(version, sizeof version, "%d.%d.%d", KORVEL_VERSION_MAJOR, KORVEL_VERSION_MINOR,
           KORVEL_VERSION_PATCH);
  if (strcmp(version, KORVEL_VERSION_STRING) != 0) return 3;
  uint64_t size = 99;
  uint8_t* out = convert_format(junk, sizeof junk, NULL, &size);
  char* info = get_video_info(junk, sizeof junk);
  printf("%s %llu %s\n", out ? "out" : "null", (unsigned long long)size, info ? "info" : "null");
  free(out);
  free(info);
  return 0;
}
)";
  const std::string lib_dir = std::string(KORVEL_LIBRARY_PATH).substr(
      0, std::string(KORVEL_LIBRARY_PATH).rfind('/'));
  int code = -1;
  run(std::string(KORVEL_C_COMPILER) + " -std=c99 -Wall -Werror -pedantic -I" +
          shell_quote(std::string(KORVEL_SOURCE_DIR) + "/include") + " -I" +
          shell_quote(KORVEL_GENERATED_INCLUDE_DIR) + " " + shell_quote(source) + " -o " +
          shell_quote(dir + "/main") + " -L" + shell_quote(lib_dir) + " -Wl,-rpath," +
          shell_quote(lib_dir) + " -Wl,--allow-shlib-undefined -lkorvel " +
          KORVEL_EXE_LINKER_FLAGS + " 2>&1",
      &code);
  ASSERT_EQ(code, 0);
  // Run with the library path the tests themselves run with.
  const std::string ld = std::getenv("LD_LIBRARY_PATH") ? std::getenv("LD_LIBRARY_PATH") : "";
  const std::string out =
      run("env LD_LIBRARY_PATH=" + shell_quote(ld) + " " + shell_quote(dir + "/main"), &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out, "null 0 null\n");
}

// Every producing operation, called on the same bytes.
struct Producer {
  const char* name;
  std::function<uint8_t*(const uint8_t*, uint64_t, uint64_t*)> call;
};

std::vector<Producer> producers() {
  return {
      {"convert_format", [](const uint8_t* d, uint64_t n, uint64_t* o) { return convert_format(d, n, nullptr, o); }},
      {"convert_format_mp4", [](const uint8_t* d, uint64_t n, uint64_t* o) { return convert_format(d, n, "mp4", o); }},
      {"trim_video", [](const uint8_t* d, uint64_t n, uint64_t* o) { return trim_video(d, n, o, 0.5, 1.5); }},
      {"mute_video", [](const uint8_t* d, uint64_t n, uint64_t* o) { return mute_video(d, n, o); }},
      {"strip_metadata", [](const uint8_t* d, uint64_t n, uint64_t* o) { return strip_metadata(d, n, o); }},
      {"set_metadata", [](const uint8_t* d, uint64_t n, uint64_t* o) { return set_metadata(d, n, "title", "x", o); }},
      {"change_speed", [](const uint8_t* d, uint64_t n, uint64_t* o) { return change_speed(d, n, o, 2.0); }},
      {"extract_audio", [](const uint8_t* d, uint64_t n, uint64_t* o) { return extract_audio(d, n, "wav", o); }},
      {"adjust_volume", [](const uint8_t* d, uint64_t n, uint64_t* o) { return adjust_volume(d, n, o, 0.5); }},
      {"reencode_video", [](const uint8_t* d, uint64_t n, uint64_t* o) { return reencode_video(d, n, 30, "ultrafast", 160, 0, o); }},
      {"rotate_video", [](const uint8_t* d, uint64_t n, uint64_t* o) { return rotate_video(d, n, 90, o); }},
      {"reverse_video", [](const uint8_t* d, uint64_t n, uint64_t* o) { return reverse_video(d, n, o); }},
      {"video_to_gif", [](const uint8_t* d, uint64_t n, uint64_t* o) { return video_to_gif(d, n, 10, 160, o, 0, 0); }},
      {"extract_frame", [](const uint8_t* d, uint64_t n, uint64_t* o) { return extract_frame(d, n, "png", o, 0.5); }},
      {"merge_videos_first", [](const uint8_t* d, uint64_t n, uint64_t* o) {
         const Bytes& good = fixture("h264_aac.mp4");
         return merge_videos(d, n, good.data(), good.size(), o); }},
      {"merge_videos_second", [](const uint8_t* d, uint64_t n, uint64_t* o) {
         const Bytes& good = fixture("h264_aac.mp4");
         return merge_videos(good.data(), good.size(), d, n, o); }},
  };
}

Bytes truncated(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + std::min(n, b.size())); }

TEST(BadInput, EveryOperationGivesNullWithZeroSize) {
  const Bytes& mp4 = fixture("h264_aac.mp4");
  const std::vector<std::pair<std::string, Bytes>> inputs = {
      {"one byte", Bytes(1, 0)},
      {"text", Bytes(5000, 'k')},
      {"mp4 header only", truncated(mp4, 40)},
  };
  static const uint8_t nothing = 0;
  for (const Producer& p : producers()) {
    for (const auto& [label, bytes] : inputs) {
      uint64_t size = 77;
      uint8_t* out = p.call(bytes.data(), bytes.size(), &size);
      EXPECT_EQ(out, nullptr) << p.name << " on " << label;
      EXPECT_EQ(size, 0u) << p.name << " on " << label;
      std::free(out);
    }
    uint64_t size = 77;
    EXPECT_EQ(p.call(&nothing, 0, &size), nullptr) << p.name << " on empty input";
    EXPECT_EQ(size, 0u);
    size = 77;
    EXPECT_EQ(p.call(nullptr, mp4.size(), &size), nullptr) << p.name << " on null data";
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(p.call(mp4.data(), mp4.size(), nullptr), nullptr) << p.name << " with null out_size";
  }
  EXPECT_EQ(get_video_info(nullptr, 100), nullptr);
  EXPECT_EQ(get_video_info(&nothing, 0), nullptr);
  EXPECT_EQ(get_video_info(inputs[1].second.data(), inputs[1].second.size()), nullptr);
}

TEST(BadInput, TruncatedFilesNeverCrashAndNeverClaimMoreThanTheyHave) {
  // Cuts inside the payload may still demux: whatever comes back must be a
  // consistent result (a block with its size, or null with 0).
  const Bytes& mp4 = fixture("h264_aac.mp4");
  const Bytes& ts = fixture("mpegts.ts");
  for (const Bytes* source : {&mp4, &ts}) {
    for (size_t cut : {size_t{300}, source->size() / 3, source->size() - 7}) {
      const Bytes part = truncated(*source, cut);
      for (const Producer& p : producers()) {
        uint64_t size = 77;
        uint8_t* out = p.call(part.data(), part.size(), &size);
        EXPECT_EQ(out == nullptr, size == 0) << p.name << " cut at " << cut;
        std::free(out);
      }
      std::free(get_video_info(part.data(), part.size()));
    }
  }
}

}  // namespace
