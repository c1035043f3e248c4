#include "derivative.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <limits>

#include "fatal.h"
#include "parallel.h"
#include "settings.h"

int freq_method = FREQ_DIFFERENCE;

namespace {
constexpr double kTwoPi = 6.28318530717958647692;
}

void set_freq_method(const char* value) {
  if (strcmp(value, "difference") == 0) {
    freq_method = FREQ_DIFFERENCE;
  } else if (strcmp(value, "derivative") == 0) {
    freq_method = FREQ_DERIVATIVE;
  } else {
    fatal("--freq-method takes difference or derivative\n");
  }
}

bool derivative_wanted() {
  return freq_method == FREQ_DERIVATIVE && output_freq;
}

void derivative_weights(double* h, long long len, double interval) {
  const double step = kTwoPi / (static_cast<double>(len) * interval);
  for (long long k = 0; k < len; ++k) h[k] *= 2 * k < len ? static_cast<double>(k) * step : 0;
}

void derivative_frequency(fftw_complex** y, fftw_complex** dz, int rows, int cols, int cycles,
                          int threads) {
  const long long n = static_cast<long long>(rows) * cols;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  parallel_for(n, threads_for_values(n, threads), [&](long long first, long long last) {
    for (long long j = first; j < last;) {
      const fftw_complex* z = y[j / cols];
      fftw_complex* d = dz[j / cols];
      for (long long k = j % cols; k < cols && j < last; ++k, ++j) {
        // Scaled by the larger part, so that neither tiny nor huge values over- or underflow.
        const double s = std::max(fabs(z[k][0]), fabs(z[k][1]));
        if (!(s > 0) || !isfinite(s)) {
          d[k][0] = nan;
          continue;
        }
        const double re = z[k][0] / s, im = z[k][1] / s;
        const double f = (re * d[k][1] - im * d[k][0]) / ((re * re + im * im) * s);
        d[k][0] = cycles ? f / kTwoPi : f;
      }
    }
  });
}

void take_derivative_frequency(fftw_complex** y, fftw_complex** dz, int rows, int cols,
                               int threads) {
  parallel_for(rows, threads_for_values(static_cast<long long>(rows) * cols, threads),
               [&](long long first, long long last) {
                 for (long long i = first; i < last; ++i)
                   for (int k = 0; k < cols; ++k) y[i][k][1] = dz[i][k][0];
               });
}
