// Large blocks offered huge pages and handed back whole; small blocks left as they were.
#include "huge_pages.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>

#include <memory>
#include <string>
#include <vector>

#include "alloc.h"
#include "block_reader.h"
#include "test_util.h"

namespace {

// The VmFlags of the mapping that holds p in /proc/self/smaps; "" where none is shown.
std::string vm_flags(const void* p) {
  FILE* f = fopen("/proc/self/smaps", "re");
  if (f == nullptr) return "";
  unsigned long a = reinterpret_cast<uintptr_t>(p), lo, hi;
  char line[512];
  bool inside = false;
  std::string flags;
  while (flags.empty() && fgets(line, sizeof line, f) != nullptr) {
    if (sscanf(line, "%lx-%lx ", &lo, &hi) == 2 && strchr(line, '-') < strchr(line, ' '))
      inside = lo <= a && a < hi;
    else if (inside && strncmp(line, "VmFlags:", 8) == 0)
      flags = line + 8;
  }
  fclose(f);
  return flags;
}

bool advised(const void* p) {
  return vm_flags(p).find(" hg") != std::string::npos;
}

// Fills the reader's values across three large blocks; the values that did not survive the moves.
size_t values_lost_in_moves(growing_array<double>* values) {
  size_t asked = 0, wrong = 0;
  const size_t count = 3 * kLargeBlock / sizeof(double) + 5;
  for (size_t i = 0; i < count; ++i) {
    if (!values->push(static_cast<double>(i), &asked)) return count - i;
  }
  for (size_t i = 0; i < count; ++i) wrong += values->items[i] != static_cast<double>(i);
  return wrong;
}

TEST(HugePages, InteriorIsTheWhole2MiBPagesInsideTheBlock) {
  char* first = nullptr;
  char* const base = reinterpret_cast<char*>(uintptr_t{64} << 21);
  EXPECT_EQ(huge_interior(base + 16, 3 * kHugePage, &first), 2 * kHugePage);
  EXPECT_EQ(first, base + kHugePage);
  EXPECT_EQ(huge_interior(base, kHugePage, &first), kHugePage);
  EXPECT_EQ(huge_interior(base + 16, 2 * kHugePage - 32, &first), 0u);
}

// The advice shows only where the mode is madvise and smaps can be read.
TEST(HugePages, LargeBlocksAdvisedAndHandedBackSmallOnesLeftAlone) {
  const bool madvise_mode = thp_system_mode() == THP_MADVISE;
  if (vm_flags(&madvise_mode).empty()) GTEST_SKIP() << "no VmFlags in /proc/self/smaps";
  const size_t n = (size_t{64} << 20) / sizeof(fftw_complex);
  // Huge pages stay offered only while they fault in quickly, which the host decides.
  const bool paying = huge_pages_pay();
  fftw_block large = alloc_complex(n, "no %lu bytes");
  char* first;
  ASSERT_GT(huge_interior(large.get(), n * sizeof(fftw_complex), &first), 0u);
  memset(large.get(), 1, n * sizeof(fftw_complex));
  EXPECT_EQ(advised(first), madvise_mode && paying);
  large.reset();
  // A sanitizer's allocator keeps freed blocks in quarantine rather than hand them back.
  if (!sanitizer_build()) {
    EXPECT_FALSE(advised(first)) << "the large block was not handed back";
  }
  fftw_block small = alloc_complex(1000, "no %lu bytes");
  EXPECT_FALSE(madvise_mode && advised(small.get() + 500));
  // The reader's values keep every value as their block moves into advised memory.
  growing_array<double> values;
  EXPECT_EQ(values_lost_in_moves(&values), 0u);
  ASSERT_GT(huge_interior(values.items.get(), values.cap * sizeof(double), &first), 0u);
  if (huge_pages_pay()) {
    EXPECT_EQ(advised(first), madvise_mode);
  }
  // A buffer below a large block, taken and freed at the top of the heap, stays with the heap
  // for the next one rather than going back to the kernel to be faulted in again.
  if (madvise_mode && !sanitizer_build()) {
    const size_t bytes = size_t{1} << 20;
    std::unique_ptr<char, decltype(&free)> buffer(static_cast<char*>(malloc(bytes)), &free);
    ASSERT_NE(buffer, nullptr);
    memset(buffer.get(), 1, bytes);
    buffer.reset();
    EXPECT_GE(mallinfo2().keepcost, bytes);
  }
}

// A slow huge page keeps its advice, the rest of its block and every later block get none, and
// the reader's values survive their block moving on the small-page path.
TEST(HugePages, ASlowHugePageLeavesTheRestOfTheRunToSmallPages) {
  const bool madvise_mode = thp_system_mode() == THP_MADVISE;
  if (!madvise_mode || vm_flags(&madvise_mode).empty()) GTEST_SKIP() << "not in madvise mode";
  set_slow_huge_page(-1);
  const size_t n = (size_t{16} << 20) / sizeof(fftw_complex);
  fftw_block block = alloc_complex(n, "no %lu bytes");
  char* first;
  ASSERT_GT(huge_interior(block.get(), n * sizeof(fftw_complex), &first), kHugePage);
  EXPECT_TRUE(advised(first));
  EXPECT_FALSE(advised(first + kHugePage));
  EXPECT_FALSE(huge_pages_pay());
  fftw_block later = alloc_complex(n, "no %lu bytes");
  ASSERT_GT(huge_interior(later.get(), n * sizeof(fftw_complex), &first), 0u);
  EXPECT_FALSE(advised(first));
  growing_array<double> values;
  EXPECT_EQ(values_lost_in_moves(&values), 0u);
  set_slow_huge_page(2.0);
}

// The pages of [p, p + bytes) that are resident, one byte a page.
std::string resident(const char* p, size_t bytes) {
  std::vector<unsigned char> in(bytes / 4096);
  if (mincore(const_cast<char*>(p), bytes, in.data()) != 0) return "?";
  std::string pages;
  for (unsigned char c : in) pages += (c & 1) != 0 ? '1' : '0';
  return pages;
}

// What will be written of a large block is faulted in as it is made, huge pages or not, and
// nothing past it; the reader's faulting ahead takes the pages that begin in its range only.
TEST(HugePages, TheWrittenPartOfALargeBlockIsFaultedInAsItIsMade) {
  const size_t bytes = 8 << 20, page = 4096;
  char* p = static_cast<char*>(
      mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(p, MAP_FAILED);
  madvise(p, bytes, MADV_NOHUGEPAGE);
  if (madvise(p, page, 23 /* MADV_POPULATE_WRITE */) != 0) {
    munmap(p, bytes);
    GTEST_SKIP() << "no MADV_POPULATE_WRITE";
  }
  set_slow_huge_page(-1);
  const size_t touch = (3 << 20) + 100, pages = (touch + page - 1) / page;
  advise_huge_pages(p, bytes, touch);
  const size_t at = (4 << 20) + 10;
  fault_in_above(p + at, 3 * page);
  std::string want(bytes / page, '0');
  want.replace(0, pages, pages, '1');
  want.replace(at / page + 1, 3, 3, '1');
  EXPECT_EQ(resident(p, bytes), want);
  munmap(p, bytes);
  set_slow_huge_page(2.0);
}

}  // namespace
