// The instantaneous frequency from the spectral derivative: the weights whose inverse
// transform is z', and Im(conj(z) z') / |z|^2 at every sample, centred on it.
#pragma once

#include <fftw3.h>

enum { FREQ_DIFFERENCE = 0, FREQ_DERIVATIVE };
extern int freq_method;  // FREQ_*: how ".hfq" is computed

// Sets freq_method from a --freq-method value; anything else ends the run.
void set_freq_method(const char* value);
// Whether the run computes z' (the derivative method, and ".hfq" written).
bool derivative_wanted();

// Multiplies the weights h[0 .. len-1] of a spectrum of samples interval apart by 2 pi times
// each positive bin's frequency k / (len * interval), the Nyquist bin and the negative ones by
// 0, so that the weighted bins times i transform back into the derivative of the analytic signal.
void derivative_weights(double* h, long long len, double interval);

// For every sample, the frequency Im(conj(z) z') / |z|^2 of the analytic signal z in y and its
// derivative z' in dz, in radians per time unit (cycles with `cycles`), into dz[i][k][0]; NaN
// where |z| is 0 or z is not finite.
void derivative_frequency(fftw_complex** y, fftw_complex** dz, int rows, int cols, int cycles,
                          int threads);
// The frequencies derivative_frequency left in dz put in place of those in y's imaginary parts.
void take_derivative_frequency(fftw_complex** y, fftw_complex** dz, int rows, int cols,
                               int threads);
