#include "loading.h"

#include <limits.h>

#include <cmath>

#include "dbg_printf.h"
#include "fatal.h"
#include "matrix.h"
#include "parallel.h"
#include "settings.h"
#include "transpose.h"

void swap(int* a, int* b) {
  int t = *a;
  *a = *b;
  *b = t;
}

void orient(int lines, int values, int* rows, int* cols, int* row_orientation) {
  // A file of a single line is one signal, never many signals of one sample.
  *row_orientation = lines == 1 || do_transpose;
  *rows = *row_orientation ? lines : values;
  *cols = *row_orientation ? values : lines;
}

int check_shape(int lines, int values, bool scan_too_many) {
  if (lines == 0 || values == 0) return SHAPE_NO_DATA;
  if (scan_too_many || static_cast<long long>(lines) * values > INT_MAX) return SHAPE_TOO_MANY;
  return SHAPE_OK;
}

// The trace an eight-conversion sscanf call per group of numbers gives on each line: the
// call's result, then the values it stored, last first. A line of exactly 8k numbers ends
// with a call that finds none: 0 when text follows, -1 at the line's end.
static void trace_reads(const matrix_text& m, int rows, int cols, bool transposed) {
  dbg__printf(__FILE__, __LINE__, "rows=%d cols=%d\n", rows, cols);
  const double* v = m.data.items.get();
  for (int k = 0; k < m.lines; ++k) {
    const bool text_after = static_cast<size_t>(k) < m.text_after.size && m.text_after.items[k];
    for (int j = 0;;) {
      const int got = m.values - j < 8 ? m.values - j : 8;
      const int ret = got > 0 ? got : text_after ? 0 : -1;
      dbg__printf(__FILE__, __LINE__, "ret=%d\n", ret);
      for (int g = got - 1; g >= 0; --g) {
        const int sig = transposed ? k : j + g;
        const int smp = transposed ? j + g : k;
        dbg__printf(__FILE__, __LINE__, "c_re(x[%d][%d]) = %g\n", sig, smp, v[j + g]);
      }
      j += got;
      if (ret != 8) break;
    }
    v += m.values;
  }
}

// Line k, number j of the block goes to x[k][j] (transposed) or x[j][k] (normal); with fields,
// number fields[i] of line k goes to x[i][k].
static void place(const matrix_text& m, fftw_complex** x, int rows, int cols, bool transposed,
                  const int* fields = nullptr) {
  if (debug) trace_reads(m, rows, cols, transposed);
  if (fields != nullptr) {
    const int threads = threads_for_values(static_cast<long long>(rows) * cols, jobs);
    parallel_for(m.lines, threads, [&](long long first, long long last) {
      for (long long k = first; k < last; ++k) {
        const double* v = m.data.items.get() + static_cast<size_t>(k) * m.values;
        for (int i = 0; i < rows; ++i) {
          x[i][k][0] = v[fields[i]];
          x[i][k][1] = 0.0;
        }
      }
    });
    return;
  }
  const int threads = threads_for_values(static_cast<long long>(rows) * cols, jobs);
  // A row file's lines are its signals, copied straight; a column file's numbers of a line
  // go to as many signals, placed in tiles.
  const double* v = m.data.items.get();
  if (transposed) {
    parallel_for(
        static_cast<long long>(m.lines) * m.values, threads,
        [&](long long first, long long last) { place_along(v, m.values, first, last, x); });
    return;
  }
  parallel_for(m.lines, threads, [&](long long first, long long last) {
    place_across(v, m.values, first, last, nullptr, x);
  });
}

static int read_matrix(FILE* stream, fftw_complex** x, int rows, int cols, bool transposed) {
  const int line_limit = transposed ? rows : cols;
  const int per_line = transposed ? cols : rows;
  matrix_text m;
  if (line_limit > 0) {
    int st = scan_matrix(stream, &m, debug != 0, line_limit);
    if (st != SCAN_OK) return st;
    if (m.lines != line_limit || m.values != per_line) return SCAN_OTHER_SHAPE;
  }
  place(m, x, rows, cols, transposed);
  return SCAN_OK;
}

int read_file_transpose(FILE* stream, fftw_complex** x, int rows, int cols) {
  return read_matrix(stream, x, rows, cols, true);
}

int read_file_normal(FILE* stream, fftw_complex** x, int rows, int cols) {
  return read_matrix(stream, x, rows, cols, false);
}

void check_scan_status(int status, const matrix_text& m, const char* path) {
  if (status == SCAN_READ_ERROR) fatal("Couldn't read %s.\n", path);
  if (status == SCAN_TOO_MANY_VALUES) fatal("Too many values in %s.\n", path);
  if (status == SCAN_NO_MEMORY)
    fatal("Couldn't malloc p(%lu bytes).\n", static_cast<unsigned long>(m.failed_size));
}

void load_matrix(matrix_text* m, fftw_complex** x, int rows, int cols, int row_orientation,
                 const int* fields) {
  progress("Reading file...");
  place(*m, x, rows, cols, row_orientation != 0, fields);
  // The values' pages are in place: the spectra are made there if they fit.
  offer_room(std::move(m->data.items), m->data.cap * sizeof(double), m->data.size * sizeof(double));
  m->data = {};
  m->text_after = {};
  if (debug) {
    for (int i = 0; i < rows; ++i) {
      dbg__printf(__FILE__, __LINE__, "%s", "");
      for (int j = 0; j < cols; ++j) fprintf(stderr, " %g", x[i][j][0]);
      fputc('\n', stderr);
    }
  }
  progress("done\n");
}

std::vector<double> field_values(const matrix_text& m, int field) {
  std::vector<double> v(static_cast<size_t>(m.lines));
  for (int k = 0; k < m.lines; ++k) v[k] = m.data.items[static_cast<size_t>(k) * m.values + field];
  return v;
}

int signals_not_finite(fftw_complex** x, int rows, int cols) {
  std::vector<unsigned char> bad(static_cast<size_t>(rows));
  const int threads = threads_for_values(static_cast<long long>(rows) * cols, jobs);
  parallel_for(rows, threads, [&](long long first, long long last) {
    for (long long i = first; i < last; ++i) {
      // A sample less itself is 0 when finite and NaN otherwise, and NaN stays in the sum.
      double s = 0;
      for (int k = 0; k < cols; ++k) s += x[i][k][0] - x[i][k][0];
      bad[static_cast<size_t>(i)] = std::isnan(s);
    }
  });
  int n = 0;
  for (unsigned char b : bad) n += b;
  return n;
}
