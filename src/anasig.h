// The analytic signal of every row of x, into y: real part x, imaginary part its Hilbert
// transform. Exits 1 when memory or a plan cannot be had.
#pragma once

#include <fftw3.h>

#include <memory>

int anasig(int rows, int cols, fftw_complex** x, fftw_complex** y);

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
