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

// In madvise mode, asks the kernel to back the aligned interior of a large block with huge
// pages; nothing for a small block or in any other mode. Returns the bytes advised.
size_t advise_huge_pages(void* p, size_t bytes);
