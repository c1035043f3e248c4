#include "anasig.h"

#include <stdio.h>

#include <memory>

#include "dbg_printf.h"
#include "extend.h"
#include "fatal.h"
#include "matrix.h"
#include "parallel.h"
#include "settings.h"
#include "wisdom.h"

struct plan_deleter {
  void operator()(fftw_plan_s* p) const { fftw_destroy_plan(p); }
};
using plan_ptr = std::unique_ptr<fftw_plan_s, plan_deleter>;

static plan_ptr make_plan(int rows, int cols, fftw_complex* in, fftw_complex* out, int sign) {
  int n[1] = {cols};
  plan_ptr p(fftw_plan_many_dft(1, n, rows, in, nullptr, 1, cols, out, nullptr, 1, cols, sign,
                                FFTW_ESTIMATE));
  if (p == nullptr)
    fatal("Couldn't make the %s FFT plan for %d x %d values\n",
          sign == FFTW_FORWARD ? "forward" : "inverse", rows, cols);
  return p;
}

int anasig(int rows, int cols, fftw_complex** x, fftw_complex** y) {
  // Padding and gaps take a path of their own; without them the batched transform below runs.
  if (extended_transform_wanted(pad, gaps, rows, cols, x)) {
    if (use_wisdom) import_wisdom_checked(kWisdomFile);
    anasig_extended(pad, gaps, rows, cols, x, y);
    if (use_wisdom) export_wisdom(kWisdomFile);
    return 0;
  }
  signal_matrix spectra;
  alloc_matrix(&spectra, rows, cols, "Couldn't malloc %lu bytes\n",
               "Couldn't fftw_malloc %lu bytes\n");
  fftw_complex** z = spectra.rowp();

  // A missing or damaged wisdom file is passed over: it only ever saves planning time.
  if (use_wisdom) import_wisdom_checked(kWisdomFile);
  if (debug) fprintf(stderr, "Debug:%s(%d) rows=%d cols=%d\n", __FILE__, __LINE__, rows, cols);

  plan_ptr forward = make_plan(rows, cols, x[0], z[0], FFTW_FORWARD);
  plan_ptr inverse = make_plan(rows, cols, z[0], y[0], FFTW_BACKWARD);
  if (use_wisdom) export_wisdom(kWisdomFile);

  progress(" 0%");
  const int repeats = timing ? 100000 : 1;
  for (int t = 0; t < repeats; ++t) fftw_execute(forward.get());
  forward.reset();
  progress("..49%");

  c_array<double> h =
      alloc_array<double>(static_cast<size_t>(cols), "Couldn't allocatre %lu bytes\n");
  // Keep the zero frequency, double the positive ones, drop the negative ones; an even
  // length keeps its Nyquist bin once.
  const int g = cols / 2;
  h[0] = 1;
  if (cols % 2 == 0) {
    for (int k = 1; k < g; ++k) h[k] = 2;
    h[g] = 1;
    for (int k = g + 1; k < cols; ++k) h[k] = 0;
  } else {
    for (int k = 1; k <= (cols - 1) / 2; ++k) h[k] = 2;
    for (int k = (cols + 1) / 2; k < cols; ++k) h[k] = 0;
  }
  if (debug) dbg__printf(__FILE__, __LINE__, "rows=%d cols=%d\n", rows, cols);
  const int threads = threads_for_values(static_cast<long long>(rows) * cols);
  // Each signal is weighted, and later scaled, on its own: the threads share the signals.
  auto each_signal = [&](auto&& f) {
    if (rows >= threads) {
      run_on_threads(threads, [&](int w) {
        for (int i = rows * w / threads; i < rows * (w + 1) / threads; ++i) f(i, 0, cols);
      });
    } else {
      // Fewer signals than threads (one long signal): the threads share its samples.
      run_on_threads(threads, [&](int w) {
        const int k0 = static_cast<int>(static_cast<long long>(cols) * w / threads);
        const int k1 = static_cast<int>(static_cast<long long>(cols) * (w + 1) / threads);
        for (int i = 0; i < rows; ++i) f(i, k0, k1);
      });
    }
  };
  each_signal([&](int i, int k0, int k1) {
    for (int k = k0; k < k1; ++k) {
      z[i][k][0] *= h[k];
      z[i][k][1] *= h[k];
    }
  });
  h.reset();
  progress("..50%");

  fftw_execute(inverse.get());
  progress("..99%");
  inverse.reset();

  // FFTW leaves its transforms unnormalised.
  each_signal([&](int i, int k0, int k1) {
    for (int k = k0; k < k1; ++k) {
      y[i][k][0] /= cols;
      y[i][k][1] /= cols;
    }
  });
  free_matrix(&spectra);
  progress("..100%\n");
  return 0;
}
