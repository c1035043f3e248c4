// Padding and gaps against a direct DFT of the extended signal, in long double.
#include "extend.h"

#include <gtest/gtest.h>
#include <math.h>

#include <complex>
#include <vector>

#include "anasig.h"
#include "loading.h"
#include "settings.h"
#include "test_util.h"

namespace {

using lcomplex = std::complex<long double>;
using rows_t = std::vector<std::vector<double>>;

// The smallest 2,3,5,7-smooth number >= n, by listing the products of powers.
long long smooth_by_listing(long long n) {
  long long best = LLONG_MAX;
  for (long long a = 1; a < 4 * n + 8; a *= 2)
    for (long long b = a; b < 4 * n + 8; b *= 3)
      for (long long c = b; c < 4 * n + 8; c *= 5)
        for (long long d = c; d < 4 * n + 8; d *= 7)
          if (d >= n && d < best) best = d;
  return best;
}

// Analytic signal of x padded as asked, by DFT, one-sided weights and inverse DFT; first n kept.
std::vector<lcomplex> oracle(const std::vector<double>& x, int mode) {
  std::vector<double> e(x);
  if (mode == PAD_ZERO) e.resize(smooth_by_listing(2 * x.size()), 0);
  if (mode == PAD_MIRROR) {
    // Up to the fast length: half of the added samples the end backwards (the larger half of
    // an odd count), then the start backwards, so the copy meets the record's start again.
    const size_t added = smooth_by_listing(2 * x.size()) - x.size();
    const size_t from_end = (added + 1) / 2;
    e.insert(e.end(), x.rbegin(), x.rbegin() + from_end);
    e.insert(e.end(), x.rend() - (added - from_end), x.rend());
  }
  const std::vector<std::complex<double>> z = analytic_oracle(e);
  return std::vector<lcomplex>(z.begin(), z.begin() + x.size());
}

// The transform of rows under the given settings, through anasig() as the run calls it.
struct result {
  signal_matrix x, y;
  result(const rows_t& rows, int mode, int with_gaps) {
    int r = int(rows.size()), c = int(rows[0].size());
    alloc_matrix(&x, r, c, "x %lu\n", "x %lu\n");
    alloc_matrix(&y, r, c, "y %lu\n", "y %lu\n");
    for (int i = 0; i < r; ++i)
      for (int k = 0; k < c; ++k) x.rowp()[i][k][0] = rows[i][k], x.rowp()[i][k][1] = 0;
    quiet = 1;
    pad = mode;
    gaps = with_gaps;
    anasig(r, c, x.rowp(), y.rowp());
    pad = PAD_NONE;
    gaps = 0;
  }
  fftw_complex& at(int i, int k) { return y.rowp()[i][k]; }
};

// Samples [start, start + len) of row i must be the padded transform of exactly those samples.
void expect_run(result& r, const std::vector<double>& row, int i, int start, int len, int mode) {
  std::vector<double> part(row.begin() + start, row.begin() + start + len);
  std::vector<lcomplex> want = oracle(part, mode);
  double scale = 1;
  for (double v : part) scale = std::max(scale, fabs(v));
  for (int k = 0; k < len; ++k) {
    EXPECT_NEAR(r.at(i, start + k)[0], double(want[k].real()), 1e-11 * scale)
        << "pad " << mode << " row " << i << " sample " << start + k << " of " << len;
    EXPECT_NEAR(r.at(i, start + k)[1], double(want[k].imag()), 1e-11 * scale)
        << "pad " << mode << " row " << i << " sample " << start + k << " of " << len;
  }
}

}  // namespace

TEST(Extend, SmoothLengths) {
  for (long long n = 1; n < 3000; ++n) {
    ASSERT_EQ(smooth_length(n), smooth_by_listing(n)) << n;
    // Both paddings extend to a fast length, a prime one included.
    ASSERT_EQ(extended_length(n, PAD_MIRROR), smooth_by_listing(2 * n)) << n;
    ASSERT_EQ(extended_length(n, PAD_ZERO), smooth_by_listing(2 * n)) << n;
  }
  EXPECT_EQ(extended_length(1000003, PAD_MIRROR), 2000376);
}

TEST(Extend, PaddedSignalsMatchDirectDft) {
  for (int mode : {PAD_ZERO, PAD_MIRROR, PAD_NONE})
    for (int n : {1, 2, 3, 7, 8, 11, 13, 16, 31, 50, 97})
      for (int nrows : {1, 4}) {
        rows_t rows = random_signals(nrows, n, 50, 100 * n + nrows);
        // The gap path with no gap in it must agree too.
        for (int with_gaps : {0, 1}) {
          if (mode == PAD_NONE && !with_gaps) continue;
          result r(rows, mode, with_gaps);
          for (int i = 0; i < nrows; ++i) expect_run(r, rows[i], i, 0, n, mode);
        }
      }
}

TEST(Extend, GapsSplitRunsCutByHand) {
  const double nan = NAN, inf = INFINITY;
  rows_t rows = random_signals(5, 17, 50, 3);
  // Gaps at the start, inside (one and several samples), at the end; a clean row; an empty one.
  rows[0][5] = nan, rows[0][9] = inf, rows[0][10] = -inf, rows[0][16] = nan;
  rows[1][0] = rows[1][1] = nan, rows[1][15] = inf;
  for (double& v : rows[3]) v = nan;
  rows[4][8] = nan;
  struct cut {
    int row, start, len;
  };
  const cut runs[] = {{0, 0, 5},  {0, 6, 3},  {0, 11, 5}, {1, 2, 13},
                      {1, 16, 1}, {2, 0, 17}, {4, 0, 8},  {4, 9, 8}};
  for (int mode : {PAD_NONE, PAD_ZERO, PAD_MIRROR}) {
    result r(rows, mode, 1);
    for (const cut& c : runs) expect_run(r, rows[c.row], c.row, c.start, c.len, mode);
    for (int i = 0; i < 5; ++i)
      for (int k = 0; k < 17; ++k)
        if (!isfinite(rows[i][k])) {
          EXPECT_TRUE(isnan(r.at(i, k)[0]) && isnan(r.at(i, k)[1]));
        }
  }
  // Without gaps one NaN spoils its whole signal and no other.
  result whole(rows, PAD_ZERO, 0);
  for (int k = 0; k < 17; ++k) EXPECT_TRUE(isnan(whole.at(4, k)[1]));
  expect_run(whole, rows[2], 2, 0, 17, PAD_ZERO);
}

// Signals long enough to be taken in batches of two: each agrees with itself transformed alone.
// On threads: a signal alone is the only batch, planned while it is filled in, and weighed and
// scaled on all threads; batched, each worker keeps its batches to itself.
TEST(Extend, BatchesKeepTheirSignalsApart) {
  const int saved = jobs;
  jobs = 3;
  const int n = 1 << 20;
  rows_t rows = random_signals(3, n, 50, 9);
  result batched(rows, PAD_MIRROR, 0);
  for (int i = 0; i < 3; ++i) {
    result alone(rows_t{rows[i]}, PAD_MIRROR, 0);
    for (int k = 0; k < n; k += 997) {
      ASSERT_NEAR(batched.at(i, k)[0], rows[i][k], 1e-9);
      ASSERT_NEAR(alone.at(0, k)[0], rows[i][k], 1e-9);
      ASSERT_NEAR(batched.at(i, k)[1], alone.at(0, k)[1], 1e-9) << i << " " << k;
    }
  }
  jobs = saved;
}
