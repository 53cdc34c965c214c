// An allocator interposer for allocation-failure tests.
//
// Linked into a test executable (exporting its symbols), it replaces malloc,
// calloc, realloc, free, posix_memalign, aligned_alloc and memalign for the
// whole process, FFmpeg included, and forwards to glibc's own allocator. While
// armed it numbers every allocation from 1, can fail one of them, and keeps
// each allocation made since arming, with its call stack, until it is freed.
// Threads may allocate at once; the numbering then follows the order in which
// they reach the allocator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace alloc_fault {

constexpr int kStackDepth = 24;

struct LiveBlock {
  void* ptr;
  size_t size;
  uint64_t seq;  // the allocation's number since arming
  int depth;
  void* stack[kStackDepth];
};

// Starts numbering from 1 and forgets earlier blocks. The allocation numbered
// `fail_at` returns null (0: none fails).
void arm(uint64_t fail_at);
// Stops numbering and failing; blocks still live stay listed.
void disarm();
// Allocations numbered since arm().
uint64_t allocations();
// True once the allocation to fail was reached.
bool failure_injected();
// The call stack of the allocation that was failed (0 frames before).
int failed_stack(void* const** frames);
// Blocks allocated while armed and not freed since; `overflowed` is set when
// more were live at once than the table holds (the list is then incomplete).
size_t live_blocks(const LiveBlock** blocks, bool* overflowed);

// Loads what the first call of backtrace() loads, so that no later capture
// allocates in an armed window.
void warm_up_stack_capture();

}  // namespace alloc_fault
