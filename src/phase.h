// The phase and the instantaneous frequency of a signal, from its phase angles
// phi[k] = atan2(im, re): plain, unwrapped, in cycles, restarting after gaps.
#pragma once

#include <fftw3.h>

#include <cmath>

constexpr double kPhasePi = 3.14159265358979323846;
constexpr double kPhaseTwoPi = 2 * kPhasePi;

struct phase_options {
  int unwrap;    // theta continuous: each step taken in (-pi, pi]
  int cycles;    // frequency divided by 2 pi
  int gaps;      // a NaN angle is a gap; the samples after it start a new signal
  double tstep;  // sampling interval
};

// The choices of the run settings.
phase_options phase_settings();

// Running state of one signal; a fresh one starts a signal.
struct phase_track {
  double prev = 0;   // angle of the sample before
  double turns = 0;  // whole turns added to the angle so far
  bool started = false;
};

// Takes the next sample of a signal, of angle phi: its theta and frequency. The first sample
// of a signal (and with gaps of a run) has frequency 0; with gaps a NaN angle gives NaN for both.
// With no option set, theta is phi and the frequency (phi - previous phi) / tstep exactly.
inline void phase_step(const phase_options& o, phase_track* t, double phi, double* theta,
                       double* freq) {
  if (o.gaps && std::isnan(phi)) {
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
    if (d > kPhasePi) {
      d -= kPhaseTwoPi;
      t->turns -= 1;
    } else if (d <= -kPhasePi) {
      d += kPhaseTwoPi;
      t->turns += 1;
    }
    // Whole turns counted exactly rather than steps summed: no drift on long signals.
    *theta = phi + t->turns * kPhaseTwoPi;
  } else {
    *theta = phi;
  }
  double f = d / o.tstep;
  *freq = o.cycles ? f / kPhaseTwoPi : f;
}

// For the result writers: every y[i][k] becomes (theta, frequency) of signal i at sample k,
// each angle computed once, on up to `threads` threads when the matrix is large.
void phase_rows(const phase_options& o, fftw_complex** y, int rows, int cols, int threads);
