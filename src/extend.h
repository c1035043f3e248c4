// The analytic signal of signals extended at their end (zero or mirror padding) and of the
// runs of finite samples between gaps, each run transformed as a signal of its own.
#pragma once

#include <fftw3.h>

#include "bands.h"

// The smallest number not below n whose only prime factors are 2, 3, 5 and 7.
long long smooth_length(long long n);
// The length a signal of n samples is transformed at under pad (a PAD_* of settings.h).
long long extended_length(long long n, int pad);

// Whether x needs anasig_extended: a padding, or gaps and a NaN or infinite sample in x.
// Otherwise the plain batched transform gives the same result.
bool extended_transform_wanted(int pad, int gaps, int rows, int cols, fftw_complex** x);

// The analytic signal of every row of x into y, each row (with gaps: each maximal run of
// finite samples) extended by pad, transformed with the weights of the extended length, and
// cut back to its own samples; with gaps a non-finite sample gives NaN + NaN i. Shows the
// progress marks and debug lines of anasig() and honours timing; the wisdom file is the
// caller's. Exits 1 when memory or a plan cannot be had.
// With dz, the derivative of the analytic signal (samples interval apart) into dz too.
void anasig_extended(int pad, int gaps, int rows, int cols, fftw_complex** x, fftw_complex** y,
                     fftw_complex** dz = nullptr, double interval = 1);

// anasig_extended with bands: every stretch extended and transformed forward once, the spectra
// kept; each call of the returned function weights them with the band's gain at the
// frequencies of interval and the extended length, and puts the band's analytic signal in y
// (with dz, its derivative in dz).
band_pass extended_bands(int pad, int gaps, int rows, int cols, fftw_complex** x, fftw_complex** y,
                         fftw_complex** dz, double interval);
