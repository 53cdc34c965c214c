// libFuzzer target: every operation of the C interface on hostile bytes.
// The input's header (fuzz_input.h) picks the operation and its arguments; the
// rest is the media file. Besides the sanitizers' findings, a broken result
// contract aborts the run: a null result with a length, a block whose length
// overruns it (AddressSanitizer sees the read), or an info report that is not
// JSON.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz/fuzz_input.h"
#include "korvel.h"

namespace {

using namespace korvel_fuzz;

[[noreturn]] void contract_broken(const char* what) {
  std::fprintf(stderr, "korvel_fuzz: result contract broken: %s\n", what);
  std::abort();
}

// Reads every byte of the block so AddressSanitizer checks the claimed length.
void check_block(const uint8_t* block, uint64_t size) {
  if (block == nullptr) {
    if (size != 0) contract_broken("null result with a non-zero length");
    return;
  }
  if (size == 0 || size > 0x7fffffffu) contract_broken("result length out of range");
  unsigned sum = 0;
  for (uint64_t i = 0; i < size; ++i) sum += block[i];
  volatile unsigned sink = sum;
  (void)sink;
}

void check_report(const char* report) {
  if (report == nullptr) return;
  if (!nlohmann::json::accept(report)) contract_broken("info report is not JSON");
}

uint8_t* run(const Header& h, const uint8_t* file, uint64_t size, uint64_t* out_size) {
  switch (kOperations[h.op % kOperationCount].op) {
    case Operation::kGetVideoInfo: {
      char* report = get_video_info(file, size);
      check_report(report);
      std::free(report);
      return nullptr;
    }
    case Operation::kConvertFormat:
      return convert_format(file, size, kContainers.pick(h.text_a), out_size);
    case Operation::kTrimVideo:
      return trim_video(file, size, out_size, kTimes.pick(h.real_a), kTimes.pick(h.real_b));
    case Operation::kMuteVideo:
      return mute_video(file, size, out_size);
    case Operation::kStripMetadata:
      return strip_metadata(file, size, out_size);
    case Operation::kSetMetadata:
      return set_metadata(file, size, kMetadataKeys.pick(h.text_a),
                          kMetadataValues.pick(h.text_b), out_size);
    case Operation::kChangeSpeed:
      return change_speed(file, size, out_size, kFactors.pick(h.real_a));
    case Operation::kMergeVideos: {
      const uint64_t first = h.first_size % (size + 1);
      return merge_videos(file, first, file + first, size - first, out_size);
    }
    case Operation::kExtractAudio:
      return extract_audio(file, size, kAudioFormats.pick(h.text_a), out_size);
    case Operation::kAdjustVolume:
      return adjust_volume(file, size, out_size, kFactors.pick(h.real_a));
    case Operation::kReencodeVideo:
      return reencode_video(file, size, kCrf.pick(h.int_a), kPresets.pick(h.text_a),
                            kSizes.pick(h.int_b), kSizes.pick(h.int_c), out_size);
    case Operation::kRotateVideo:
      return rotate_video(file, size, kDegrees.pick(h.int_a), out_size);
    case Operation::kReverseVideo:
      return reverse_video(file, size, out_size);
    case Operation::kVideoToGif:
      return video_to_gif(file, size, kFps.pick(h.int_a), kSizes.pick(h.int_b), out_size,
                          kTimes.pick(h.real_a), kTimes.pick(h.real_b));
    case Operation::kExtractFrame:
      return extract_frame(file, size, kImageFormats.pick(h.text_a), out_size,
                           kTimes.pick(h.real_a));
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeaderSize) return 0;
  const Header header = read_header(data);
  // A length the operation must overwrite: 0 on failure, the size on success.
  uint64_t out_size = 0xdeadbeef;
  uint8_t* result = run(header, data + kHeaderSize, size - kHeaderSize, &out_size);
  if (kOperations[header.op % kOperationCount].op != Operation::kGetVideoInfo) {
    check_block(result, out_size);
  }
  std::free(result);
  return 0;
}
