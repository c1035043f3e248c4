#include "anasig.h"

#include <stdio.h>

#include <algorithm>
#include <memory>

#include "dbg_printf.h"
#include "extend.h"
#include "fatal.h"
#include "matrix.h"
#include "parallel.h"
#include "settings.h"
#include "wisdom.h"

plan_ptr make_plan(int howmany, int len, fftw_complex* in, fftw_complex* out, int sign) {
  int n[1] = {len};
  plan_ptr p(fftw_plan_many_dft(1, n, howmany, in, nullptr, 1, len, out, nullptr, 1, len, sign,
                                FFTW_ESTIMATE));
  if (p == nullptr)
    fatal("Couldn't make the %s FFT plan for %d x %d values\n",
          sign == FFTW_FORWARD ? "forward" : "inverse", howmany, len);
  return p;
}

void one_sided_weights(double* h, int len) {
  for (int k = 0; k < len; ++k) h[k] = k == 0 || 2 * k == len ? 1 : 2 * k < len ? 2 : 0;
}

// The FFT of every signal from in to out: one batched plan, or on several threads plans of
// the same kind run on slices of the signals, each slice of two signals or more. For
// transforms of 1024 samples and more FFTW then computes every signal with the same steps as
// the batched plan, so the bits do not depend on the threads.
struct signal_fft {
  plan_ptr whole;
  plan_ptr larger, smaller;  // slices of `size` + 1 and of `size` signals
  int parts = 1, size = 0, larger_parts = 0;
  fftw_complex** in = nullptr;
  fftw_complex** out = nullptr;
};

static int fft_parts(int rows, int cols, fftw_complex** in, fftw_complex** out) {
  if (use_wisdom || timing || cols < 1024) return 1;
  const int parts = std::min(threads_for_values(static_cast<long long>(rows) * cols), rows / 2);
  // A plan runs on other arrays only when they are aligned as the ones it was made for.
  for (int w = 1; w < parts; ++w) {
    const int first = rows / parts * w + std::min(w, rows % parts);
    if (fftw_alignment_of(in[first][0]) != fftw_alignment_of(in[0][0]) ||
        fftw_alignment_of(out[first][0]) != fftw_alignment_of(out[0][0]))
      return 1;
  }
  return std::max(1, parts);
}

static signal_fft plan_fft(int rows, int cols, fftw_complex** in, fftw_complex** out, int sign) {
  signal_fft f;
  f.in = in;
  f.out = out;
  f.parts = fft_parts(rows, cols, in, out);
  if (f.parts == 1) {
    f.whole = make_plan(rows, cols, in[0], out[0], sign);
    return f;
  }
  f.size = rows / f.parts;
  f.larger_parts = rows % f.parts;
  if (f.larger_parts > 0) f.larger = make_plan(f.size + 1, cols, in[0], out[0], sign);
  f.smaller = make_plan(f.size, cols, in[0], out[0], sign);
  return f;
}

static void run_fft(const signal_fft& f) {
  if (f.parts == 1) {
    fftw_execute(f.whole.get());
    return;
  }
  run_on_threads(f.parts, [&](int w) {
    const int first = f.size * w + std::min(w, f.larger_parts);
    fftw_plan p = w < f.larger_parts ? f.larger.get() : f.smaller.get();
    fftw_execute_dft(p, f.in[first], f.out[first]);
  });
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

  signal_fft forward = plan_fft(rows, cols, x, z, FFTW_FORWARD);
  signal_fft inverse = plan_fft(rows, cols, z, y, FFTW_BACKWARD);
  if (use_wisdom) export_wisdom(kWisdomFile);

  progress(" 0%");
  const int repeats = timing ? 100000 : 1;
  for (int t = 0; t < repeats; ++t) run_fft(forward);
  forward = signal_fft{};
  progress("..49%");

  c_array<double> h =
      alloc_array<double>(static_cast<size_t>(cols), "Couldn't allocatre %lu bytes\n");
  one_sided_weights(h.get(), cols);
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

  run_fft(inverse);
  progress("..99%");
  inverse = signal_fft{};

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
