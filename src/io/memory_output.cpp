#include "io/memory_output.h"

#include <cstdlib>
#include <cstring>

namespace korvel {

int alloc_output_muxer(OutputSession* out, const char* format_name) {
  avformat_alloc_output_context2(&out->muxer, nullptr, format_name, nullptr);
  return out->muxer != nullptr ? 0 : -1;
}

int open_output_buffer(OutputSession* out) {
  return avio_open_dyn_buf(&out->muxer->pb) < 0 ? -1 : 0;
}

int open_memory_output(OutputSession* out, const char* format_name) {
  if (alloc_output_muxer(out, format_name) < 0) return -1;
  return open_output_buffer(out);
}

uint8_t* take_output_bytes(OutputSession* out, uint64_t* out_size) {
  av_write_trailer(out->muxer);  // a failing trailer leaves what was written
  uint8_t* bytes = nullptr;
  const int n = avio_close_dyn_buf(out->muxer->pb, &bytes);
  out->muxer->pb = nullptr;  // closed: release_output must not close it again
  uint8_t* result = nullptr;
  if (n > 0) {
    result = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(n)));
    if (result != nullptr) {
      std::memcpy(result, bytes, static_cast<size_t>(n));
      *out_size = static_cast<uint64_t>(n);
    }
  }
  av_free(bytes);
  return result;
}

void release_output(OutputSession* out) {
  if (out->muxer == nullptr) return;
  if (out->muxer->pb != nullptr) {
    uint8_t* bytes = nullptr;
    avio_close_dyn_buf(out->muxer->pb, &bytes);
    av_free(bytes);
    out->muxer->pb = nullptr;
  }
  avformat_free_context(out->muxer);
  out->muxer = nullptr;
}

}  // namespace korvel
