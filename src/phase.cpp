#include "phase.h"

#include <math.h>

#include "settings.h"

static const double kPi = 3.14159265358979323846;
static const double kTwoPi = 2 * kPi;

phase_options phase_settings() {
  return phase_options{unwrap, cycles, gaps, tstep};
}

bool phase_options_set(const phase_options& o) {
  return o.unwrap || o.cycles || o.gaps;
}

void phase_step(const phase_options& o, phase_track* t, double phi, double* theta, double* freq) {
  if (o.gaps && isnan(phi)) {
    // Left unstarted, so that the next finite sample begins a run of its own.
    t->started = false;
    *theta = *freq = phi;
    return;
  }
  if (!t->started) {
    t->started = true;
    t->prev = phi;
    t->turns = 0;
    *theta = phi;
    *freq = 0;
    return;
  }
  double d = phi - t->prev;
  t->prev = phi;
  if (o.unwrap) {
    // Both angles lie in [-pi, pi], so one turn brings the step into (-pi, pi].
    if (d > kPi) {
      d -= kTwoPi;
      t->turns -= 1;
    } else if (d <= -kPi) {
      d += kTwoPi;
      t->turns += 1;
    }
    // Whole turns counted exactly rather than steps summed: no drift on long signals.
    *theta = phi + t->turns * kTwoPi;
  } else {
    *theta = phi;
  }
  double f = d / o.tstep;
  *freq = o.cycles ? f / kTwoPi : f;
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
