// The analytic signal of every row of x, into y (which may be x): real part x, imaginary part
// its Hilbert transform. With dz, also its derivative with respect to time (samples interval
// apart) into dz, x then being work space and y another matrix. Exits 1 when memory or a plan
// cannot be had.
#pragma once

#include <fftw3.h>

#include "bands.h"

int anasig(int rows, int cols, fftw_complex** x, fftw_complex** y, fftw_complex** dz = nullptr,
           double interval = 1);

// With bands: the forward transform of every row of x (padded and cut at gaps as anasig()
// does), run once and kept; each call of the returned function puts the analytic signal of
// one band into y, the band's gain at the frequencies of the interval folded into the
// one-sided weights, and with dz its derivative into dz. x is work space from then on. Exits 1 when
// memory or a plan cannot be had.
band_pass anasig_bands(int rows, int cols, fftw_complex** x, fftw_complex** y, fftw_complex** dz,
                       double interval);
