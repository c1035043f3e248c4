// Bands against a direct DFT with the band's gain written out from its definition, tones that a
// band keeps or drops whole, and the bits of a band with threads against one thread.
#include "bands.h"

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <complex>
#include <vector>

#include "anasig.h"
#include "extend.h"
#include "matrix.h"
#include "settings.h"
#include "test_util.h"

namespace {

using rows_t = std::vector<std::vector<double>>;
using lcomplex = std::complex<long double>;

// The gain by its definition: 1 on [lo, hi], raised-cosine edges of the given widths, 0 beyond.
long double gain(long double f, long double lo, long double hi, long double below,
                 long double above) {
  const long double pi = acosl(-1);
  if (f >= lo && f <= hi) return 1;
  if (f < lo) return f <= lo - below ? 0 : (1 + cosl(pi * (lo - f) / below)) / 2;
  return f >= hi + above ? 0 : (1 + cosl(pi * (f - hi) / above)) / 2;
}

struct spec_band {
  const char* arg;
  double lo, hi, below, above;  // the edges and the widths the band must have
};

// The band-passed analytic signal of x (padded to len with zeros), first x.size() samples.
std::vector<lcomplex> oracle(const std::vector<double>& x, size_t len, double interval,
                             const spec_band& b) {
  lcvec e(len, 0);
  std::copy(x.begin(), x.end(), e.begin());
  lcvec z = direct_dft(e, -1);
  for (size_t k = 0; k < len; ++k) {
    const long double one_sided = k == 0 || 2 * k == len ? 1 : 2 * k < len ? 2 : 0;
    const long double f = static_cast<long double>(k) / (len * interval);
    z[k] *= one_sided * gain(f, b.lo, b.hi, b.below, b.above);
  }
  lcvec back = direct_dft(z, 1);
  std::vector<lcomplex> out(x.size());
  for (size_t m = 0; m < x.size(); ++m) out[m] = back[m] / static_cast<long double>(len);
  return out;
}

// The signals of rows through the band path as the run calls it, one band after another.
struct banded {
  signal_matrix x, y, d;
  band_pass make;
  banded(const rows_t& rows, double interval, bool derivative = false) {
    const int r = int(rows.size()), c = int(rows[0].size());
    alloc_matrix(&x, r, c, "x %lu\n", "x %lu\n");
    alloc_matrix(&y, r, c, "y %lu\n", "y %lu\n");
    if (derivative) alloc_matrix(&d, r, c, "d %lu\n", "d %lu\n");
    for (int i = 0; i < r; ++i)
      for (int k = 0; k < c; ++k) x.rowp()[i][k][0] = rows[i][k], x.rowp()[i][k][1] = 0;
    quiet = 1;
    make = anasig_bands(r, c, x.rowp(), y.rowp(), derivative ? d.rowp() : nullptr, interval);
  }
};

band only(const char* arg) {
  bands.clear();
  add_bands(arg);
  band b = bands[0];
  bands.clear();
  return b;
}

}  // namespace

// Odd and even lengths, edges at 0 and at the Nyquist frequency, default and given widths,
// plain, padded and cut at gaps; the interval is 1/16, so the Nyquist frequency is 8.
TEST(Bands, MatchDirectDftWithTheGain) {
  const double dt = 0.0625;
  const spec_band cases[] = {
      {"0:3", 0, 3, 0, 2},             // a low-pass: no lower edge; upper max(3/4, 2)
      {"3:6", 3, 6, 2, 2},             // both max(x/4, 2); the upper capped at 8 - 6
      {"5:max", 5, 8, 2, 0},           // up to the Nyquist bin, kept whole
      {"2.5:7", 2.5, 7, 2, 1},         // the upper width capped at Nyquist - HI
      {"3:5:0.75", 3, 5, 0.75, 0.75},  // a given width on both sides
      {"1:7.5:4", 1, 7.5, 1, 0.5},     // a given width capped at LO and at Nyquist - HI
  };
  for (const spec_band& c : cases) {
    const band b = only(c.arg);
    for (int n : {15, 16, 31, 40}) {
      rows_t rows = random_signals(3, n, 5, 10 * n + 1);
      // Padded: the band applies at the padded length's frequencies.
      for (int mode : {PAD_NONE, PAD_ZERO}) {
        pad = mode;
        banded t(rows, dt);
        t.make(b);
        pad = PAD_NONE;
        const size_t len = mode == PAD_ZERO ? smooth_length(2 * n) : n;
        for (int i = 0; i < 3; ++i) {
          std::vector<lcomplex> want = oracle(rows[i], len, dt, c);
          for (int k = 0; k < n; ++k) {
            ASSERT_NEAR(t.y.rowp()[i][k][0], double(want[k].real()), 1e-11)
                << c.arg << " n=" << n << " pad " << mode << " row " << i << " k " << k;
            ASSERT_NEAR(t.y.rowp()[i][k][1], double(want[k].imag()), 1e-11)
                << c.arg << " n=" << n << " pad " << mode << " row " << i << " k " << k;
          }
        }
      }
    }
  }
  // With gaps each stretch is band-passed on its own; the gap stays NaN, for every band.
  rows_t rows = random_signals(1, 29, 5, 5);
  rows[0][11] = NAN;
  gaps = 1;
  banded t(rows, dt);
  for (const spec_band& c : {cases[0], cases[2]}) {
    t.make(only(c.arg));
    std::vector<double> first(rows[0].begin(), rows[0].begin() + 11),
        second(rows[0].begin() + 12, rows[0].end());
    std::vector<lcomplex> a = oracle(first, 11, dt, c), s = oracle(second, 17, dt, c);
    for (int k = 0; k < 29; ++k) {
      if (k == 11) {
        EXPECT_TRUE(isnan(t.y.rowp()[0][k][0]) && isnan(t.y.rowp()[0][k][1]));
        continue;
      }
      const lcomplex want = k < 11 ? a[k] : s[k - 12];
      EXPECT_NEAR(t.y.rowp()[0][k][0], double(want.real()), 1e-11) << c.arg << " " << k;
      EXPECT_NEAR(t.y.rowp()[0][k][1], double(want.imag()), 1e-11) << c.arg << " " << k;
    }
  }
  gaps = 0;
}

// Two tones 1 s long at 1 kHz: each band keeps one of them whole and drops the other, so its
// analytic signal is that tone's exp(i 2 pi f t) alone; the same spectrum serves both bands,
// and each band after the first, weighting anew only the bins whose weights changed, has the
// bits of that band alone.
TEST(Bands, EachBandKeepsOneToneExactly) {
  const double pi = acos(-1.0);
  std::vector<double> x(1000);
  for (int k = 0; k < 1000; ++k)
    x[k] = cos(2 * pi * 10 * k / 1000.0) + 3 * cos(2 * pi * 90 * k / 1000.0 + 1);
  // A silent second signal, whose zeros keep their signs.
  const rows_t two{x, std::vector<double>(1000, 0.0)};
  banded t(two, 0.001), td(two, 0.001, true);
  struct kept {
    const char* arg;
    double amp, freq, phase;
  };
  for (const kept& k : {kept{"5:20", 1, 10, 0}, kept{"5:30", 1, 10, 0}, kept{"60:120", 3, 90, 1},
                        kept{"8:12", 1, 10, 0}}) {
    t.make(only(k.arg));
    td.make(only(k.arg));
    banded alone(two, 0.001);
    alone.make(only(k.arg));
    EXPECT_EQ(memcmp(t.y.rowp()[0], alone.y.rowp()[0], sizeof(fftw_complex) * 2000), 0) << k.arg;
    // and with the derivative, whose weighting takes the same room in between
    EXPECT_EQ(memcmp(td.y.rowp()[0], alone.y.rowp()[0], sizeof(fftw_complex) * 2000), 0) << k.arg;
    for (int s = 0; s < 1000; ++s) {
      const double ph = 2 * pi * k.freq * s / 1000.0 + k.phase;
      ASSERT_NEAR(t.y.rowp()[0][s][0], k.amp * cos(ph), 1e-11) << k.arg << " " << s;
      ASSERT_NEAR(t.y.rowp()[0][s][1], k.amp * sin(ph), 1e-11) << k.arg << " " << s;
    }
  }
}

// Threads change nothing in a band's bits, plain or padded.
TEST(Bands, ThreadsGiveTheBitsOfOneThread) {
  const int saved = jobs;
  const band b = only("0.05:0.2:0.01");
  for (int mode : {PAD_NONE, PAD_ZERO}) {
    rows_t rows = random_signals(9, 4099, 5, 21);
    pad = mode;
    jobs = 1;
    banded one(rows, 1);
    one.make(b);
    jobs = 3;
    banded three(rows, 1);
    three.make(b);
    pad = PAD_NONE;
    EXPECT_EQ(memcmp(one.y.rowp()[0], three.y.rowp()[0], sizeof(fftw_complex) * 9 * 4099), 0);
  }
  jobs = saved;
}
