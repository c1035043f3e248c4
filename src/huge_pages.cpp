#include "huge_pages.h"

#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>

static thp_mode read_mode() {
  FILE* f = fopen("/sys/kernel/mm/transparent_hugepage/enabled", "re");
  if (f == nullptr) return THP_UNKNOWN;
  char line[128] = "";
  const bool got = fgets(line, sizeof line, f) != nullptr;
  fclose(f);
  // The mode in effect is the bracketed one: "always [madvise] never".
  if (!got) return THP_UNKNOWN;
  if (strstr(line, "[always]") != nullptr) return THP_ALWAYS;
  if (strstr(line, "[madvise]") != nullptr) return THP_MADVISE;
  if (strstr(line, "[never]") != nullptr) return THP_NEVER;
  return THP_UNKNOWN;
}

thp_mode thp_system_mode() {
  static const thp_mode mode = read_mode();
  return mode;
}

// A large block must be a mapping of its own for its advice to go with it when it is freed:
// glibc would serve some large blocks from its heap once its moving threshold had grown past
// them, and the advice would then stay on the heap for the small blocks that come after. A fixed
// threshold at the size of a large block keeps every one of them a mapping.
[[maybe_unused]] static const bool large_blocks_mapped =
    thp_system_mode() == THP_MADVISE && mallopt(M_MMAP_THRESHOLD, kLargeBlock) == 1;

size_t huge_interior(const void* p, size_t bytes, char** first) {
  const uintptr_t begin = reinterpret_cast<uintptr_t>(p);
  const uintptr_t lo = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t hi = (begin + bytes) & ~(kHugePage - 1);
  *first = reinterpret_cast<char*>(lo);
  return p != nullptr && hi > lo ? static_cast<size_t>(hi - lo) : 0;
}

size_t advise_huge_pages(void* p, size_t bytes) {
  if (bytes < kLargeBlock || thp_system_mode() != THP_MADVISE) return 0;
  char* first;
  const size_t n = huge_interior(p, bytes, &first);
  // Only advice: a kernel that refuses it leaves the block as it was.
  if (n == 0 || madvise(first, n, MADV_HUGEPAGE) != 0) return 0;
  return n;
}
