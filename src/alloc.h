// Owning pointers for blocks from malloc and from FFTW, and allocations that end the run
// with the caller's own message when memory runs out; large blocks are offered huge pages.
#pragma once

#include <fftw3.h>
#include <stddef.h>
#include <stdlib.h>

#include <memory>

struct fftw_free_deleter {
  void operator()(void* p) const { fftw_free(p); }
};
struct c_free_deleter {
  void operator()(void* p) const { free(p); }
};
template <typename T>
using c_array = std::unique_ptr<T[], c_free_deleter>;
using fftw_block = std::unique_ptr<fftw_complex[], fftw_free_deleter>;

// `failed` is a printf format with one %lu, given the bytes asked for; it ends the run
// (status 1) when a block of more than 0 bytes cannot be had.
void* checked_malloc(size_t bytes, const char* failed);
fftw_block alloc_complex(size_t n, const char* failed);

template <typename T>
c_array<T> alloc_array(size_t n, const char* failed) {
  return c_array<T>(static_cast<T*>(checked_malloc(n * sizeof(T), failed)));
}
