#include "io/memory_input.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/mem.h>
}

#include "io/resource_limits.h"

namespace korvel {

namespace {
constexpr int kIoBufferSize = 32768;
}

int memory_read_packet(void* opaque, uint8_t* buf, int buf_size) {
  auto* reader = static_cast<MemoryReader*>(opaque);
  // 64-bit arithmetic throughout: inputs may be larger than 2^31 - 1 bytes.
  const int64_t remaining = reader->size - reader->position;
  const int64_t n = std::min<int64_t>(buf_size, remaining);
  if (n <= 0) return AVERROR_EOF;
  std::memcpy(buf, reader->data + reader->position, static_cast<size_t>(n));
  reader->position += n;
  return static_cast<int>(n);
}

int64_t memory_seek(void* opaque, int64_t offset, int whence) {
  auto* reader = static_cast<MemoryReader*>(opaque);
  int64_t target;
  switch (whence) {
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = reader->position + offset; break;
    case SEEK_END: target = reader->size + offset; break;
    case AVSEEK_SIZE: return reader->size;
    default: return AVERROR(EINVAL);
  }
  // Out-of-range targets are clamped rather than refused.
  reader->position = std::clamp<int64_t>(target, 0, reader->size);
  return reader->position;
}

int open_memory_input(const uint8_t* data, uint64_t size, InputSession* in) {
  // A null pointer is refused whatever the size: nothing may dereference it.
  if (data == nullptr || size > static_cast<uint64_t>(INT64_MAX)) return -1;
  apply_allocation_cap();
  in->reader = MemoryReader{data, static_cast<int64_t>(size), 0};

  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (buffer == nullptr) return -1;
  in->io = avio_alloc_context(buffer, kIoBufferSize, 0, &in->reader,
                              memory_read_packet, nullptr, memory_seek);
  if (in->io == nullptr) {
    av_free(buffer);  // not handed over: the I/O context was never made
    return -1;
  }

  in->demuxer = avformat_alloc_context();
  if (in->demuxer == nullptr) return -1;
  // With pb set before opening, closing the demuxer leaves the I/O context
  // to us (AVFMT_FLAG_CUSTOM_IO).
  in->demuxer->pb = in->io;
  // On failure avformat_open_input frees the context and nulls the handle.
  if (avformat_open_input(&in->demuxer, nullptr, nullptr, nullptr) < 0) return -1;
  // The decoders stream analysis opens get the pixel limit too; streams the
  // analysis itself discovers are checked by korvel's own decoders later.
  const unsigned count = in->demuxer->nb_streams;
  AVDictionary** options = make_stream_options(in->demuxer);
  const int analysed = avformat_find_stream_info(in->demuxer, options);
  free_stream_options(options, count);
  return analysed < 0 ? -1 : 0;
}

int read_packet(AVFormatContext* demuxer, AVPacket* pkt) {
  const int ret = av_read_frame(demuxer, pkt);
  if (ret >= 0) return 1;
  return ret == AVERROR(ENOMEM) ? ret : 0;
}

void close_memory_input(InputSession* in) {
  if (in->demuxer != nullptr) avformat_close_input(&in->demuxer);
  if (in->io != nullptr) {
    // Probing may have replaced the buffer: free the one the context holds now.
    av_freep(&in->io->buffer);
    avio_context_free(&in->io);
  }
}

}  // namespace korvel
