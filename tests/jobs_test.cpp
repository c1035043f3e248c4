// Threads change nothing but the time: every byte written with many threads is the byte written
// with one.
#include <gtest/gtest.h>
#include <math.h>

#include <random>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

TEST(Jobs, ManyThreadsWriteTheBytesOfOne) {
  struct shape_case {
    int lines, values;  // of the input file
    std::vector<std::string> options;
  };
  const shape_case cases[] = {
      {1, 200003, {"-i", "0.001"}},  // one long signal, a prime length
      // the inverse plans made while the forward transform runs, the derivative's among them
      {3, 100003, {"--data-in-rows", "-i", "0.001", "--freq-method=derivative"}},
      // and at lengths whose transforms FFTW splits between threads, padded or not
      {1, 1 << 20, {"-i", "0.001", "--freq-method=derivative"}},
      {526853, 1, {"--pad=mirror", "--freq-method=derivative"}},
      {2500, 61, {"--none", "--theta", "--freq"}},  // many short signals in columns
      {61, 2500, {"--data-in-rows", "--no-re", "-f", "7"}},
      {40000, 5, {"-i", "nan", "--no-im"}},
      {3001, 97, {"--quiet"}},
  };
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1000, 1000);
  for (const shape_case& c : cases) {
    SCOPED_TRACE(std::to_string(c.lines) + " x " + std::to_string(c.values));
    std::string text;
    char b[40];
    for (int l = 0; l < c.lines; ++l) {
      for (int v = 0; v < c.values; ++v) {
        double x = u(rng);
        // Zeros, tiny and huge values exercise every branch of the formatter and the envelope.
        if (v % 11 == 3) x = 0;
        if (v % 13 == 5) x *= 1e-300;
        if (v % 17 == 7) x *= 1e300;
        snprintf(b, sizeof b, v ? " %.17g" : "%.17g", x);
        text += b;
      }
      text += '\n';
    }
    temp_dir one, many;
    write_file(one / "s.txt", text);
    write_file(many / "s.txt", text);
    std::vector<std::string> a = {"anasig", "--jobs=1"}, b4 = {"anasig", "--jobs", "4"};
    a.insert(a.end(), c.options.begin(), c.options.end());
    b4.insert(b4.end(), c.options.begin(), c.options.end());
    a.push_back("s.txt");
    b4.push_back("s.txt");
    run_result r1 = run_anasig(one.path, a), r4 = run_anasig(many.path, b4);
    EXPECT_EQ(r1.status, 0);
    EXPECT_EQ(r4.status, r1.status);
    EXPECT_EQ(r4.out, r1.out);
    EXPECT_EQ(r4.err, r1.err);
    for (const char* e : kExts) {
      EXPECT_EQ(file_exists(one / "s" + e), file_exists(many / "s" + e)) << e;
      EXPECT_TRUE(read_text(one / "s" + e) == read_text(many / "s" + e)) << e;
    }
  }
}

}  // namespace
