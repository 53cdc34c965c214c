#include "support/test_support.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

namespace korvel_test {

const Bytes& fixture(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, Bytes> cache;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = cache.find(name);
  if (it != cache.end()) return it->second;
  std::ifstream in(fixture_path(name), std::ios::binary);
  if (!in) throw std::runtime_error("missing fixture " + name);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return cache.emplace(name, std::move(bytes)).first->second;
}

std::string fixture_path(const std::string& name) {
  return std::string(KORVEL_FIXTURE_DIR) + "/" + name;
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TempFile::TempFile(const Bytes& bytes, const std::string& suffix) {
  std::string pattern = "/tmp/korvel-test-XXXXXX" + suffix;
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemps(name.data(), static_cast<int>(suffix.size()));
  if (fd < 0) throw std::runtime_error("mkstemps failed");
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  path_ = name.data();
}

TempFile::~TempFile() { unlink(path_.c_str()); }

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::string run(const std::string& command, int* exit_code) {
  // The oracle tools are the system's own, whatever library path the library
  // under test is loaded from.
  const std::string full = "env -u LD_LIBRARY_PATH -u LD_PRELOAD " + command;
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen failed");
  std::string out;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int status = pclose(pipe);
  if (exit_code != nullptr) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

nlohmann::json probe_file(const std::string& path, bool packets) {
  std::string command = "ffprobe -v error -print_format json -show_format -show_streams ";
  if (packets) command += "-show_packets ";
  int code = 0;
  const std::string out = run(command + shell_quote(path), &code);
  if (code != 0) return nlohmann::json();
  return nlohmann::json::parse(out, nullptr, false);
}

nlohmann::json probe(const Bytes& media, bool packets) {
  TempFile file(media);
  return probe_file(file.path(), packets);
}

std::vector<nlohmann::json> packets_of(const nlohmann::json& probed, int stream_index) {
  std::vector<nlohmann::json> out;
  if (!probed.contains("packets")) return out;
  for (const auto& p : probed["packets"])
    if (p["stream_index"].get<int>() == stream_index) out.push_back(p);
  return out;
}

int64_t field(const nlohmann::json& packet, const char* name) {
  const auto& value = packet.at(name);
  if (value.is_string()) return std::stoll(value.get<std::string>());
  return value.get<int64_t>();
}

int count_streams(const nlohmann::json& probed, const std::string& type) {
  int n = 0;
  if (!probed.contains("streams")) return 0;
  for (const auto& s : probed["streams"])
    if (s.value("codec_type", "") == type) ++n;
  return n;
}

std::vector<float> decode_audio(const Bytes& media, int* channels, int* sample_rate) {
  TempFile file(media);
  const nlohmann::json probed = probe_file(file.path());
  int ch = 0, rate = 0;
  for (const auto& s : probed.value("streams", nlohmann::json::array())) {
    if (s.value("codec_type", "") == "audio") {
      ch = s.value("channels", 0);
      rate = std::stoi(s.value("sample_rate", "0"));
      break;
    }
  }
  if (channels) *channels = ch;
  if (sample_rate) *sample_rate = rate;
  const std::string out = run("ffmpeg -nostdin -v error -i " + shell_quote(file.path()) +
                              " -map 0:a:0 -f f32le -acodec pcm_f32le -");
  std::vector<float> samples(out.size() / sizeof(float));
  std::memcpy(samples.data(), out.data(), samples.size() * sizeof(float));
  return samples;
}

std::vector<Bytes> decode_gray(const Bytes& media, int width, int height,
                               const std::string& extra_filters) {
  TempFile file(media);
  std::string filters = extra_filters.empty() ? "" : extra_filters + ",";
  filters += "format=gray";
  const std::string out =
      run("ffmpeg -nostdin -v error -i " + shell_quote(file.path()) +
          " -map 0:v:0 -vf " + shell_quote(filters) + " -vsync passthrough -f rawvideo -");
  const size_t picture = static_cast<size_t>(width) * static_cast<size_t>(height);
  std::vector<Bytes> pictures;
  for (size_t at = 0; picture > 0 && at + picture <= out.size(); at += picture)
    pictures.emplace_back(out.begin() + static_cast<long>(at),
                          out.begin() + static_cast<long>(at + picture));
  return pictures;
}

bool decodes_cleanly(const Bytes& media, std::string* errors) {
  TempFile file(media);
  int code = 0;
  const std::string out = run("ffmpeg -nostdin -v error -xerror -i " + shell_quote(file.path()) +
                                  " -f null - 2>&1",
                              &code);
  if (errors) *errors = out;
  return code == 0 && out.empty();
}

double mean_absolute_difference(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return sum / static_cast<double>(a.size());
}

double rms(const std::vector<float>& samples) {
  if (samples.empty()) return 0;
  double sum = 0;
  for (float s : samples) sum += double(s) * double(s);
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

}  // namespace korvel_test
