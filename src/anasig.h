// The analytic signal of every row of x, into y (which may be x): real part x, imaginary part
// its Hilbert transform. Exits 1 when memory or a plan cannot be had.
#pragma once

#include <fftw3.h>

int anasig(int rows, int cols, fftw_complex** x, fftw_complex** y);
