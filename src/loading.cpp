#include "loading.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "common.h"
#include "dbg_printf.h"
#include "myfgets.h"
#include "numscan.h"
#include "settings.h"

reader_fn read_file = read_file_normal;

void swap(int* a, int* b) {
  int t = *a;
  *a = *b;
  *b = t;
}

void orient(int lines, int values, int* rows, int* cols, int* row_orientation) {
  *rows = lines;
  *cols = values;
  // A file of a single line is one signal, never many signals of one sample.
  *row_orientation = lines == 1 || do_transpose;
  if (!*row_orientation) swap(rows, cols);
}

int check_shape(int lines, int values, bool scan_too_many) {
  if (lines == 0 || values == 0) return SHAPE_NO_DATA;
  if (scan_too_many || static_cast<long long>(lines) * values > INT_MAX) return SHAPE_TOO_MANY;
  return SHAPE_OK;
}

void alloc_matrix(signal_matrix* m, const char* name, int rows, int cols) {
  size_t n = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  m->index.reset(static_cast<fftw_complex**>(malloc(static_cast<size_t>(rows) * 8)));
  if (rows > 0 && m->index == nullptr) {
    fprintf(stderr, "Couldn't malloc %s(%lu bytes).\n", name, static_cast<unsigned long>(rows) * 8);
    exit(1);
  }
  m->block.reset(fftw_alloc_complex(n));
  if (n > 0 && m->block == nullptr) {
    fprintf(stderr, "Couldn't fftw_malloc %s[0](%lu bytes).\n", name,
            static_cast<unsigned long>(n * 16));
    exit(1);
  }
  for (int i = 0; i < rows; ++i) m->index[i] = m->block.get() + static_cast<size_t>(i) * cols;
}

void free_matrix(signal_matrix* m) {
  m->block.reset();
  m->index.reset();
}

// Shared body of the two readers: line k of the block, number j of the line, goes to
// x[k][j] (transposed) or x[j][k] (normal). Lines are read in groups of eight numbers so
// that the debug trace shows the same calls as an eight-conversion scanf would.
static int read_matrix(FILE* stream, fftw_complex** x, int rows, int cols, bool transposed) {
  const int line_limit = transposed ? rows : cols;
  const long long per_line = transposed ? cols : rows;
  line_reader r;
  line_reader_init(&r, stream);
  if (debug) dbg__printf(__FILE__, __LINE__, "rows=%d cols=%d\n", rows, cols);
  int status = SCAN_OK;
  int k = 0;
  while (k < line_limit) {
    char* line;
    size_t len;
    int st = line_reader_next(&r, &line, &len);
    if (st != LINE_OK) {
      if (st == LINE_ERROR) {
        status = SCAN_READ_ERROR;
      } else if (st == LINE_NO_MEMORY) {
        scan_failed_size = r.failed_size;
        status = SCAN_NO_MEMORY;
      } else {
        status = SCAN_CHANGED;  // fewer lines than the size scan counted
      }
      break;
    }
    const char* s = line;
    const char* end = static_cast<const char*>(memchr(line, '\0', len + 1));
    long long j = 0;
    for (;;) {
      double group[8];
      int got = 0;
      int last = 1;
      while (got < 8) {
        size_t consumed;
        last = scan_number(s, end, &group[got], &consumed);
        if (last != 1) break;
        s += consumed;
        ++got;
      }
      int ret = got > 0 ? got : last;  // what one eight-conversion call would return
      if (debug) dbg__printf(__FILE__, __LINE__, "ret=%d\n", ret);
      if (j + got > per_line) {
        status = SCAN_CHANGED;  // more numbers on this line than before
        break;
      }
      for (int g = 0; g < got; ++g) {
        long long idx = j + g;
        fftw_complex* v = transposed ? &x[k][idx] : &x[idx][k];
        (*v)[0] = group[g];
        (*v)[1] = 0.0;
      }
      if (debug) {
        for (int g = got - 1; g >= 0; --g) {
          int sig = transposed ? k : static_cast<int>(j + g);
          int smp = transposed ? static_cast<int>(j + g) : k;
          dbg__printf(__FILE__, __LINE__, "c_re(x[%d][%d]) = %g\n", sig, smp, group[g]);
        }
      }
      j += got;
      if (ret != 8) break;
    }
    if (status != SCAN_OK) break;
    if (j != per_line) {
      status = SCAN_CHANGED;  // fewer numbers on this line than before
      break;
    }
    ++k;
  }
  line_reader_free(&r);
  return status;
}

int read_file_transpose(FILE* stream, fftw_complex** x, int rows, int cols) {
  return read_matrix(stream, x, rows, cols, true);
}

int read_file_normal(FILE* stream, fftw_complex** x, int rows, int cols) {
  return read_matrix(stream, x, rows, cols, false);
}

void check_scan_status(int status, const char* path) {
  switch (status) {
    case SCAN_READ_ERROR:
      fprintf(stderr, "Couldn't read %s.\n", path);
      break;
    case SCAN_NO_REWIND:
      fprintf(stderr, "Couldn't rewind %s.\n", path);
      break;
    case SCAN_NO_MEMORY:
      fprintf(stderr, "Couldn't malloc p(%lu bytes).\n",
              static_cast<unsigned long>(scan_failed_size));
      break;
    case SCAN_CHANGED:
      fprintf(stderr, "%s changed while reading.\n", path);
      break;
    default:
      return;
  }
  exit(1);
}

// Line k, number j of the block goes where the reader for the orientation would put it.
static void fill_from_kept(const kept_values* kept, fftw_complex** x, int rows, int cols,
                           int row_orientation) {
  const double* v = kept->data;
  if (row_orientation) {
    for (int i = 0; i < rows; ++i) {
      for (int k = 0; k < cols; ++k, ++v) {
        x[i][k][0] = *v;
        x[i][k][1] = 0.0;
      }
    }
  } else {
    // Line k holds sample k of every signal.
    for (int k = 0; k < cols; ++k) {
      for (int i = 0; i < rows; ++i, ++v) {
        x[i][k][0] = *v;
        x[i][k][1] = 0.0;
      }
    }
  }
}

void load_file(FILE* stream, const char* path, fftw_complex** x, int rows, int cols,
               int row_orientation, kept_values* kept) {
  read_file = row_orientation ? read_file_transpose : read_file_normal;
  if (!quiet) fputs("Reading file...", stderr);
  int st = SCAN_OK;
  if (kept != nullptr && kept->data != nullptr &&
      kept->count == static_cast<size_t>(rows) * static_cast<size_t>(cols)) {
    fill_from_kept(kept, x, rows, cols, row_orientation);
  } else {
    st = read_file(stream, x, rows, cols);
  }
  if (kept != nullptr) {
    free(kept->data);
    *kept = kept_values{};
  }
  fclose(stream);
  check_scan_status(st, path);
  if (debug) {
    for (int i = 0; i < rows; ++i) {
      dbg__printf(__FILE__, __LINE__, "%s", "");
      for (int j = 0; j < cols; ++j) fprintf(stderr, " %g", x[i][j][0]);
      fputc('\n', stderr);
    }
  }
  if (!quiet) fputs("done\n", stderr);
}
