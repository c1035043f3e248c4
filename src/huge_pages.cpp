#include "huge_pages.h"

#include <errno.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <atomic>

#include "parallel.h"
#include "settings.h"

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
// threshold at the size of a large block keeps every one of them a mapping. Fixing it also fixes
// the trim threshold at its 128 KiB start, where glibc would have moved it to twice the mapping
// threshold; it is set so here. FFTW's buffered plans (those of a length with a large prime
// factor) take and free a few hundred KiB on every call, and each free would otherwise hand the
// heap's top back to the kernel, to be faulted in again by the next call.
static bool fix_thresholds() {
  return mallopt(M_MMAP_THRESHOLD, kLargeBlock) == 1 &&
         mallopt(M_TRIM_THRESHOLD, 2 * kLargeBlock) == 1;
}
[[maybe_unused]] static const bool large_blocks_mapped =
    thp_system_mode() == THP_MADVISE && fix_thresholds();

size_t huge_interior(const void* p, size_t bytes, char** first) {
  const uintptr_t begin = reinterpret_cast<uintptr_t>(p);
  const uintptr_t lo = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t hi = (begin + bytes) & ~(kHugePage - 1);
  *first = reinterpret_cast<char*>(lo);
  return p != nullptr && hi > lo ? static_cast<size_t>(hi - lo) : 0;
}

// Set false for the rest of the run once a huge page took far longer to fault in than the small
// pages of its size would. A hypervisor that takes back the memory its guest frees (free page
// reporting) must bring each such 2 MiB back first: there a huge page cost about 6 ms to fault
// in, against 0.3 ms for one the guest still held and 0.8 ms for 512 small pages, which the
// guest mostly serves from memory it kept. The first huge pages of a run are often ones the
// guest held, so every page is timed, not the first alone.
static std::atomic<bool> huge_pages_paying{true};

// Above this a huge page's first fault is taken as one the host had to bring back.
static double slow_huge_page_ms = 2.0;

static double monotonic_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

bool huge_pages_pay() {
  return huge_pages_paying.load(std::memory_order_relaxed);
}

void set_slow_huge_page(double ms) {
  slow_huge_page_ms = ms;
  huge_pages_paying.store(true, std::memory_order_relaxed);
}

bool huge_pages_offered(size_t bytes) {
  return bytes >= kLargeBlock && thp_system_mode() == THP_MADVISE && huge_pages_pay();
}

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

// False once the kernel has refused to fault in a range for writing in one call (before Linux
// 5.14): the pages are then faulted in by touching them, or as they are first written.
static std::atomic<bool> populate_works{true};

// Faults in for writing every page that begins inside [from, to), keeping what it holds, in one
// call: each page's own fault costs a trap, several times the page's clearing in a virtual
// machine (200 MiB here: 0.30 s against 0.54 s touched page by page). False where it cannot.
static bool populate(char* from, char* to) {
  const uintptr_t page = 4096;
  const uintptr_t a = (reinterpret_cast<uintptr_t>(from) + page - 1) & ~(page - 1);
  const uintptr_t b = (reinterpret_cast<uintptr_t>(to) + page - 1) & ~(page - 1);
  if (b <= a) return true;
  if (!populate_works.load(std::memory_order_relaxed)) return false;
  if (madvise(reinterpret_cast<char*>(a), b - a, MADV_POPULATE_WRITE) == 0) return true;
  if (errno == EINVAL) populate_works.store(false, std::memory_order_relaxed);
  return false;
}

// The pages of [from, to) faulted in on the run's threads, 2 MiB at a time, and each then
// written once: a virtual machine may map a page for the program only at its first write, at a
// cost of its own (some 5 us a page here), which then falls on every thread alike rather than on
// whichever first writes the page.
static void populate_on_threads(char* from, char* to) {
  if (to <= from) return;
  const long long parts = static_cast<long long>((to - from + kHugePage - 1) / kHugePage);
  parallel_for(parts, jobs, [&](long long a, long long b) {
    char* const lo = from + a * kHugePage;
    fault_in_above(lo, static_cast<size_t>(std::min(to, from + b * kHugePage) - lo));
  });
}

void fault_in_small(void* p, size_t bytes) {
  char* const from = static_cast<char*>(p);
  // Advice given when the block was made is taken back; a system that gives huge pages by
  // itself keeps doing so.
  char* first;
  const size_t n = huge_interior(from, bytes, &first);
  if (n > 0 && thp_system_mode() == THP_MADVISE) madvise(first, n, MADV_NOHUGEPAGE);
  populate_on_threads(from, from + bytes);
}

void advise_huge_pages(void* p, size_t bytes, size_t touch) {
  if (p == nullptr || bytes < kLargeBlock) return;
  char* const begin = static_cast<char*>(p);
  char* const end = begin + std::min(touch, bytes);
  // Without huge pages the written part is faulted in all the same, a call for 2 MiB at a time.
  if (!huge_pages_offered(bytes)) return populate_on_threads(begin, end);
  char* first;
  const size_t n = huge_interior(p, bytes, &first);
  // Only advice: a kernel that refuses it leaves the block as it was.
  if (n == 0 || madvise(first, n, MADV_HUGEPAGE) != 0) return populate_on_threads(begin, end);
  // The small pages on either side of the interior that will be written.
  populate(begin, std::min(first, end));
  populate(std::min(first + n, end), end);
  // The huge pages of the part that will be written are faulted in now, each timed and keeping
  // what it holds, shared between the run's threads as the first touches would have been; from
  // the first slow one on the block is left to small pages, faulted in as such, as is every later
  // block of the run.
  const long long pages = static_cast<long long>(n / kHugePage);
  const long long touched =
      end <= first ? 0 : std::min<long long>(pages, (end - first + kHugePage - 1) / kHugePage);
  auto leave = [&](long long from, long long to) {
    if (from >= to) return;
    char* const a = first + from * kHugePage;
    char* const b = first + to * kHugePage;
    madvise(a, static_cast<size_t>(b - a), MADV_NOHUGEPAGE);
    if (a < end) populate(a, std::min(b, end));
  };
  parallel_for(touched, jobs, [&](long long a, long long b) {
    for (long long i = a; i < b; ++i) {
      if (!huge_pages_pay()) return leave(i, b);
      const double start = monotonic_ms();
      __atomic_fetch_add(first + i * kHugePage, 0, __ATOMIC_RELAXED);
      if (monotonic_ms() - start > slow_huge_page_ms) {
        huge_pages_paying.store(false, std::memory_order_relaxed);
        // Where the kernel had no huge page to give, the touch took a small one.
        char* const page = first + i * kHugePage;
        populate(page, std::min(page + kHugePage, end));
        return leave(i + 1, b);
      }
    }
  });
  if (!huge_pages_pay()) leave(touched, pages);
}

void fault_in_above(void* p, size_t bytes) {
  const uintptr_t page = 4096;
  char* const end = static_cast<char*>(p) + bytes;
  char* at = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1));
  populate(at, end);
  for (; at < end; at += page) __atomic_fetch_add(at, 0, __ATOMIC_RELAXED);
}
