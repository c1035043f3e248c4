#include "alloc.h"

#include "fatal.h"
#include "huge_pages.h"

void* checked_malloc(size_t bytes, const char* failed) {
  void* p = malloc(bytes);
  if (p == nullptr && bytes > 0) fatal(failed, static_cast<unsigned long>(bytes));
  advise_huge_pages(p, bytes);
  return p;
}

fftw_block alloc_complex(size_t n, const char* failed) {
  fftw_block b(fftw_alloc_complex(n));
  if (b == nullptr && n > 0) fatal(failed, static_cast<unsigned long>(n * sizeof(fftw_complex)));
  advise_huge_pages(b.get(), n * sizeof(fftw_complex));
  return b;
}
