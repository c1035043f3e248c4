// The FFT as both transforms use it: plans, the one-sided weights, slices of a batch for the
// threads, the kernels that weight and scale spectra, and the planning wisdom, each in one place.
#pragma once

#include <fftw3.h>

#include <functional>
#include <memory>

struct plan_deleter {
  void operator()(fftw_plan_s* p) const { fftw_destroy_plan(p); }
};
using plan_ptr = std::unique_ptr<fftw_plan_s, plan_deleter>;

// howmany transforms of len samples, one after another from in to out (in may be out);
// ends the run when FFTW cannot plan them.
plan_ptr make_plan(int howmany, int len, fftw_complex* in, fftw_complex* out, int sign);
// The weights that make a spectrum of len bins one-sided: the zero frequency (and an even
// length's Nyquist bin) once, the positive ones twice, the negative ones not at all.
void one_sided_weights(double* h, int len);

// With --wisdom, the planner's wisdom is imported before a transform's first plan and exported
// after its last, before the transforms run; a missing or damaged file only costs planning time.
void planning_begin();
void planning_end();

// The FFT of every signal of a matrix from in to out: one batched plan, or on several threads
// plans of the same kind run on slices of the signals, each slice of two signals or more. For
// transforms of 1024 samples and more FFTW then computes every signal with the same steps as
// the batched plan, so the bits do not depend on the threads.
struct signal_fft {
  plan_ptr whole;
  plan_ptr larger, smaller;  // slices of one signal more than `size`, and of `size`
  int parts = 1, size = 0, larger_parts = 0;
  int whole_threads = 1;  // the threads the whole plan runs on inside FFTW
  fftw_complex** in = nullptr;
  fftw_complex** out = nullptr;
};
// The threads a transform of howmany signals too few to slice may take inside FFTW: two for a
// long one of a length FFTW is likely to split as its serial plan (make_plan_on_threads takes
// them only where it does), else 1.
int long_transform_threads(int howmany, int len, int threads);
signal_fft plan_fft(int rows, int cols, fftw_complex** in, fftw_complex** out, int sign,
                    int threads);
void run_fft(const signal_fft& f);
// run_fft(f) `repeats` times while `planning` makes the plans that follow, each on a thread of
// its own where f runs on one thread: FFTW does not split one long signal of most lengths, and
// planning a length of large factors takes about as long as the transform. Plans made without
// measuring read no array, and they are the same whenever they are made. Otherwise the planning
// comes first.
void run_fft_planning(const signal_fft& f, int repeats, const std::function<void()>& planning);

// Spectrum bins k0 .. k1-1 times their weights h[k0 .. k1-1], both parts, from `from` into
// `to` (which may be `from`).
inline void weight_bins(fftw_complex* to, const fftw_complex* from, const double* h, long long k0,
                        long long k1) {
  for (long long k = k0; k < k1; ++k) {
    to[k][0] = from[k][0] * h[k];
    to[k][1] = from[k][1] * h[k];
  }
}
// The same with the weights times i: (a + ib) h i = -b h + i a h.
inline void weight_bins_i(fftw_complex* to, const fftw_complex* from, const double* h, long long k0,
                          long long k1) {
  for (long long k = k0; k < k1; ++k) {
    const double re = from[k][0];
    to[k][0] = -from[k][1] * h[k];
    to[k][1] = re * h[k];
  }
}
// The first n samples of an inverse transform of len samples, scaled by 1/len into out (FFTW
// leaves its transforms unnormalised); out may be in.
inline void scale_samples(fftw_complex* out, const fftw_complex* in, long long n, int len) {
  for (long long k = 0; k < n; ++k) {
    out[k][0] = in[k][0] / len;
    out[k][1] = in[k][1] / len;
  }
}
// Every spectrum of a block of rows x cols weighted by h from `from` into `to` (which may be
// `from`), and every signal scaled, on the threads; the bits are the same with any count.
void weight_spectra(fftw_complex* to, const fftw_complex* from, int rows, int cols, const double* h,
                    int threads);
// weight_spectra on bins k0 .. k1-1 of every spectrum alone.
void weight_spectra_bins(fftw_complex* to, const fftw_complex* from, int rows, int cols,
                         const double* h, int k0, int k1, int threads);
// The same in place with the one-sided weights (1 at 0 and at cols/2, 2 between, 0 above), which
// need no array of their own: a long signal spares a pass over 8 B a sample of new memory.
void weight_one_sided(fftw_complex* block, int rows, int cols, int threads);
// weight_spectra with the weights times i.
void weight_spectra_i(fftw_complex* to, const fftw_complex* from, int rows, int cols,
                      const double* h, int threads);
void scale_signals(fftw_complex* block, int rows, int cols, int threads);

// The transform's own debug line, "Debug:" with its place and the shape.
void trace_transform(int rows, int cols);
