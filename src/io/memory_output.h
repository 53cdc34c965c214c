// Muxing into a growable memory buffer and handing the bytes to the caller.
#pragma once

#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

namespace korvel {

void release_output(struct OutputSession* out);

// One output file being muxed. `muxer->pb` is the dynamic buffer while the
// output is open and null once take_output_bytes has taken the bytes.
struct OutputSession {
  AVFormatContext* muxer = nullptr;  // owned

  OutputSession() = default;
  OutputSession(const OutputSession&) = delete;
  OutputSession& operator=(const OutputSession&) = delete;
  ~OutputSession() { release_output(this); }
};

// Step 1: the muxer context, chosen by short name alone. Returns 0 or -1.
int alloc_output_muxer(OutputSession* out, const char* format_name);
// Step 2: the dynamic memory buffer as the muxer's pb. Returns 0 or -1.
// Encoders that need the global-header flag are opened between the steps.
int open_output_buffer(OutputSession* out);
// Both steps. Returns 0 or -1.
int open_memory_output(OutputSession* out, const char* format_name);

// Writes the trailer and copies the muxer's bytes into a malloc block
// (the result); stores its length in *out_size. Null when there are no bytes
// or the block cannot be allocated, with *out_size untouched.
uint8_t* take_output_bytes(OutputSession* out, uint64_t* out_size);

// Frees what `out` holds; discards bytes that were never taken. Idempotent.
void release_output(OutputSession* out);

}  // namespace korvel
