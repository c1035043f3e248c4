// Transparent huge pages for the large blocks of a run where the system leaves them to the
// program, so that a first touch of such a block faults in 2 MiB at a time instead of 4 KiB.
#pragma once

#include <stddef.h>

// The system's transparent huge page mode, as /sys/kernel/mm/transparent_hugepage/enabled
// shows it (read once); THP_UNKNOWN where that cannot be read.
enum thp_mode { THP_UNKNOWN, THP_ALWAYS, THP_MADVISE, THP_NEVER };
thp_mode thp_system_mode();

constexpr size_t kHugePage = size_t{2} << 20;
// Blocks from this size on are advised: each holds at least one whole aligned huge page.
constexpr size_t kLargeBlock = size_t{4} << 20;

// The 2 MiB-aligned interior of [p, p + bytes): *first and the returned size (0: none).
size_t huge_interior(const void* p, size_t bytes, char** first);

// Whether large blocks are still offered huge pages in this run: true until one of them took
// far longer to fault in than small pages would have (as where the host takes back freed memory).
bool huge_pages_pay();
// Sets the time above which a huge page's first fault counts as slow (2 ms unless set), and
// offers huge pages again: for tests, which take every fault as slow with a negative time.
void set_slow_huge_page(double ms);

// Whether a block of this size is offered huge pages now: a large block, in madvise mode, while
// huge pages pay.
bool huge_pages_offered(size_t bytes);

// For a block huge_pages_offered, asks the kernel to back its aligned interior with huge pages
// and faults in those of its first touch bytes (the part the caller will write) on the run's
// threads, timing each; from a slow one on, the block is left to small pages. Nothing for any
// other block.
void advise_huge_pages(void* p, size_t bytes, size_t touch);
inline void advise_huge_pages(void* p, size_t bytes) {
  advise_huge_pages(p, bytes, bytes);
}

// Faults in for writing, on the run's threads, every page that begins inside [p, p + bytes) with
// small pages, whatever huge-page advice the block was given, as the written part of a large
// block offered no huge pages is faulted in when it is made.
void fault_in_small(void* p, size_t bytes);

// Faults in for writing every page that begins inside [p, p + bytes), keeping what it holds and
// touching nothing below p: another thread may be writing there meanwhile, and will find the
// pages above in place when it gets to them.
void fault_in_above(void* p, size_t bytes);
