#include "transpose.h"

#include <stddef.h>

#include <algorithm>

#include "parallel.h"

namespace {

// A tile: lines x numbers of a line. 64 x 32 reads 16 KiB of doubles and writes 32 KiB of
// samples, both within the first-level cache of common x86 cores.
constexpr long long kTileLines = 64;
constexpr int kTileValues = 32;

}  // namespace

void place_across(const double* v, int values, long long first, long long last,
                  const int* signal_of, fftw_complex** x) {
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
        for (long long k = k0; k < k1; ++k, in += stride) {
          out[k][0] = *in;
          out[k][1] = 0.0;
        }
      }
    }
  }
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
