// Shared test helpers: fixtures, owned results, and the ffprobe/ffmpeg oracle.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvel_test {

using Bytes = std::vector<uint8_t>;

// A test input made at build time (see tests/fixtures/*.txt).
const Bytes& fixture(const std::string& name);
std::string fixture_path(const std::string& name);
// A whole file's bytes (empty when it cannot be read).
Bytes read_file(const std::string& path);

// A result block of the library, released with free() as callers must.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
struct Result {
  std::unique_ptr<uint8_t, FreeDeleter> block;
  uint64_t size = 0;
  explicit operator bool() const { return block != nullptr; }
  Bytes bytes() const { return Bytes(block.get(), block.get() + size); }
};

// Runs `operation(out_size)`, which returns the library's block.
template <typename Operation>
Result call(Operation&& operation) {
  Result r;
  r.size = 12345;  // must be overwritten with 0 or the length
  r.block.reset(operation(&r.size));
  return r;
}

// Bytes written to a fresh temporary file that is removed with the object.
class TempFile {
 public:
  explicit TempFile(const Bytes& bytes, const std::string& suffix = "");
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs a shell command; returns its standard output and stores its exit code.
std::string run(const std::string& command, int* exit_code = nullptr);
std::string shell_quote(const std::string& text);

// ffprobe -show_format -show_streams (and -show_packets when asked) as JSON.
nlohmann::json probe(const Bytes& media, bool packets = false);
nlohmann::json probe_file(const std::string& path, bool packets = false);

// Packets of one output stream, in file order.
std::vector<nlohmann::json> packets_of(const nlohmann::json& probed, int stream_index);
// A packet field as an integer (ffprobe prints timestamps as numbers).
int64_t field(const nlohmann::json& packet, const char* name);

// Streams of one codec_type ("video", "audio", ...).
int count_streams(const nlohmann::json& probed, const std::string& type);

// Whole-file decodes with the ffmpeg CLI. `errors` receives what it reported.
// Interleaved float samples of the first audio stream, at its own rate.
std::vector<float> decode_audio(const Bytes& media, int* channels = nullptr,
                                int* sample_rate = nullptr);
// Pictures of the first video stream as 8-bit gray, one vector per picture.
std::vector<Bytes> decode_gray(const Bytes& media, int width, int height,
                               const std::string& extra_filters = "");
// True when the ffmpeg CLI decodes every stream without reporting an error.
bool decodes_cleanly(const Bytes& media, std::string* errors = nullptr);

double mean_absolute_difference(const Bytes& a, const Bytes& b);
double rms(const std::vector<float>& samples);

}  // namespace korvel_test
