#include "results.h"

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "cleanup.h"
#include "dbg_printf.h"
#include "loading.h"
#include "mypath.h"
#include "numfmt.h"
#include "settings.h"

namespace {

constexpr size_t kOutBuffer = 1 << 20;

// A result file being written: values are formatted into a large buffer and handed to
// the stream in big writes.
struct result_file {
  const char* path = nullptr;
  FILE* f = nullptr;
  std::unique_ptr<char[], c_free_deleter> buf;
  size_t used = 0;
  bool failed = false;
  unfinished_file unfinished;
};

void flush_buffer(result_file* r) {
  if (r->used > 0 && fwrite(r->buf.get(), 1, r->used, r->f) != r->used) r->failed = true;
  r->used = 0;
}

// Writes one line: the values of every signal at one sample index.
template <typename Value>
void put_line(result_file* r, int rows, Value value) {
#ifdef ANASIG_PLAIN_IO
  for (int i = 0; i < rows; ++i) fprintf(r->f, i > 0 ? " %.11g" : "%.11g", value(i));
  fputc('\n', r->f);
  return;
#endif
  for (int i = 0; i < rows; ++i) {
    if (kOutBuffer - r->used < kG11Max + 2) flush_buffer(r);
    char* p = r->buf.get() + r->used;
    char* start = p;
    if (i > 0) *p++ = ' ';
    p = format_g11(p, value(i));
    r->used += p - start;
  }
  if (kOutBuffer - r->used < 1) flush_buffer(r);
  r->buf[r->used++] = '\n';
}

// The buffer comes first, so that running out of memory leaves no empty file; the file is
// created and tracked with the interrupting signals held off, so none can leave it behind.
void open_result(result_file* r, const char* path, const char* message) {
  r->path = path;
  r->buf.reset(static_cast<char*>(malloc(kOutBuffer)));
  if (r->buf == nullptr) {
    fprintf(stderr, "Couldn't malloc %lu bytes\n", static_cast<unsigned long>(kOutBuffer));
    exit(1);
  }
  sigset_t old;
  cleanup_hold_signals(&old);
  r->f = fopen(path, "w");
  if (r->f != nullptr) cleanup_track(&r->unfinished, path, r->f);
  cleanup_release_signals(&old);
  if (r->f == nullptr) {
    fprintf(stderr, "Couldn't open %s for writing.\n", path);
    exit(1);
  }
  if (!quiet) fputs(message, stderr);
}

// Ends the file; an incomplete one is removed by the rule of cleanup_remove.
void close_result(result_file* r) {
  flush_buffer(r);
  bool ok = !r->failed && fflush(r->f) == 0 && !ferror(r->f);
  ok = fclose(r->f) == 0 && ok;
  if (!ok) cleanup_remove(&r->unfinished);
  cleanup_untrack(&r->unfinished);
  if (!ok) {
    fprintf(stderr, "Couldn't write %s.\n", r->path);
    exit(1);
  }
  if (!quiet) fputs("done\n", stderr);
}

template <typename Value>
void write_matrix(const char* path, const char* message, int rows, int cols, Value value) {
  result_file r;
  open_result(&r, path, message);
  for (int k = 0; k < cols; ++k) put_line(&r, rows, [&](int i) { return value(i, k); });
  close_result(&r);
}

}  // namespace

void output_real(const char* path, fftw_complex** y, int rows, int cols) {
  result_file r;
  open_result(&r, path, "Writing re...");
  if (debug) dbg__printf(__FILE__, __LINE__, "rows=%d cols=%d\n", rows, cols);
  for (int k = 0; k < cols; ++k) put_line(&r, rows, [&](int i) { return y[i][k][0]; });
  close_result(&r);
}

void output_imag(const char* path, fftw_complex** y, int rows, int cols) {
  write_matrix(path, "Writing im...", rows, cols, [&](int i, int k) { return y[i][k][1]; });
}

void output_absolute(const char* path, fftw_complex** y, int rows, int cols) {
  write_matrix(path, "Writing abs...", rows, cols, [&](int i, int k) {
    return sqrt(y[i][k][0] * y[i][k][0] + y[i][k][1] * y[i][k][1]);
  });
}

// With keep set, each angle replaces the real part it came from, for the frequency writer.
static void write_theta(const char* path, fftw_complex** y, int rows, int cols, bool keep) {
  write_matrix(path, "Writing theta...", rows, cols, [&](int i, int k) {
    double angle = atan2(y[i][k][1], y[i][k][0]);
    if (keep) y[i][k][0] = angle;
    return angle;
  });
}

// Plain phase differences of neighbouring samples over the interval: no unwrapping.
static void write_frequency(const char* path, fftw_complex** y, int rows, int cols,
                            bool angles_kept) {
  auto phase = [&](int i, int k) {
    return angles_kept ? y[i][k][0] : atan2(y[i][k][1], y[i][k][0]);
  };
  // Allocated before the file is opened, so that a failure leaves no empty result behind.
  std::unique_ptr<double[], c_free_deleter> prev(
      static_cast<double*>(malloc(static_cast<size_t>(rows) * 8)));
  if (prev == nullptr) {
    fprintf(stderr, "Couldn't malloc prev(%lu bytes).\n", static_cast<unsigned long>(rows) * 8);
    exit(1);
  }
  result_file r;
  open_result(&r, path, "Writing freq...");
  for (int i = 0; i < rows; ++i) prev[i] = phase(i, 0);
  put_line(&r, rows, [](int) { return 0.0; });
  for (int k = 1; k < cols; ++k) {
    put_line(&r, rows, [&](int i) {
      double angle = phase(i, k);
      double v = (angle - prev[i]) / tstep;
      prev[i] = angle;
      return v;
    });
  }
  close_result(&r);
}

void output_thet(const char* path, fftw_complex** y, int rows, int cols) {
  write_theta(path, y, rows, cols, false);
}

void output_frequency(const char* path, fftw_complex** y, int rows, int cols) {
  write_frequency(path, y, rows, cols, false);
}

void write_results(const char* path, fftw_complex** y, int rows, int cols) {
  const int flags[5] = {output_re, output_im, output_abs, output_theta, output_freq};
  static const char* const extensions[5] = {".hre", ".him", ".hab", ".hth", ".hfq"};
  // Buffers that hold any path: a truncated result name could hit an unrelated file.
  static char drive[PATH_MAX], dir[PATH_MAX], name[PATH_MAX], ext[PATH_MAX];
  static char result_path[5][PATH_MAX];
  int st = explode_path_n(path, drive, sizeof drive, dir, sizeof dir, name, sizeof name, ext,
                          sizeof ext);
  for (int t = 0; t < 5 && st == 0; ++t) {
    if (flags[t])
      st = combine_path_n(result_path[t], sizeof result_path[t], drive, dir, name, extensions[t]);
  }
  if (st == ENAMETOOLONG) {
    fprintf(stderr, "Path too long: %s\n", path);
    exit(1);
  } else if (st != 0) {
    fprintf(stderr, "Couldn't malloc %lu bytes\n", static_cast<unsigned long>(strlen(path) + 1));
    exit(1);
  }
  if (output_re) output_real(result_path[0], y, rows, cols);
  if (output_im) output_imag(result_path[1], y, rows, cols);
  if (output_abs) output_absolute(result_path[2], y, rows, cols);
  // y is not needed after the phase: its angles are computed once for both phase files.
  const bool share_angles = output_theta && output_freq;
  if (output_theta) write_theta(result_path[3], y, rows, cols, share_angles);
  if (output_freq) write_frequency(result_path[4], y, rows, cols, share_angles);
  if (!(output_re || output_im || output_abs || output_theta || output_freq))
    fputs("Warning: no output selected\n", stderr);
}
