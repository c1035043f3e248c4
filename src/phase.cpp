#include "phase.h"

#include <math.h>

#include <algorithm>
#include <vector>

#include "parallel.h"
#include "settings.h"

phase_options phase_settings() {
  return phase_options{unwrap, cycles, gaps, tstep};
}

void phase_rows(const phase_options& o, fftw_complex** y, int rows, int cols, int threads) {
  const long long n = static_cast<long long>(rows) * cols;
  threads = threads_for_values(n, threads);
  // The angles are independent: the threads share them even when there is one long signal.
  parallel_for(n, threads, [&](long long first, long long last) {
    each_row_part(first, last, cols, [&](long long i, long long k0, long long k1) {
      for (long long k = k0; k < k1; ++k) y[i][k][0] = atan2(y[i][k][1], y[i][k][0]);
    });
  });
  if (o.unwrap) {
    // The turns run along each signal.
    parallel_for(rows, threads, [&](long long first, long long last) {
      for (long long i = first; i < last; ++i) {
        phase_track t;
        for (int k = 0; k < cols; ++k) phase_step(o, &t, y[i][k][0], &y[i][k][0], &y[i][k][1]);
      }
    });
    return;
  }
  // Without turns a sample needs only the angle before it, so the signals go in pieces of
  // kPiece samples, each started from that angle, read before any piece overwrites it: one
  // long signal is shared by the threads as well as many.
  constexpr long long kPiece = 1 << 16;
  const long long per_row = (cols + kPiece - 1) / kPiece;
  std::vector<double> before(static_cast<size_t>(rows * per_row));
  for (long long p = 0; p < rows * per_row; ++p) {
    const long long k0 = p % per_row * kPiece;
    before[static_cast<size_t>(p)] = k0 > 0 ? y[p / per_row][k0 - 1][0] : 0;
  }
  parallel_for(rows * per_row, threads, [&](long long first, long long last) {
    for (long long p = first; p < last; ++p) {
      fftw_complex* row = y[p / per_row];
      const long long k0 = p % per_row * kPiece, k1 = std::min<long long>(cols, k0 + kPiece);
      phase_track t;
      const double prev = before[static_cast<size_t>(p)];
      if (k0 > 0 && !(o.gaps && std::isnan(prev))) {
        t.started = true;
        t.prev = prev;
      }
      for (long long k = k0; k < k1; ++k) phase_step(o, &t, row[k][0], &row[k][0], &row[k][1]);
    }
  });
}
