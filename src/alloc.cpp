#include "alloc.h"

#include "fatal.h"

void* checked_malloc(size_t bytes, const char* failed) {
  void* p = malloc(bytes);
  if (p == nullptr && bytes > 0) fatal(failed, static_cast<unsigned long>(bytes));
  return p;
}

fftw_block alloc_complex(size_t n, const char* failed) {
  fftw_block b(fftw_alloc_complex(n));
  if (b == nullptr && n > 0) fatal(failed, static_cast<unsigned long>(n * sizeof(fftw_complex)));
  return b;
}
