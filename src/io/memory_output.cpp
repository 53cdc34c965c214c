#include "io/memory_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

extern "C" {
#include <libavutil/mem.h>
}

namespace korvel {

namespace {

// The I/O context's own staging buffer; the muxers write through it.
constexpr int kIoBufferSize = 32768;
// The block starts at this size and at least doubles when it must grow, so
// an output of n bytes costs O(log n) reallocations. Large blocks are
// mappings that realloc moves without copying, and their untouched spare
// capacity is never resident. (Blocks the heap holds are copied on growth;
// stream copies avoid that by reserving their size up front.)
constexpr int64_t kInitialCapacity = 256 * 1024;

// A large block is fresh memory from the kernel, touched once, page by page:
// a 20 MB output costs 5,000 page faults. Asking for huge pages over the
// block's whole 2 MiB-aligned interior cuts that to a few dozen. Only a
// hint: where transparent huge pages are off, nothing changes.
constexpr uintptr_t kHugePage = 2 << 20;

void advise_huge_pages(uint8_t* data, int64_t capacity) {
  if (capacity < static_cast<int64_t>(2 * kHugePage)) return;
  const auto begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t last = (begin + static_cast<uintptr_t>(capacity)) & ~(kHugePage - 1);
  if (last > first)
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

int grow(MemorySink* sink, int64_t needed) {
  int64_t capacity = std::max({sink->capacity, sink->expected, kInitialCapacity});
  while (capacity < needed) capacity = capacity > sink->limit / 2 ? sink->limit : capacity * 2;
  capacity = std::min(capacity, sink->limit);
  void* data = nullptr;
  if (sink->data == nullptr && capacity >= static_cast<int64_t>(2 * kHugePage)) {
    // A large first block starts on a huge-page boundary, so that all of it
    // can be backed by huge pages; free() and realloc() take it as any other.
    if (posix_memalign(&data, kHugePage, static_cast<size_t>(capacity)) != 0) data = nullptr;
  } else {
    data = std::realloc(sink->data, static_cast<size_t>(capacity));
  }
  if (data == nullptr) return AVERROR(ENOMEM);  // the old block stays valid
  sink->data = static_cast<uint8_t*>(data);
  sink->capacity = capacity;
  advise_huge_pages(sink->data, capacity);
  return 0;
}

}  // namespace

int memory_write_packet(void* opaque, AvioWriteData buf, int buf_size) {
  auto* sink = static_cast<MemorySink*>(opaque);
  if (buf_size <= 0) return 0;
  const int64_t end = sink->position + buf_size;
  if (end > sink->limit) {
    sink->failed = true;
    return AVERROR(EFBIG);
  }
  if (end > sink->capacity) {
    const int grown = grow(sink, end);
    if (grown < 0) {
      sink->failed = true;
      return grown;
    }
  }
  // A muxer that seeked past the end leaves a gap: it reads as zeros.
  if (sink->position > sink->size)
    std::memset(sink->data + sink->size, 0, static_cast<size_t>(sink->position - sink->size));
  std::memcpy(sink->data + sink->position, buf, static_cast<size_t>(buf_size));
  sink->position = end;
  sink->size = std::max(sink->size, end);
  return buf_size;
}

int64_t memory_write_seek(void* opaque, int64_t offset, int whence) {
  auto* sink = static_cast<MemorySink*>(opaque);
  int64_t base;
  switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = sink->position; break;
    case SEEK_END: base = sink->size; break;
    case AVSEEK_SIZE: return sink->size;
    default: return AVERROR(EINVAL);
  }
  // Both terms lie within +-2^63 only when the offset does not overflow.
  if (offset > sink->limit - base || offset < -base) return AVERROR(EINVAL);
  sink->position = base + offset;
  return sink->position;
}

// Muxers that open further files of their own (segments, playlists,
// manifests) get this instead of the file system: every result stays in memory.
int refuse_io_open(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

int alloc_output_muxer(OutputSession* out, const char* format_name) {
  avformat_alloc_output_context2(&out->muxer, nullptr, format_name, nullptr);
  if (out->muxer == nullptr) return -1;
  // A muxer flagged "no file" (hls, dash, segment, image2, ...) writes
  // through names of its own, never through the one memory output.
  if (out->muxer->oformat->flags & AVFMT_NOFILE) return -1;
  out->muxer->io_open = refuse_io_open;
  return 0;
}

int open_output_buffer(OutputSession* out) {
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (buffer == nullptr) return -1;
  out->io = avio_alloc_context(buffer, kIoBufferSize, 1, &out->sink, nullptr,
                               memory_write_packet, memory_write_seek);
  if (out->io == nullptr) {
    av_free(buffer);  // not handed over: the I/O context was never made
    return -1;
  }
  // Writes larger than a few bytes go straight into the block instead of
  // through the staging buffer first: one copy of every output byte, not two.
  out->io->direct = 1;
  // The muxer only borrows pb: avformat_free_context never closes an
  // output's I/O context.
  out->muxer->pb = out->io;
  return 0;
}

int open_memory_output(OutputSession* out, const char* format_name) {
  if (alloc_output_muxer(out, format_name) < 0) return -1;
  return open_output_buffer(out);
}

void expect_output_size(OutputSession* out, uint64_t bytes) {
  // A little over the input: headers and indexes differ between containers.
  const uint64_t wanted = bytes + bytes / 64 + 65536;
  out->sink.expected = static_cast<int64_t>(
      std::min<uint64_t>(wanted, static_cast<uint64_t>(out->sink.limit)));
}

uint8_t* take_output_bytes(OutputSession* out, uint64_t* out_size) {
  // Packets still queued for interleaving go out first: one the muxer
  // refuses is lost, as in the packet loop, and does not count against the
  // trailer.
  av_interleaved_write_frame(out->muxer, nullptr);
  // For MP4 the trailer writes the index without which no player opens the
  // file. It flushes the I/O context and reports any write that failed since
  // the header (pb->error); the sink knows about refusals too.
  const bool written = av_write_trailer(out->muxer) >= 0 && out->io->error >= 0;
  out->muxer->pb = nullptr;  // finished: nothing writes to the block any more
  av_freep(&out->io->buffer);
  avio_context_free(&out->io);
  MemorySink* sink = &out->sink;
  if (!written || sink->failed || sink->size <= 0) return nullptr;

  uint8_t* result = sink->data;
  if (sink->capacity > sink->size) {
    // Shrinking keeps the bytes; should it fail, the larger block is as good.
    void* shrunk = std::realloc(sink->data, static_cast<size_t>(sink->size));
    if (shrunk != nullptr) result = static_cast<uint8_t*>(shrunk);
  }
  *out_size = static_cast<uint64_t>(sink->size);
  *sink = MemorySink{};  // handed over: the caller frees it
  return result;
}

void release_output(OutputSession* out) {
  // The muxer goes first, so that no context is left pointing at a freed pb.
  if (out->muxer != nullptr) {
    avformat_free_context(out->muxer);
    out->muxer = nullptr;
  }
  if (out->io != nullptr) {
    // The context may have replaced its buffer: free the one it holds now.
    av_freep(&out->io->buffer);
    avio_context_free(&out->io);
  }
  std::free(out->sink.data);
  out->sink = MemorySink{};
}

}  // namespace korvel
