// The transform against a direct DFT of the analytic signal.
#include "anasig.h"

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <complex>
#include <random>
#include <vector>

#include "alloc.h"
#include "fft_threads.h"
#include "loading.h"
#include "settings.h"
#include "test_util.h"

namespace {

struct matrices {
  signal_matrix x, y;
  matrices(const std::vector<std::vector<double>>& rows) {
    int r = int(rows.size()), c = int(rows[0].size());
    alloc_matrix(&x, r, c, "Couldn't malloc x(%lu bytes).\n",
                 "Couldn't fftw_malloc x[0](%lu bytes).\n");
    alloc_matrix(&y, r, c, "Couldn't malloc y(%lu bytes).\n",
                 "Couldn't fftw_malloc y[0](%lu bytes).\n");
    for (int i = 0; i < r; ++i)
      for (int k = 0; k < c; ++k) {
        x.rowp()[i][k][0] = rows[i][k];
        x.rowp()[i][k][1] = 0;
      }
    quiet = 1;
    anasig(r, c, x.rowp(), y.rowp());
  }
};

}  // namespace

TEST(Anasig, MatchesDirectDftForManyShapes) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-10, 10);
  for (int cols : {1, 2, 3, 4, 5, 6, 7, 8, 13, 16, 31, 64, 97, 100}) {
    for (int nrows : {1, 3, 8}) {
      std::vector<std::vector<double>> rows(nrows, std::vector<double>(cols));
      for (auto& r : rows)
        for (double& v : r) v = u(rng);
      matrices m(rows);
      for (int i = 0; i < nrows; ++i) {
        std::vector<std::complex<double>> want = analytic_oracle(rows[i]);
        for (int k = 0; k < cols; ++k) {
          // The real part must come back as the input; the imaginary part is the Hilbert transform.
          EXPECT_NEAR(m.y.rowp()[i][k][0], rows[i][k], 1e-11) << cols << " " << i << " " << k;
          EXPECT_NEAR(m.y.rowp()[i][k][1], want[k].imag(), 1e-9) << cols << " " << i << " " << k;
          EXPECT_EQ(m.x.rowp()[i][k][0], rows[i][k]);  // input left alone
        }
      }
    }
  }
}

TEST(Anasig, KnownPairs) {
  const double pi = acos(-1.0);
  // cos -> sin for an integral number of periods, and a constant has no Hilbert part.
  std::vector<double> c8(8), s8(8), dc(5, 3.5);
  for (int t = 0; t < 8; ++t) c8[t] = cos(2 * pi * 2 * t / 8), s8[t] = sin(2 * pi * 2 * t / 8);
  matrices m({c8, std::vector<double>(8, -2)});
  for (int t = 0; t < 8; ++t) {
    EXPECT_NEAR(m.y.rowp()[0][t][1], s8[t], 1e-14);
    EXPECT_NEAR(m.y.rowp()[1][t][0], -2, 1e-14);
    EXPECT_NEAR(m.y.rowp()[1][t][1], 0, 1e-14);
  }
  matrices d(std::vector<std::vector<double>>{dc});
  for (int t = 0; t < 5; ++t) EXPECT_NEAR(d.y.rowp()[0][t][1], 0, 1e-14);
  // One and two samples come back unchanged.
  matrices one(std::vector<std::vector<double>>{{4.25}});
  EXPECT_EQ(one.y.rowp()[0][0][0], 4.25);
  EXPECT_EQ(one.y.rowp()[0][0][1], 0);
  matrices two(std::vector<std::vector<double>>{{1, 5}});
  EXPECT_NEAR(two.y.rowp()[0][1][0], 5, 1e-15);
  EXPECT_NEAR(two.y.rowp()[0][1][1], 0, 1e-15);
  // 1 2 3 4 -> 1+1i 2-1i 3-1i 4+1i
  matrices f(std::vector<std::vector<double>>{{1, 2, 3, 4}});
  const double im[] = {1, -1, -1, 1};
  for (int t = 0; t < 4; ++t) EXPECT_NEAR(f.y.rowp()[0][t][1], im[t], 1e-15);
}

TEST(Anasig, RowsAreIndependent) {
  std::vector<double> a = {3, -1, 4, 1, -5, 9, 2}, b = {0, 0, 0, 0, 0, 0, 1e6};
  matrices alone(std::vector<std::vector<double>>{a});
  matrices together({b, a, b});
  for (int t = 0; t < 7; ++t) {
    EXPECT_NEAR(alone.y.rowp()[0][t][0], together.y.rowp()[1][t][0], 1e-12);
    EXPECT_NEAR(alone.y.rowp()[0][t][1], together.y.rowp()[1][t][1], 1e-12);
  }
}

// With threads the FFT runs on slices of the signals; every bit of the result is still that of
// the one batched transform on one thread.
TEST(Anasig, ThreadsGiveTheBitsOfOneThread) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-10, 10);
  const int saved = jobs;
  for (auto [rows, cols] : {std::pair{4, 1024}, {5, 4099}, {7, 65536}, {16, 8192}, {33, 1031}}) {
    SCOPED_TRACE(std::to_string(rows) + " x " + std::to_string(cols));
    std::vector<std::vector<double>> x(rows, std::vector<double>(cols));
    for (auto& r : x)
      for (double& v : r) v = u(rng);
    jobs = 1;
    matrices one(x);
    jobs = 3;
    matrices three(x);
    EXPECT_EQ(memcmp(one.y.rowp()[0], three.y.rowp()[0], sizeof(fftw_complex) * rows * cols), 0);
  }
  jobs = saved;
}

// A threaded plan is taken only where it does the serial plan's steps: its loops split between
// threads merged back, and its copies and transposes, which compute nothing, taken as one.
TEST(Anasig, LongTransformsOnThreadsOnlyWithTheSerialSteps) {
  const char* serial =
      "(dft-ct-dit/32 (dftw-direct-32/16 \"t3fv_32_avx\") (dft-indirect-before"
      " (dft-vrank>=1-x32/1 (dft-direct-128-x32 \"n1fv_128_avx\"))"
      " (dft-r2hc-1 (rdft-rank0-ip-sq-tiledbuf/2-x32-x128))))";
  const std::string split =
      "(dft-thr-ct-dit-x2/32 (dftw-direct-32/16 \"t3fv_32_avx\")"
      " (dftw-direct-32/16 \"t3fv_32_avx\") (dft-indirect-before (dft-thr-vrank>=1-x2/1"
      " (dft-vrank>=1-x16/1 (dft-direct-128-x32 \"n1fv_128_avx\"))"
      " (dft-vrank>=1-x16/1 (dft-direct-128-x32 \"n1fv_128_avx\")))"
      " (dft-r2hc-1 (rdft-thr-vrank>=1-x2/1 (rdft-rank0-ip-sq-tiledbuf/1-x16-x128)"
      " (rdft-rank0-ip-sq-tiledbuf/1-x16-x128)))))";
  EXPECT_TRUE(same_steps(serial, split.c_str()));
  auto changed = [&](const char* from, const char* to) {
    std::string t = split;
    t.replace(t.rfind(from), strlen(from), to);
    return same_steps(serial, t.c_str());
  };
  EXPECT_FALSE(changed("32_avx", "32_sse2"));  // one thread's twiddles by another codelet
  EXPECT_FALSE(changed("x16/1", "x15/1"));     // loops that do not add up
  EXPECT_FALSE(changed("128-x32", "64-x32"));  // one thread's transforms of another kind
  EXPECT_FALSE(changed("thr-ct-dit-x2/32", "thr-ct-dif-x2/32"));
  EXPECT_FALSE(same_steps(serial, split.substr(0, 40).c_str()));

  // FFTW's own threaded plans, some taking other steps than the serial ones (and giving other
  // bits): whatever is taken computes the serial bits.
  threaded_planning_begin();
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(-1e5, 1e5);
  struct shape {
    int len;
    bool in_place;
    int threads;
  };
  for (shape c : {shape{65536, false, 3},
                  {105944, false, 2},
                  {131072, false, 2},
                  {275275, true, 2},
                  {262144, true, 3},
                  {2000376, true, 2},
                  {2000376, false, 2}}) {
    SCOPED_TRACE(std::to_string(c.len) + (c.in_place ? " in place on " : " on ") +
                 std::to_string(c.threads));
    const size_t bytes = sizeof(fftw_complex) * c.len;
    fftw_block blocks[4] = {alloc_complex(c.len, "%lu"), alloc_complex(c.len, "%lu"),
                            alloc_complex(c.len, "%lu"), alloc_complex(c.len, "%lu")};
    fftw_complex* in[2] = {blocks[0].get(), blocks[1].get()};
    fftw_complex* out[2] = {c.in_place ? in[0] : blocks[2].get(),
                            c.in_place ? in[1] : blocks[3].get()};
    plan_ptr one = make_plan(1, c.len, in[0], out[0], FFTW_FORWARD);
    plan_ptr many = make_plan_on_threads(1, c.len, in[1], out[1], FFTW_FORWARD, c.threads);
    for (int k = 0; k < c.len; ++k) in[0][k][0] = u(rng), in[0][k][1] = u(rng);
    memcpy(in[1], in[0], bytes);
    fftw_execute(one.get());
    fftw_execute(many.get());
    EXPECT_EQ(memcmp(out[0], out[1], bytes), 0);
  }
}
