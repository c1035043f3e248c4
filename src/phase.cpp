#include "phase.h"

#include <math.h>

#include <algorithm>

#include "parallel.h"
#include "settings.h"

phase_options phase_settings() {
  return phase_options{unwrap, cycles, gaps, tstep};
}

void phase_rows(const phase_options& o, fftw_complex** y, int rows, int cols) {
  const int threads = threads_for_values(static_cast<long long>(rows) * cols);
  // The angles are independent: the threads share them even when there is one long signal.
  const long long n = static_cast<long long>(rows) * cols;
  run_on_threads(threads, [&](int w) {
    const long long last = n * (w + 1) / threads;
    for (long long j = n * w / threads; j < last;) {
      fftw_complex* row = y[j / cols];
      for (long long k = j % cols; k < cols && j < last; ++k, ++j) {
        row[k][0] = atan2(row[k][1], row[k][0]);
      }
    }
  });
  // Phase and frequency run along each signal.
  const int row_threads = std::min(threads, rows);
  run_on_threads(row_threads, [&](int w) {
    for (int i = rows * w / row_threads; i < rows * (w + 1) / row_threads; ++i) {
      phase_track t;
      for (int k = 0; k < cols; ++k) phase_step(o, &t, y[i][k][0], &y[i][k][0], &y[i][k][1]);
    }
  });
}
