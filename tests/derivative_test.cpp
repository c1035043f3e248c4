// The frequency by the spectral derivative against closed forms: a tone periodic in the record
// at every sample, a chirp away from the ends, and NaN where the envelope is 0.
#include "derivative.h"

#include <gtest/gtest.h>
#include <math.h>

#include <string>
#include <vector>

#include "anasig.h"
#include "bands.h"
#include "matrix.h"
#include "settings.h"
#include "test_util.h"

namespace {

const double kPi = acos(-1.0);

// The frequency of every sample of x (one signal, samples dt apart), in radians per time unit
// (cycles with `in_cycles`), plain, padded, or band-passed by `band_arg`.
std::vector<double> frequency(const std::vector<double>& x, double dt, int mode = PAD_NONE,
                              const char* band_arg = nullptr, int in_cycles = 0) {
  const int n = int(x.size());
  signal_matrix in, y, d;
  alloc_matrix(&in, 1, n, "x %lu\n", "x %lu\n");
  alloc_matrix(&y, 1, n, "y %lu\n", "y %lu\n");
  alloc_matrix(&d, 1, n, "d %lu\n", "d %lu\n");
  for (int k = 0; k < n; ++k) in.rowp()[0][k][0] = x[k], in.rowp()[0][k][1] = 0;
  quiet = 1;
  pad = mode;
  // As the tool runs them: without bands the analytic signal is written over the samples.
  fftw_complex** out = band_arg == nullptr ? in.rowp() : y.rowp();
  if (band_arg == nullptr) {
    anasig(1, n, in.rowp(), out, d.rowp(), dt);
  } else {
    bands.clear();
    add_bands(band_arg);
    anasig_bands(1, n, in.rowp(), y.rowp(), d.rowp(), dt)(bands[0]);
    bands.clear();
  }
  pad = PAD_NONE;
  derivative_frequency(out, d.rowp(), 1, n, in_cycles, 1);
  std::vector<double> f(n);
  for (int k = 0; k < n; ++k) f[k] = d.rowp()[0][k][0];
  return f;
}

}  // namespace

// A tone with a whole number of periods: its frequency at every sample, the first included,
// for odd and even lengths, in radians and in cycles, and through a band that keeps it.
TEST(Derivative, PeriodicToneAtEverySample) {
  for (int n : {63, 64, 1000}) {
    const double dt = 0.004, cyc = 7 / (n * dt);  // 7 periods in the record
    std::vector<double> x(n);
    for (int k = 0; k < n; ++k) x[k] = 2.5 * cos(2 * kPi * cyc * k * dt + 0.3);
    const std::vector<double> rad = frequency(x, dt), hz = frequency(x, dt, PAD_NONE, nullptr, 1);
    // A band from half the tone's frequency up keeps it whole.
    const std::string arg = std::to_string(cyc / 2) + ":max";
    const std::vector<double> banded = frequency(x, dt, PAD_NONE, arg.c_str(), 1);
    for (int k = 0; k < n; ++k) {
      ASSERT_NEAR(rad[k], 2 * kPi * cyc, 1e-9 * cyc) << n << " " << k;
      ASSERT_NEAR(hz[k], cyc, 1e-10 * cyc) << n << " " << k;
      ASSERT_NEAR(banded[k], cyc, 1e-10 * cyc) << n << " " << k;
    }
  }
}

// A linear chirp from 20 to 120 Hz over 2 s at 1 kHz: 20 + 50 t Hz away from both ends, with
// and without padding.
TEST(Derivative, ChirpAgainstItsClosedForm) {
  const int n = 2000;
  const double dt = 0.001;
  std::vector<double> x(n);
  for (int k = 0; k < n; ++k) {
    const double t = k * dt;
    x[k] = cos(2 * kPi * (20 * t + 25 * t * t));
  }
  for (int mode : {PAD_NONE, PAD_ZERO, PAD_MIRROR}) {
    const std::vector<double> f = frequency(x, dt, mode, nullptr, 1);
    for (int k = 200; k < n - 200; ++k)
      ASSERT_NEAR(f[k], 20 + 50 * k * dt, 0.5) << mode << " " << k;
  }
}

// Where the analytic signal is 0 the frequency is NaN, not 0 or a division by 0.
TEST(Derivative, NanWhereTheEnvelopeIsZero) {
  const std::vector<double> f = frequency(std::vector<double>(16, 0), 1);
  for (double v : f) EXPECT_TRUE(isnan(v));
}
