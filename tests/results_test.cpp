// The single-result writers run the result stage's own code: the phase and frequency of
// e^(i w k) without wraps, and the caller's matrix left as it was.
#include "results.h"

#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>

#include <string>

#include "matrix.h"
#include "settings.h"
#include "test_util.h"

TEST(Results, PhaseWritersLeaveTheirMatrix) {
  const int n = 6;
  const double w = 0.5;  // every step well inside (-pi, pi]: no wrap in n samples
  signal_matrix y;
  alloc_matrix(&y, 1, n, "%lu", "%lu");
  for (int k = 0; k < n; ++k) y.rowp()[0][k][0] = cos(w * k), y.rowp()[0][k][1] = sin(w * k);
  temp_dir d;
  quiet = 1;
  tstep = 0.25;
  output_thet((d / "s.hth").c_str(), y.rowp(), 1, n);
  output_frequency((d / "s.hfq").c_str(), y.rowp(), 1, n);
  tstep = 1;
  FILE* th = fopen((d / "s.hth").c_str(), "r");
  FILE* fq = fopen((d / "s.hfq").c_str(), "r");
  ASSERT_TRUE(th && fq);
  for (int k = 0; k < n; ++k) {
    double t = 0, f = 0;
    ASSERT_EQ(fscanf(th, "%lg", &t), 1);
    ASSERT_EQ(fscanf(fq, "%lg", &f), 1);
    EXPECT_NEAR(t, w * k, 1e-10) << k;
    EXPECT_NEAR(f, k == 0 ? 0 : w / 0.25, 1e-9) << k;
    EXPECT_EQ(y.rowp()[0][k][0], cos(w * k));
    EXPECT_EQ(y.rowp()[0][k][1], sin(w * k));
  }
  fclose(th);
  fclose(fq);
}
