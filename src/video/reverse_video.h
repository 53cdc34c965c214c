// Playing a video stream backwards within a bound on decoded pictures held.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// Bytes of decoded pictures reverse_video holds at most at any moment.
constexpr size_t kReversePictureBudget = size_t{192} << 20;

// How a reversal went.
struct ReverseReport {
  bool by_stretches = false;  // worked backwards key frame by key frame
  size_t passes = 0;          // decoding passes made that way
  size_t peak_bytes = 0;      // most picture bytes held at once
};

// reverse_video with `picture_budget` bytes instead of the fixed budget; fills
// `report` when it is not null. Returns the MP4 bytes (malloc) or null.
uint8_t* reverse_within_budget(const uint8_t* data, uint64_t size, uint64_t* out_size,
                               size_t picture_budget, ReverseReport* report);

}  // namespace korvel
