#include "fft.h"

#include <stdio.h>

#include <algorithm>

#include "extend.h"
#include "fatal.h"
#include "fft_threads.h"
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

// Plans may be split between threads, by signals or inside FFTW, and made while a transform
// runs, except where wisdom must find the plans it stored and where --timing measures one
// transform on one thread.
static bool plans_may_split() {
  return !use_wisdom && !timing;
}

void planning_begin() {
  if (plans_may_split() && jobs > 1) threaded_planning_begin();
  if (use_wisdom) import_wisdom_checked(kWisdomFile);
}

void planning_end() {
  if (use_wisdom) export_wisdom(kWisdomFile);
}

// The first signal of slice w: the first rows % parts slices hold one signal more.
static int slice_start(int rows, int parts, int w) {
  return static_cast<int>(part_start(rows, parts, w));
}

static int fft_parts(int rows, int cols, fftw_complex** in, fftw_complex** out, int threads) {
  if (!plans_may_split() || cols < 1024) return 1;
  const int parts =
      std::min(threads_for_values(static_cast<long long>(rows) * cols, threads), rows / 2);
  // A plan runs on other arrays only when they are aligned as the ones it was made for.
  for (int w = 1; w < parts; ++w) {
    const int first = slice_start(rows, parts, w);
    if (fftw_alignment_of(in[first][0]) != fftw_alignment_of(in[0][0]) ||
        fftw_alignment_of(out[first][0]) != fftw_alignment_of(out[0][0]))
      return 1;
  }
  return std::max(1, parts);
}

int long_transform_threads(int howmany, int len, int threads) {
  // Below about a million samples the planning that threads take costs about what they save.
  constexpr int kLongTransform = 1 << 20;
  if (!plans_may_split() || len < kLongTransform) return 1;
  // A threaded plan that is turned down has cost a planning, twiddles and all, which for a
  // length with a large prime factor takes as long as the transform. FFTW splits the serial
  // plan of most even 2,3,5,7-smooth lengths between two threads (five in six here), fewer
  // between more, and next to none of the other lengths.
  if (len % 2 != 0 || smooth_length(len) != len) return 1;
  return std::min(2, threads_for_values(static_cast<long long>(howmany) * len, threads));
}

signal_fft plan_fft(int rows, int cols, fftw_complex** in, fftw_complex** out, int sign,
                    int threads) {
  signal_fft f;
  f.in = in;
  f.out = out;
  f.parts = fft_parts(rows, cols, in, out, threads);
  if (f.parts == 1) {
    f.whole = make_plan_on_threads(rows, cols, in[0], out[0], sign,
                                   long_transform_threads(rows, cols, threads), &f.whole_threads);
    return f;
  }
  f.size = rows / f.parts;
  f.larger_parts = rows % f.parts;
  if (f.larger_parts > 0) f.larger = make_plan(f.size + 1, cols, in[0], out[0], sign);
  f.smaller = make_plan(f.size, cols, in[0], out[0], sign);
  return f;
}

void run_fft(const signal_fft& f) {
  if (f.parts == 1) {
    fftw_execute(f.whole.get());
    return;
  }
  const int rows = f.size * f.parts + f.larger_parts;
  parallel_for(f.parts, f.parts, [&](long long w0, long long w1) {
    for (long long w = w0; w < w1; ++w) {
      const int first = slice_start(rows, f.parts, static_cast<int>(w));
      fftw_plan p = w < f.larger_parts ? f.larger.get() : f.smaller.get();
      fftw_execute_dft(p, f.in[first], f.out[first]);
    }
  });
}

void run_fft_planning(const signal_fft& f, int repeats, const std::function<void()>& planning) {
  if (f.parts > 1 || f.whole_threads > 1 || !plans_may_split()) {
    planning();
    for (int t = 0; t < repeats; ++t) run_fft(f);
    return;
  }
  // Planning is part 0, on the caller's thread, where a plan that fails may end the file; with
  // one thread to be had, the parts run one after the other.
  parallel_for(2, jobs, [&](long long part, long long end) {
    for (; part < end; ++part) {
      if (part == 0) {
        planning();
        continue;
      }
      for (int t = 0; t < repeats; ++t) run_fft(f);
    }
  });
}

// Runs each(row, k0, k1) over bins lo .. hi-1 of every row of a block, shared by the threads
// even when there is one long signal: the values are independent.
template <typename F>
static void on_row_parts(int rows, long long lo, long long hi, int threads, F&& each) {
  const long long width = hi - lo, n = static_cast<long long>(rows) * width;
  if (width <= 0) return;
  parallel_for(n, threads_for_values(n, threads), [&](long long first, long long last) {
    each_row_part(first, last, width,
                  [&](long long row, long long a, long long b) { each(row, lo + a, lo + b); });
  });
}
// The same over every value of a rows x cols block.
template <typename F>
static void on_row_parts(int rows, int cols, int threads, F&& each) {
  on_row_parts(rows, 0, cols, threads, each);
}

void weight_spectra(fftw_complex* to, const fftw_complex* from, int rows, int cols, const double* h,
                    int threads) {
  weight_spectra_bins(to, from, rows, cols, h, 0, cols, threads);
}

void weight_spectra_bins(fftw_complex* to, const fftw_complex* from, int rows, int cols,
                         const double* h, int k0, int k1, int threads) {
  on_row_parts(rows, k0, k1, threads, [&](long long row, long long a, long long b) {
    weight_bins(to + row * cols, from + row * cols, h, a, b);
  });
}

void weight_one_sided(fftw_complex* block, int rows, int cols, int threads) {
  // Bin 0 is kept, those below (cols + 1) / 2 doubled, the middle one of an even length kept
  // and the rest cleared: each run of one weight in a loop of its own.
  const long long edges[] = {0, 1, (cols + 1) / 2, cols / 2 + 1, cols};
  const double weights[] = {1, 2, 1, 0};
  on_row_parts(rows, cols, threads, [&](long long row, long long k0, long long k1) {
    fftw_complex* z = block + row * cols;
    for (int r = 0; r < 4; ++r) {
      for (long long k = std::max(k0, edges[r]); k < std::min(k1, edges[r + 1]); ++k) {
        z[k][0] *= weights[r];
        z[k][1] *= weights[r];
      }
    }
  });
}

void weight_spectra_i(fftw_complex* to, const fftw_complex* from, int rows, int cols,
                      const double* h, int threads) {
  on_row_parts(rows, cols, threads, [&](long long row, long long k0, long long k1) {
    weight_bins_i(to + row * cols, from + row * cols, h, k0, k1);
  });
}

void scale_signals(fftw_complex* block, int rows, int cols, int threads) {
  on_row_parts(rows, cols, threads, [&](long long row, long long k0, long long k1) {
    fftw_complex* y = block + row * cols + k0;
    scale_samples(y, y, k1 - k0, cols);
  });
}

void trace_transform(int rows, int cols) {
  if (debug) fprintf(stderr, "Debug:%s(%d) rows=%d cols=%d\n", __FILE__, __LINE__, rows, cols);
}
