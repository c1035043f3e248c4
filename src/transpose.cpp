#include "transpose.h"

#include <stddef.h>
#include <stdint.h>

#include <algorithm>

#include "parallel.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// A tile: lines x numbers of a line. 64 x 32 reads 16 KiB of doubles and writes 32 KiB of
// samples, both within the first-level cache of common x86 cores.
constexpr long long kTileLines = 64;
constexpr int kTileValues = 32;
constexpr size_t kStreamBytes = size_t{16} << 20;  // samples a thread places, past the caches

// Writes sample k of a signal row; streamed past the caches where the rows are far larger than
// they, so that no line of the row is read in only to be written over whole.
template <bool stream>
inline void put_sample(fftw_complex* out, long long k, double re) {
#if defined(__SSE2__)
  if constexpr (stream) {
    _mm_stream_pd(out[k], _mm_set_sd(re));
    return;
  }
#endif
  out[k][0] = re;
  out[k][1] = 0.0;
}

template <bool stream>
void place_tiles(const double* v, int values, long long first, long long last, const int* signal_of,
                 fftw_complex** x) {
  const size_t stride = static_cast<size_t>(values);
  for (long long k0 = first; k0 < last; k0 += kTileLines) {
    const long long k1 = std::min(last, k0 + kTileLines);
    for (int j0 = 0; j0 < values; j0 += kTileValues) {
      const int j1 = std::min(values, j0 + kTileValues);
      for (int j = j0; j < j1; ++j) {
        const int sig = signal_of != nullptr ? signal_of[j] : j;
        if (sig < 0) continue;
        fftw_complex* out = x[sig];
        const double* in = v + static_cast<size_t>(k0) * stride + static_cast<size_t>(j);
        for (long long k = k0; k < k1; ++k, in += stride) put_sample<stream>(out, k, *in);
      }
    }
  }
}

}  // namespace

void place_across(const double* v, int values, long long first, long long last,
                  const int* signal_of, fftw_complex** x) {
#if defined(__SSE2__) && !defined(__SANITIZE_ADDRESS__)
  // Rows this large leave the caches before the transform reads them again. (GCC's address
  // checks do not see streamed stores, so a checked build keeps the plain ones.)
  const bool large = static_cast<double>(last - first) * values * sizeof(fftw_complex) >=
                     static_cast<double>(kStreamBytes);
  bool aligned = true;
  for (int j = 0; j < values && large && aligned; ++j) {
    const int sig = signal_of != nullptr ? signal_of[j] : j;
    aligned = sig < 0 || reinterpret_cast<uintptr_t>(x[sig]) % 16 == 0;
  }
  if (large && aligned) {
    place_tiles<true>(v, values, first, last, signal_of, x);
    _mm_sfence();  // the streamed samples are seen before the threads join
    return;
  }
#endif
  place_tiles<false>(v, values, first, last, signal_of, x);
}

void place_along(const double* v, int values, long long first, long long last, fftw_complex** x) {
  each_row_part(first, last, values, [&](long long k, long long j0, long long j1) {
    const double* in = v + static_cast<size_t>(k) * static_cast<size_t>(values);
    for (long long j = j0; j < j1; ++j) {
      x[k][j][0] = in[j];
      x[k][j][1] = 0.0;
    }
  });
}
