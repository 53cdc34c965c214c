// Muxing into one growing memory block that becomes the caller's result.
#pragma once

#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

#include "io/ffmpeg_compat.h"

namespace korvel {

// The most bytes a result may hold: lengths cross the C boundary as 64-bit
// values, but hosts and the muxers' own offsets are 32-bit signed.
constexpr int64_t kMaxResultSize = 2147483647;

// The bytes a muxer has written: one block from malloc, grown with realloc,
// written at `position` (muxers seek back to patch headers).
struct MemorySink {
  uint8_t* data = nullptr;  // malloc block, owned until handed over
  int64_t capacity = 0;     // bytes allocated at `data`
  int64_t size = 0;         // bytes written, up to the furthest write
  int64_t position = 0;     // where the next write lands
  int64_t limit = kMaxResultSize;
  int64_t expected = 0;     // the first allocation holds at least this much
  bool failed = false;      // a write was refused: the output is incomplete
};

// Write callback: stores `buf_size` bytes at the position, growing the block
// geometrically. Refuses (AVERROR(EFBIG) or AVERROR(ENOMEM), marking the sink
// failed) a write that would pass `limit` or that memory cannot hold.
int memory_write_packet(void* opaque, AvioWriteData buf, int buf_size);

// Seek callback: SEEK_SET/CUR/END within 0 ... limit (bytes skipped over read
// as zeros once written past), AVSEEK_SIZE reports the size; anything else,
// and a target outside that range, is AVERROR(EINVAL).
int64_t memory_write_seek(void* opaque, int64_t offset, int whence);

void release_output(struct OutputSession* out);

// One output file being muxed. While the output is open `muxer->pb` is `io`,
// whose callbacks write into `sink`; the session lives in the operation's
// stack frame and never moves, since `io` points at `sink`.
struct OutputSession {
  AVFormatContext* muxer = nullptr;  // owned
  AVIOContext* io = nullptr;         // owned, together with io->buffer
  MemorySink sink;                   // sink.data owned until handed over

  OutputSession() = default;
  OutputSession(const OutputSession&) = delete;
  OutputSession& operator=(const OutputSession&) = delete;
  ~OutputSession() { release_output(this); }
};

// Step 1: the muxer context, chosen by short name alone. Returns 0 or -1.
int alloc_output_muxer(OutputSession* out, const char* format_name);
// Step 2: the memory block's I/O context as the muxer's pb. Returns 0 or -1.
// Encoders that need the global-header flag are opened between the steps.
int open_output_buffer(OutputSession* out);
// Both steps. Returns 0 or -1.
int open_memory_output(OutputSession* out, const char* format_name);

// Stream copies come out about as large as their input: reserving that much
// up front spares the copies a block grown by realloc may cost.
void expect_output_size(OutputSession* out, uint64_t bytes);

// Writes the trailer and hands the block itself over as the result, shrunk
// to its length, which goes to *out_size. Null, with *out_size untouched,
// when the trailer or any write failed or nothing was written.
uint8_t* take_output_bytes(OutputSession* out, uint64_t* out_size);

// Frees what `out` holds; discards bytes that were never taken. Idempotent.
void release_output(OutputSession* out);

}  // namespace korvel
