#include "phase.h"

#include <math.h>

#include "settings.h"

phase_options phase_settings() {
  return phase_options{unwrap, cycles, gaps, tstep};
}

bool phase_options_set(const phase_options& o) {
  return o.unwrap || o.cycles || o.gaps;
}

void phase_signal(const phase_options& o, const double* phi, int n, double* theta, double* freq) {
  phase_track t;
  for (int k = 0; k < n; ++k) {
    double th, f;
    phase_step(o, &t, phi[k], &th, &f);
    if (theta != nullptr) theta[k] = th;
    if (freq != nullptr) freq[k] = f;
  }
}

void phase_rows(const phase_options& o, fftw_complex** y, int rows, int cols) {
  for (int i = 0; i < rows; ++i) {
    phase_track t;
    fftw_complex* row = y[i];
    for (int k = 0; k < cols; ++k)
      phase_step(o, &t, atan2(row[k][1], row[k][0]), &row[k][0], &row[k][1]);
  }
}
