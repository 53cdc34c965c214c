#include "alloc/alloc_interposer.h"

#include <errno.h>
#include <execinfo.h>

#include <atomic>
#include <cstring>

// glibc's allocator under its own names, so forwarding needs no dlsym (whose
// first call allocates).
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void __libc_free(void* ptr);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace alloc_fault {
namespace {

// Open addressing over pointers; a freed slot becomes a tombstone.
constexpr size_t kSlots = size_t{1} << 15;
void* const kTombstone = reinterpret_cast<void*>(1);

// Static storage only: the interposer must work before and without malloc.
LiveBlock g_slots[kSlots];
LiveBlock g_live[kSlots];
size_t g_used = 0;  // occupied or tombstone slots
bool g_overflowed = false;
std::atomic<bool> g_armed{false};
bool g_injected = false;
uint64_t g_count = 0;
uint64_t g_fail_at = 0;
void* g_failed_stack[kStackDepth];
int g_failed_depth = 0;
// Set while the interposer itself runs (stack capture may allocate).
__thread bool t_inside = false;

// FFmpeg's decoders may run threads of their own: the numbering and the table
// are shared under one spin lock (a mutex could allocate).
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;
struct Lock {
  Lock() {
    while (g_lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Lock() { g_lock.clear(std::memory_order_release); }
};

size_t slot_of(const void* ptr) {
  auto h = reinterpret_cast<uintptr_t>(ptr) >> 4;
  h ^= h >> 17;
  h *= 0x9e3779b97f4a7c15ull;
  return static_cast<size_t>(h) & (kSlots - 1);
}

void forget(void* ptr) {
  if (ptr == nullptr || t_inside || g_used == 0) return;
  Lock lock;
  for (size_t i = slot_of(ptr), probes = 0; probes < kSlots; i = (i + 1) & (kSlots - 1), ++probes) {
    if (g_slots[i].ptr == nullptr) return;
    if (g_slots[i].ptr == ptr) {
      g_slots[i].ptr = kTombstone;
      return;
    }
  }
}

void remember(void* ptr, size_t size, uint64_t seq) {
  if (g_used * 4 >= kSlots * 3) {
    g_overflowed = true;
    return;
  }
  size_t i = slot_of(ptr);
  while (g_slots[i].ptr != nullptr && g_slots[i].ptr != kTombstone) i = (i + 1) & (kSlots - 1);
  if (g_slots[i].ptr == nullptr) ++g_used;
  LiveBlock& b = g_slots[i];
  b.ptr = ptr;
  b.size = size;
  b.seq = seq;
  b.depth = backtrace(b.stack, kStackDepth);
}

// The numbering of one allocation: 0 when not armed, else its number.
uint64_t next_number() {
  if (!g_armed || t_inside) return 0;
  Lock lock;
  return ++g_count;
}

bool must_fail(uint64_t seq) {
  if (seq == 0 || seq != g_fail_at) return false;
  Lock lock;
  g_injected = true;
  t_inside = true;
  g_failed_depth = backtrace(g_failed_stack, kStackDepth);
  t_inside = false;
  return true;
}

void track(void* ptr, size_t size, uint64_t seq) {
  if (seq == 0 || ptr == nullptr) return;
  Lock lock;
  t_inside = true;
  remember(ptr, size, seq);
  t_inside = false;
}

}  // namespace

void arm(uint64_t fail_at) {
  std::memset(g_slots, 0, sizeof g_slots);
  g_used = 0;
  g_overflowed = false;
  g_injected = false;
  g_failed_depth = 0;
  g_count = 0;
  g_fail_at = fail_at;
  g_armed = true;
}

void disarm() { g_armed = false; }
uint64_t allocations() { return g_count; }
bool failure_injected() { return g_injected; }

int failed_stack(void* const** frames) {
  *frames = g_failed_stack;
  return g_failed_depth;
}

size_t live_blocks(const LiveBlock** blocks, bool* overflowed) {
  size_t n = 0;
  for (const LiveBlock& b : g_slots) {
    if (b.ptr != nullptr && b.ptr != kTombstone) g_live[n++] = b;
  }
  *blocks = g_live;
  *overflowed = g_overflowed;
  return n;
}

void warm_up_stack_capture() {
  void* frames[4];
  backtrace(frames, 4);
}

}  // namespace alloc_fault

using namespace alloc_fault;

extern "C" {

void* malloc(size_t size) {
  const uint64_t seq = next_number();
  if (must_fail(seq)) {
    errno = ENOMEM;
    return nullptr;
  }
  void* p = __libc_malloc(size);
  track(p, size, seq);
  return p;
}

void* calloc(size_t count, size_t size) {
  const uint64_t seq = next_number();
  if (must_fail(seq)) {
    errno = ENOMEM;
    return nullptr;
  }
  void* p = __libc_calloc(count, size);
  track(p, count * size, seq);
  return p;
}

void* realloc(void* ptr, size_t size) {
  if (ptr != nullptr && size == 0) {  // glibc frees and returns null
    forget(ptr);
    __libc_free(ptr);
    return nullptr;
  }
  const uint64_t seq = next_number();
  if (must_fail(seq)) {  // the old block stays valid and owned by the caller
    errno = ENOMEM;
    return nullptr;
  }
  void* p = __libc_realloc(ptr, size);
  if (p != nullptr) {
    forget(ptr);
    track(p, size, seq);
  }
  return p;
}

void free(void* ptr) {
  forget(ptr);
  __libc_free(ptr);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
  const uint64_t seq = next_number();
  if (must_fail(seq)) return ENOMEM;
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  track(p, size, seq);
  *out = p;
  return 0;
}

void* aligned_alloc(size_t alignment, size_t size) {
  const uint64_t seq = next_number();
  if (must_fail(seq)) {
    errno = ENOMEM;
    return nullptr;
  }
  void* p = __libc_memalign(alignment, size);
  track(p, size, seq);
  return p;
}

void* memalign(size_t alignment, size_t size) { return aligned_alloc(alignment, size); }

}  // extern "C"
