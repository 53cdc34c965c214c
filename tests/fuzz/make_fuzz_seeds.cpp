// Makes the fuzz target's seed corpus from the test inputs.
// Usage: make_fuzz_seeds OUTPUT_DIR FILE...
// Each file is cut to 64 KiB and paired with three operations, so that every
// operation starts from several kinds of input; merge_videos seeds join a
// file with the next one (32 KiB of each). Argument selectors step through the
// accepted values of each table, never the refused ones.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"

namespace {

using namespace korvel_fuzz;

constexpr size_t kSeedFileBytes = 64 * 1024;

std::vector<uint8_t> read_prefix(const std::string& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() > limit) bytes.resize(limit);
  return bytes;
}

std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

template <typename T, size_t N>
uint8_t accepted(const Choices<T, N>& table, size_t step) {
  return static_cast<uint8_t>(step % table.accepted);
}

// Selectors for the operation `op`, varied by `step` over the accepted values.
Header header_for(size_t op, size_t step) {
  Header h{};
  h.op = static_cast<uint8_t>(op);
  switch (kOperations[op].op) {
    case Operation::kConvertFormat: h.text_a = accepted(kContainers, step); break;
    case Operation::kSetMetadata:
      h.text_a = accepted(kMetadataKeys, step);
      h.text_b = accepted(kMetadataValues, step);
      break;
    case Operation::kExtractAudio: h.text_a = accepted(kAudioFormats, step); break;
    case Operation::kReencodeVideo:
      h.text_a = 0;  // ultrafast keeps the seeds quick
      h.int_a = accepted(kCrf, step);
      h.int_b = accepted(kSizes, step);
      h.int_c = accepted(kSizes, step / 2);
      break;
    case Operation::kRotateVideo: h.int_a = accepted(kDegrees, step); break;
    case Operation::kVideoToGif:
      h.int_a = accepted(kFps, step);
      h.int_b = accepted(kSizes, step);
      h.real_a = accepted(kTimes, step);
      h.real_b = accepted(kTimes, step + 1);
      break;
    case Operation::kExtractFrame:
      h.text_a = accepted(kImageFormats, step);
      h.real_a = accepted(kTimes, step);
      break;
    case Operation::kTrimVideo:
      h.real_a = accepted(kTimes, step);
      h.real_b = accepted(kTimes, step + 2);
      break;
    case Operation::kChangeSpeed:
    case Operation::kAdjustVolume: h.real_a = accepted(kFactors, step); break;
    default: break;
  }
  return h;
}

bool write_seed(const std::string& path, const Header& h, const std::vector<uint8_t>& file) {
  std::vector<uint8_t> seed(kHeaderSize);
  write_header(h, seed.data());
  seed.insert(seed.end(), file.begin(), file.end());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR FILE...\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<std::string> files(argv + 2, argv + argc);
  std::sort(files.begin(), files.end());
  size_t written = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::vector<uint8_t> file = read_prefix(files[i], kSeedFileBytes);
    if (file.empty()) continue;
    for (size_t k = 0; k < 3; ++k) {
      const size_t op = (i + 5 * k) % kOperationCount;
      const std::string name = dir + "/" + kOperations[op].name + "-" + base_name(files[i]);
      Header h = header_for(op, i + k);
      std::vector<uint8_t> input = file;
      if (kOperations[op].op == Operation::kMergeVideos) {
        input = read_prefix(files[i], kSeedFileBytes / 2);
        h.first_size = static_cast<uint32_t>(input.size());
        const std::vector<uint8_t> second =
            read_prefix(files[(i + 1) % files.size()], kSeedFileBytes / 2);
        input.insert(input.end(), second.begin(), second.end());
      }
      if (!write_seed(name, h, input)) {
        std::fprintf(stderr, "cannot write %s\n", name.c_str());
        return 1;
      }
      ++written;
    }
  }
  std::printf("%zu seeds in %s\n", written, dir.c_str());
  return 0;
}
