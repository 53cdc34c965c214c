// The C boundary of every exported operation: no exception crosses it, and a
// failure is a null result with the caller's length at 0.
#pragma once

#include <cstdint>
#include <exception>

namespace korvel {

// Runs `operation` (which returns the result block or null) after zeroing
// *out_size. A null `out_size` is refused without being touched. Any exception
// (std::bad_alloc from a container, say) becomes a null result; the owners
// inside the operation have already released everything when it arrives here.
template <typename Operation>
uint8_t* produce(uint64_t* out_size, Operation&& operation) noexcept {
  if (out_size == nullptr) return nullptr;
  *out_size = 0;
  try {
    uint8_t* result = operation();
    if (result == nullptr) *out_size = 0;
    return result;
  } catch (...) {
    *out_size = 0;
    return nullptr;
  }
}

}  // namespace korvel
