// Demuxing a whole media file that lies in the caller's memory.
#pragma once

#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

namespace korvel {

// Read cursor over the caller's bytes; they are never written or freed.
struct MemoryReader {
  const uint8_t* data;
  int64_t size;
  int64_t position;  // next byte to hand out, always within 0 ... size
};

void close_memory_input(struct InputSession* in);

// One opened input. The I/O context keeps a pointer to `reader`, so a session
// lives in the operation's stack frame and never moves.
struct InputSession {
  AVFormatContext* demuxer = nullptr;  // owned
  AVIOContext* io = nullptr;           // owned, together with io->buffer
  MemoryReader reader{};

  InputSession() = default;
  InputSession(const InputSession&) = delete;
  InputSession& operator=(const InputSession&) = delete;
  ~InputSession() { close_memory_input(this); }
};

// Read callback: copies up to `buf_size` bytes, or reports AVERROR_EOF; never 0.
int memory_read_packet(void* opaque, uint8_t* buf, int buf_size);

// Seek callback: SEEK_SET/CUR/END clamp into 0 ... size, AVSEEK_SIZE reports
// the size, anything else (flag bits included) is AVERROR(EINVAL).
int64_t memory_seek(void* opaque, int64_t offset, int whence);

// Opens a demuxer by probing (data, size) and analyses its streams.
// Returns 0, or -1 leaving whatever was created in `in` for close_memory_input.
int open_memory_input(const uint8_t* data, uint64_t size, InputSession* in);

// Releases what `in` holds, whatever state its opening reached; idempotent.
void close_memory_input(InputSession* in);

// The read step of every packet loop. Returns 1 with the next packet in
// `pkt`, 0 at the end of the input, or AVERROR(ENOMEM) when FFmpeg ran out of
// memory (the call must fail: what was read so far is not the whole file).
// Any other read error ends the input as well: a damaged file gives what
// could be read before the damage.
int read_packet(AVFormatContext* demuxer, AVPacket* pkt);

}  // namespace korvel
