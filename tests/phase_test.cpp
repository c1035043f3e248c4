// Phase and frequency against a plain unwrap: multiples of 2 pi added until no jump exceeds pi.
#include "phase.h"

#include <gtest/gtest.h>
#include <math.h>

#include <random>
#include <vector>

namespace {

const double kPi = acos(-1.0);

std::vector<double> plain_unwrap(std::vector<double> phi) {
  for (size_t k = 1; k < phi.size(); ++k) {
    while (phi[k] - phi[k - 1] > kPi) phi[k] -= 2 * kPi;
    while (phi[k] - phi[k - 1] <= -kPi) phi[k] += 2 * kPi;
  }
  return phi;
}

// Angles of a tone whose frequency wanders, wrapped into [-pi, pi] as atan2 gives them.
std::vector<double> angles(int n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> step(-3.1, 3.1);
  std::vector<double> phi(n);
  double p = step(rng);
  for (double& v : phi) v = atan2(sin(p), cos(p)), p += step(rng);
  return phi;
}

// theta and frequency of the n samples of one signal from their angles; either may be null.
void phase_signal(const phase_options& o, const double* phi, int n, double* theta, double* freq) {
  phase_track t;
  for (int k = 0; k < n; ++k) {
    double th, f;
    phase_step(o, &t, phi[k], &th, &f);
    if (theta != nullptr) theta[k] = th;
    if (freq != nullptr) freq[k] = f;
  }
}

}  // namespace

TEST(Phase, UnwrapAndCyclesMatchPlainUnwrap) {
  for (int n : {1, 2, 7, 64, 97, 5000})
    for (int cyc : {0, 1})
      for (double dt : {1.0, 0.125}) {
        std::vector<double> phi = angles(n, n), theta(n), freq(n);
        phase_signal({1, cyc, 0, dt}, phi.data(), n, theta.data(), freq.data());
        std::vector<double> want = plain_unwrap(phi);
        for (int k = 0; k < n; ++k) {
          double f = k == 0 ? 0 : (want[k] - want[k - 1]) / dt / (cyc ? 2 * kPi : 1);
          ASSERT_NEAR(theta[k], want[k], 1e-9 * (1 + fabs(want[k]))) << n << " " << k;
          ASSERT_NEAR(freq[k], f, 1e-9 * (1 + fabs(f))) << n << " " << k;
        }
      }
}

TEST(Phase, WithoutOptionsTheOldFormulaBitForBit) {
  std::vector<double> phi = angles(300, 1), theta(300), freq(300);
  for (double dt : {1.0, 0.001, -3.0, double(NAN)}) {
    for (int cyc : {0, 1}) {
      phase_signal({0, cyc, 0, dt}, phi.data(), 300, theta.data(), freq.data());
      EXPECT_EQ(freq[0], 0);
      for (int k = 1; k < 300; ++k) {
        ASSERT_EQ(theta[k], phi[k]);
        double f = (phi[k] - phi[k - 1]) / dt;
        if (cyc) f /= 2 * kPi;
        ASSERT_TRUE(f == freq[k] || (isnan(f) && isnan(freq[k]))) << k;
      }
    }
  }
}

TEST(Phase, GapsRestartEachRun) {
  std::vector<double> phi = angles(20, 5);
  for (int k : {0, 6, 7, 19}) phi[k] = NAN;
  // The runs, cut by hand: 1-5, 8-18.
  for (int unwrap : {0, 1}) {
    std::vector<double> theta(20), freq(20);
    phase_signal({unwrap, 0, 1, 0.5}, phi.data(), 20, theta.data(), freq.data());
    for (int k : {0, 6, 7, 19}) EXPECT_TRUE(isnan(theta[k]) && isnan(freq[k])) << k;
    for (auto [start, end] : {std::pair{1, 6}, std::pair{8, 19}}) {
      std::vector<double> run(phi.begin() + start, phi.begin() + end);
      std::vector<double> want = unwrap ? plain_unwrap(run) : run;
      for (int k = start; k < end; ++k) {
        int j = k - start;
        double f = j == 0 ? 0 : (unwrap ? want[j] - want[j - 1] : run[j] - run[j - 1]) / 0.5;
        EXPECT_NEAR(theta[k], want[j], 1e-12) << k;
        EXPECT_NEAR(freq[k], f, 1e-12) << k;
      }
    }
  }
  // Without gaps a NaN angle makes its frequencies NaN and nothing restarts.
  std::vector<double> freq(20);
  phase_signal({0, 0, 0, 1}, phi.data(), 20, nullptr, freq.data());
  EXPECT_EQ(freq[0], 0);
  EXPECT_TRUE(isnan(freq[1]) && isnan(freq[8]));
}

// Hand-worked samples, with steps of exactly half a turn, which count as +pi.
TEST(Phase, RowsOfTheResultMatrixInPlace) {
  const double a = atan(0.001);
  fftw_complex y[3][3] = {
      {{1, 0}, {0, 1}, {-1, -0.001}}, {{-1, 0}, {0, -1}, {1, 0}}, {{1, 0}, {-1, 0}, {1, 0}}};
  fftw_complex* rows[3] = {y[0], y[1], y[2]};
  phase_rows({1, 1, 0, 0.25}, rows, 3, 3, 1);
  // (theta, cycles per time unit) at interval 0.25
  const double want[3][3][2] = {{{0, 0}, {kPi / 2, 1}, {kPi + a, 2 * (kPi / 2 + a) / kPi}},
                                {{kPi, 0}, {3 * kPi / 2, 1}, {2 * kPi, 1}},
                                {{0, 0}, {kPi, 2}, {2 * kPi, 2}}};
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(y[i][k][0], want[i][k][0], 1e-12) << i << k;
      EXPECT_NEAR(y[i][k][1], want[i][k][1], 1e-12) << i << k;
    }
}

// One long signal is cut into pieces for the threads: every sample, those on either side of a
// cut and NaNs beside one included, is what the formula gives, with any number of threads.
TEST(Phase, LongSignalInPiecesMatchesTheFormula) {
  const int n = 200000;
  const int nans[] = {65535, 131072, 131073, 196607};
  for (int gaps : {0, 1}) {
    for (int threads : {1, 2, 7}) {
      std::vector<double> phi = angles(n, 7);
      for (int k : nans) phi[k] = NAN;
      std::vector<fftw_complex> y(n);
      for (int k = 0; k < n; ++k) y[k][0] = cos(phi[k]), y[k][1] = sin(phi[k]);
      for (int k : nans) y[k][0] = y[k][1] = NAN;
      fftw_complex* row = y.data();
      const phase_options o{0, 1, gaps, 0.5};
      std::vector<double> angle(n);
      for (int k = 0; k < n; ++k) angle[k] = atan2(y[k][1], y[k][0]);
      phase_rows(o, &row, 1, n, threads);
      for (int k = 0; k < n; ++k) {
        const bool first = k == 0 || (gaps && std::isnan(angle[k - 1]));
        double f = first ? 0 : (angle[k] - angle[k - 1]) / 0.5 / (2 * kPi);
        if (gaps && std::isnan(angle[k])) f = NAN;
        ASSERT_EQ(std::isnan(y[k][0]), std::isnan(angle[k])) << k;
        ASSERT_EQ(std::isnan(y[k][1]), std::isnan(f)) << gaps << " " << threads << " " << k;
        if (!std::isnan(angle[k])) {
          ASSERT_EQ(y[k][0], angle[k]) << k;
        }
        if (!std::isnan(f)) {
          ASSERT_EQ(y[k][1], f) << gaps << " " << threads << " " << k;
        }
      }
    }
  }
}
