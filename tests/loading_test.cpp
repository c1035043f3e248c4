// The two readers: placement of values, groups of eight, and text of another shape.
#include "loading.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common.h"
#include "matrix.h"
#include "settings.h"
#include "test_util.h"

namespace {

struct loaded {
  signal_matrix x;
  int status;
  std::vector<double> re(int i, int cols) const {
    std::vector<double> v;
    for (int k = 0; k < cols; ++k) v.push_back(x.rowp()[i][k][0]);
    return v;
  }
};

// Reads text into a rows x cols matrix whose values start out as a marker.
loaded read(const std::string& text, int rows, int cols, reader_fn reader) {
  loaded l;
  alloc_matrix(&l.x, rows, cols, "Couldn't malloc x(%lu bytes).\n",
               "Couldn't fftw_malloc x[0](%lu bytes).\n");
  for (int i = 0; i < rows; ++i)
    for (int k = 0; k < cols; ++k) l.x.rowp()[i][k][0] = l.x.rowp()[i][k][1] = -999;
  FILE* f = text_file(text);
  l.status = reader(f, l.x.rowp(), rows, cols);
  fclose(f);
  return l;
}

// Standard error of fn, as written through stdio.
template <typename Fn>
std::string capture_stderr(Fn fn) {
  fflush(stderr);
  FILE* tmp = tmpfile();
  int saved = dup(2);
  dup2(fileno(tmp), 2);
  fn();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string s;
  rewind(tmp);
  for (int c; (c = fgetc(tmp)) != EOF;) s += char(c);
  fclose(tmp);
  return s;
}

}  // namespace

TEST(Loading, BothOrientations) {
  const std::string text = "1 10\n# skipped\n2 20\n3 30\n";
  loaded n = read(text, 2, 3, read_file_normal);
  EXPECT_EQ(n.status, SCAN_OK);
  EXPECT_EQ(n.re(0, 3), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(n.re(1, 3), (std::vector<double>{10, 20, 30}));
  EXPECT_EQ(n.x.rowp()[1][2][1], 0);
  loaded t = read(text, 3, 2, read_file_transpose);
  EXPECT_EQ(t.status, SCAN_OK);
  EXPECT_EQ(t.re(0, 2), (std::vector<double>{1, 10}));
  EXPECT_EQ(t.re(2, 2), (std::vector<double>{3, 30}));
  // Lines past the counted block are never read.
  loaded lim = read("1\n2\nrubbish\n", 1, 2, read_file_normal);
  EXPECT_EQ(lim.status, SCAN_OK);
}

TEST(Loading, LongLinesInGroupsOfEight) {
  std::string line;
  std::vector<double> want;
  for (int j = 0; j < 20; ++j) line += std::to_string(j * 1.5) + " ", want.push_back(j * 1.5);
  loaded l = read(line + "\n", 1, 20, read_file_transpose);
  EXPECT_EQ(l.status, SCAN_OK);
  EXPECT_EQ(l.re(0, 20), want);

  debug = 1;
  std::string err = capture_stderr([&] { read(line + "\n", 1, 20, read_file_transpose); });
  debug = 0;
  // One trace per group call; inside a group the values come last first.
  size_t r8 = err.find("ret=8\n"), r8b = err.find("ret=8\n", r8 + 1), r4 = err.find("ret=4\n");
  EXPECT_TRUE(r8 < r8b && r8b < r4 && r4 != std::string::npos) << err;
  EXPECT_LT(err.find("c_re(x[0][7]) = 10.5\n"), err.find("c_re(x[0][0]) = 0\n"));
  EXPECT_LT(err.find("c_re(x[0][0]) = 0\n"), r8b);
  EXPECT_EQ(err.find("ret=-1"), std::string::npos);

  // A huge line is read whole.
  std::string big;
  const int n = 300000;
  for (int j = 0; j < n; ++j) big += "2.25 ";
  loaded b = read(big + "\n", 1, n, read_file_transpose);
  EXPECT_EQ(b.status, SCAN_OK);
  EXPECT_EQ(b.x.rowp()[0][n - 1][0], 2.25);
}

TEST(Loading, TextOfAnotherShape) {
  // Fewer lines, fewer numbers and more numbers than asked for: nothing out of bounds.
  EXPECT_EQ(read("1 2\n3 4\n", 2, 3, read_file_normal).status, SCAN_OTHER_SHAPE);
  EXPECT_EQ(read("1 2\n3\n5 6\n", 2, 3, read_file_normal).status, SCAN_OTHER_SHAPE);
  EXPECT_EQ(read("1 2 3 4 5 6 7 8 9\n", 1, 8, read_file_transpose).status, SCAN_OTHER_SHAPE);
  EXPECT_EQ(read("", 1, 1, read_file_normal).status, SCAN_OTHER_SHAPE);
  loaded ok = read("1 2 3 4 5 6 7 8\n", 1, 8, read_file_transpose);
  EXPECT_EQ(ok.status, SCAN_OK);
  EXPECT_EQ(ok.x.rowp()[0][7][0], 8);
}

// The trace is written from what the one read kept: the last call on a line of 8k numbers
// gives 0 when text follows them and -1 at the line's end (a NUL byte ends the line).
TEST(Loading, TraceOfTheLastCallOnALine) {
  const std::string text("1 2 3 4 5 6 7 8 x\n1 2 3 4 5 6 7 8 \t\n1 2 3 4 5 6 7 8 \0 x\n", 56);
  debug = 1;
  std::string err = capture_stderr([&] { read(text, 3, 8, read_file_transpose); });
  debug = 0;
  size_t r0 = err.find("ret=0\n"), r1 = err.find("ret=-1\n"), r2 = err.rfind("ret=-1\n");
  EXPECT_TRUE(r0 != std::string::npos && r0 < r1 && r1 < r2) << err;
  EXPECT_LT(err.find("c_re(x[1][7]) = 8\n"), r1);
  EXPECT_LT(r1, err.find("c_re(x[2][0]) = 1\n"));
}

// The run's own path: the one read keeps the values, load_matrix places them in either
// orientation, with imaginary parts 0, and lets the kept values go.
TEST(Loading, LoadMatrixAsTheRunDoes) {
  const std::string text = "; a note\n1 10\n2 20\n# skipped\n3 30\n\n9 9\n";
  for (int rows_are_signals : {0, 1}) {
    SCOPED_TRACE(rows_are_signals);
    FILE* f = text_file(text);
    matrix_text m;
    ASSERT_EQ(scan_matrix(f, &m, false), SCAN_OK);
    fclose(f);
    ASSERT_EQ(m.lines, 3);
    ASSERT_EQ(m.values, 2);
    const int rows = rows_are_signals ? 3 : 2, cols = rows_are_signals ? 2 : 3;
    signal_matrix x;
    alloc_matrix(&x, rows, cols, "%lu", "%lu");
    quiet = 1;
    const char* values = reinterpret_cast<const char*>(m.data.items.get());
    const size_t bytes = m.data.cap * sizeof(double);
    load_matrix(&m, x.rowp(), rows, cols, rows_are_signals);
    const double want[2][3] = {{1, 2, 3}, {10, 20, 30}};
    for (int i = 0; i < rows; ++i)
      for (int k = 0; k < cols; ++k) {
        EXPECT_EQ(x.rowp()[i][k][0], rows_are_signals ? want[k][i] : want[i][k]);
        EXPECT_EQ(x.rowp()[i][k][1], 0);
      }
    EXPECT_EQ(m.data.items, nullptr);
    // The values' block is left for the spectra, which start in it as FFTW's blocks would.
    signal_matrix spectra;
    alloc_matrix_in_room(&spectra, rows, cols, "%lu", "%lu");
    const char* s = reinterpret_cast<const char*>(spectra.rowp()[0]);
    EXPECT_TRUE(s >= values && s + rows * cols * sizeof(fftw_complex) <= values + bytes);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % 64, 0u);
    EXPECT_EQ(spectra.rowp()[1] - spectra.rowp()[0], cols);
  }
  // Room is let go where a block would not cover the pages in place, or would not fit, and the
  // matrix then has a block of its own.
  fftw_complex* at;
  offer_room(alloc_array<double>(100, "%lu"), 100 * sizeof(double), 50 * sizeof(double));
  EXPECT_EQ(take_room(10, &at), nullptr);
  EXPECT_EQ(take_room(20, &at), nullptr) << "the room was kept";
  offer_room(alloc_array<double>(100, "%lu"), 100 * sizeof(double), 0);
  signal_matrix big;
  alloc_matrix_in_room(&big, 2, 50, "%lu", "%lu");
  EXPECT_EQ(big.room, nullptr);
  EXPECT_NE(big.block, nullptr);
  signal_matrix after;
  alloc_matrix_in_room(&after, 1, 2, "%lu", "%lu");
  EXPECT_EQ(after.room, nullptr);
}
