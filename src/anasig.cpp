#include "anasig.h"

#include <stdint.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <vector>

#include "alloc.h"
#include "dbg_printf.h"
#include "derivative.h"
#include "extend.h"
#include "fft.h"
#include "matrix.h"
#include "settings.h"

// One batched forward FFT of every signal, the one-sided weights, one batched inverse FFT.
// With dz, the derivative's weights first put the spectra into x, which the forward FFT no
// longer needs, for a second inverse FFT into dz.
static void plain_transform(int rows, int cols, fftw_complex** x, fftw_complex** y,
                            fftw_complex** dz, double interval) {
  signal_matrix spectra;
  alloc_matrix_in_room(&spectra, rows, cols, "Couldn't malloc %lu bytes\n",
                       "Couldn't fftw_malloc %lu bytes\n");
  fftw_complex** z = spectra.rowp();

  trace_transform(rows, cols);
  signal_fft forward = plan_fft(rows, cols, x, z, FFTW_FORWARD, jobs);
  signal_fft inverse, derivative;
  run_fft_planning(forward, timing ? 100000 : 1, [&] {
    inverse = plan_fft(rows, cols, z, y, FFTW_BACKWARD, jobs);
    if (dz != nullptr) derivative = plan_fft(rows, cols, x, dz, FFTW_BACKWARD, jobs);
    planning_end();
    progress(" 0%");
  });
  forward = signal_fft{};
  progress("..49%");

  if (dz != nullptr) {
    c_array<double> h =
        alloc_array<double>(static_cast<size_t>(cols), "Couldn't allocatre %lu bytes\n");
    one_sided_weights(h.get(), cols);
    derivative_weights(h.get(), cols, interval);
    weight_spectra_i(x[0], z[0], rows, cols, h.get(), jobs);
    run_fft(derivative);
    derivative = signal_fft{};
    scale_signals(dz[0], rows, cols, jobs);
  }
  if (debug) dbg__printf(__FILE__, __LINE__, "rows=%d cols=%d\n", rows, cols);
  weight_one_sided(z[0], rows, cols, jobs);
  progress("..50%");

  run_fft(inverse);
  progress("..99%");
  inverse = signal_fft{};
  scale_signals(y[0], rows, cols, jobs);
  free_matrix(&spectra);
  progress("..100%\n");
}

// The kept spectra and the inverse plan of a run with bands.
struct kept_spectra {
  signal_matrix spectra;
  signal_fft inverse, derivative;
  std::vector<double> h;
  // While held_valid, x holds the spectra times the last band's weights, which are +0 outside
  // bins held_lo .. held_hi-1.
  bool held_valid = false;
  int held_lo = 0, held_hi = 0;
};

// The first and one past the last bin of weights h that is not +0 (lo == hi: none).
static void weighted_bins(const double* h, int n, int* lo, int* hi) {
  auto zero = [&](int k) { return std::bit_cast<uint64_t>(h[k]) == 0; };
  *lo = 0;
  *hi = n;
  while (*lo < n && zero(*lo)) ++*lo;
  while (*hi > *lo && zero(*hi - 1)) --*hi;
}

// One batched forward FFT of every signal into spectra that are kept; each band weights them
// into x, which the forward FFT no longer needs, for one batched inverse FFT into y.
static band_pass plain_bands(int rows, int cols, fftw_complex** x, fftw_complex** y,
                             fftw_complex** dz, double interval) {
  auto kept = std::make_shared<kept_spectra>();
  alloc_matrix_in_room(&kept->spectra, rows, cols, "Couldn't malloc %lu bytes\n",
                       "Couldn't fftw_malloc %lu bytes\n");
  fftw_complex** z = kept->spectra.rowp();

  trace_transform(rows, cols);
  signal_fft forward = plan_fft(rows, cols, x, z, FFTW_FORWARD, jobs);
  run_fft_planning(forward, timing ? 100000 : 1, [&] {
    kept->inverse = plan_fft(rows, cols, x, y, FFTW_BACKWARD, jobs);
    if (dz != nullptr) kept->derivative = plan_fft(rows, cols, x, dz, FFTW_BACKWARD, jobs);
    planning_end();
    progress(" 0%");
  });
  progress("..100%\n");
  kept->h.resize(static_cast<size_t>(cols));
  return [=](const band& b) {
    // The band's weights with the inverse transform's 1/cols folded in, which spares a pass
    // over y for each band.
    double* h = kept->h.data();
    auto band_weights = [&]() {
      one_sided_weights(h, cols);
      apply_band_gain(b, h, cols, interval);
      for (int k = 0; k < cols; ++k) h[k] /= cols;
    };
    if (dz != nullptr) {
      band_weights();
      derivative_weights(h, cols, interval);
      weight_spectra_i(x[0], kept->spectra.rowp()[0], rows, cols, h, jobs);
      run_fft(kept->derivative);
    }
    band_weights();
    // x still holds the last band's spectra times its weights where nothing else wrote it (the
    // inverse FFT leaves its input as it was). Outside both bands' weighted bins the weights are
    // +0 for both, and x keeps its bits: only the bins in between are weighted anew.
    const fftw_complex* spectra = kept->spectra.rowp()[0];
    int lo, hi;
    weighted_bins(h, cols, &lo, &hi);
    if (kept->held_valid) {
      const int k0 = std::min(lo, kept->held_lo), k1 = std::max(hi, kept->held_hi);
      weight_spectra_bins(x[0], spectra, rows, cols, h, k0, k1, jobs);
    } else {
      weight_spectra(x[0], spectra, rows, cols, h, jobs);
    }
    kept->held_valid = dz == nullptr && x[0] != y[0];
    kept->held_lo = lo;
    kept->held_hi = hi;
    run_fft(kept->inverse);
  };
}

band_pass anasig_bands(int rows, int cols, fftw_complex** x, fftw_complex** y, fftw_complex** dz,
                       double interval) {
  planning_begin();
  if (extended_transform_wanted(pad, gaps, rows, cols, x))
    return extended_bands(pad, gaps, rows, cols, x, y, dz, interval);
  return plain_bands(rows, cols, x, y, dz, interval);
}

int anasig(int rows, int cols, fftw_complex** x, fftw_complex** y, fftw_complex** dz,
           double interval) {
  // Each transform ends the planning with planning_end() once its plans are made.
  planning_begin();
  // Padding and gaps take a path of their own; without them the batched transform runs.
  if (extended_transform_wanted(pad, gaps, rows, cols, x)) {
    anasig_extended(pad, gaps, rows, cols, x, y, dz, interval);
  } else {
    plain_transform(rows, cols, x, y, dz, interval);
  }
  return 0;
}
