#include "phase.h"

#include <math.h>

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
    for (long long j = first; j < last;) {
      fftw_complex* row = y[j / cols];
      for (long long k = j % cols; k < cols && j < last; ++k, ++j) {
        row[k][0] = atan2(row[k][1], row[k][0]);
      }
    }
  });
  // Phase and frequency run along each signal.
  parallel_for(rows, threads, [&](long long first, long long last) {
    for (long long i = first; i < last; ++i) {
      phase_track t;
      for (int k = 0; k < cols; ++k) phase_step(o, &t, y[i][k][0], &y[i][k][0], &y[i][k][1]);
    }
  });
}
