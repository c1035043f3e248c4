#include "anasig.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "cleanup.h"
#include "dbg_printf.h"
#include "extend.h"
#include "loading.h"
#include "settings.h"
#include "wisdom.h"

static const char kWisdomFile[] = "anasig.fftw3";

struct plan_deleter {
  void operator()(fftw_plan_s* p) const { fftw_destroy_plan(p); }
};
using plan_ptr = std::unique_ptr<fftw_plan_s, plan_deleter>;

// Writes the wisdom beside the old file and renames it into place, so that a run started
// meanwhile reads either the old file or the new one, never a half-written one.
static void export_wisdom() {
  char tmp[] = "anasig.fftw3.XXXXXX";
  // Held off until the temporary file is tracked, so an interruption cannot leave it.
  sigset_t held;
  cleanup_hold_signals(&held);
  int fd = mkstemp(tmp);
  FILE* f = fd < 0 ? nullptr : fdopen(fd, "w");
  unfinished_file unfinished;
  if (f != nullptr) {
    cleanup_track(&unfinished, tmp, f);
  } else if (fd >= 0) {
    close(fd);
    unlink(tmp);
  }
  cleanup_release_signals(&held);
  if (f == nullptr) return;
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fileno(f), 0666 & ~mask);
  fftw_export_wisdom_to_file(f);
  bool ok = !ferror(f);
  ok = (fclose(f) == 0) && ok;
  if (!ok || rename(tmp, kWisdomFile) != 0) unlink(tmp);
  cleanup_untrack(&unfinished);
}

static void progress(const char* mark) {
  if (quiet) return;
  fputs(mark, stderr);
  fflush(stderr);
}

static plan_ptr make_plan(int rows, int cols, fftw_complex* in, fftw_complex* out, int sign) {
  int n[1] = {cols};
  plan_ptr p(fftw_plan_many_dft(1, n, rows, in, nullptr, 1, cols, out, nullptr, 1, cols, sign,
                                FFTW_ESTIMATE));
  if (p == nullptr) {
    fprintf(stderr, "Couldn't make the %s FFT plan for %d x %d values\n",
            sign == FFTW_FORWARD ? "forward" : "inverse", rows, cols);
    exit(1);
  }
  return p;
}

int anasig(int rows, int cols, fftw_complex** x, fftw_complex** y) {
  // Padding and gaps take a path of their own; without them the batched transform below runs.
  if (extended_transform_wanted(pad, gaps, rows, cols, x)) {
    if (use_wisdom) import_wisdom_checked(kWisdomFile);
    anasig_extended(pad, gaps, rows, cols, x, y);
    if (use_wisdom) export_wisdom();
    return 0;
  }
  const size_t n = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  std::unique_ptr<fftw_complex*[], c_free_deleter> zi(
      static_cast<fftw_complex**>(malloc(static_cast<size_t>(rows) * 8)));
  if (zi == nullptr) {
    fprintf(stderr, "Couldn't malloc %lu bytes\n", static_cast<unsigned long>(rows) * 8);
    exit(1);
  }
  std::unique_ptr<fftw_complex[], fftw_free_deleter> zb(fftw_alloc_complex(n));
  if (zb == nullptr) {
    fprintf(stderr, "Couldn't fftw_malloc %lu bytes\n", static_cast<unsigned long>(n * 16));
    exit(1);
  }
  fftw_complex** z = zi.get();
  for (int i = 0; i < rows; ++i) z[i] = zb.get() + static_cast<size_t>(i) * cols;

  // A missing or damaged wisdom file is passed over: it only ever saves planning time.
  if (use_wisdom) import_wisdom_checked(kWisdomFile);
  if (debug) fprintf(stderr, "Debug:%s(%d) rows=%d cols=%d\n", __FILE__, __LINE__, rows, cols);

  plan_ptr forward = make_plan(rows, cols, x[0], z[0], FFTW_FORWARD);
  plan_ptr inverse = make_plan(rows, cols, z[0], y[0], FFTW_BACKWARD);
  if (use_wisdom) export_wisdom();

  progress(" 0%");
  const int repeats = timing ? 100000 : 1;
  for (int t = 0; t < repeats; ++t) fftw_execute(forward.get());
  forward.reset();
  progress("..49%");

  std::unique_ptr<double[], c_free_deleter> h(
      static_cast<double*>(malloc(static_cast<size_t>(cols) * 8)));
  if (h == nullptr) {
    fprintf(stderr, "Couldn't allocatre %lu bytes\n", static_cast<unsigned long>(cols) * 8);
    exit(1);
  }
  // Keep the zero frequency, double the positive ones, drop the negative ones; an even
  // length keeps its Nyquist bin once.
  const int g = cols / 2;
  h[0] = 1;
  if (cols % 2 == 0) {
    for (int k = 1; k < g; ++k) h[k] = 2;
    h[g] = 1;
    for (int k = g + 1; k < cols; ++k) h[k] = 0;
  } else {
    for (int k = 1; k <= (cols - 1) / 2; ++k) h[k] = 2;
    for (int k = (cols + 1) / 2; k < cols; ++k) h[k] = 0;
  }
  if (debug) dbg__printf(__FILE__, __LINE__, "rows=%d cols=%d\n", rows, cols);
  for (int i = 0; i < rows; ++i) {
    for (int k = 0; k < cols; ++k) {
      z[i][k][0] *= h[k];
      z[i][k][1] *= h[k];
    }
  }
  h.reset();
  progress("..50%");

  fftw_execute(inverse.get());
  progress("..99%");
  inverse.reset();

  // FFTW leaves its transforms unnormalised.
  for (int i = 0; i < rows; ++i) {
    for (int k = 0; k < cols; ++k) {
      y[i][k][0] /= cols;
      y[i][k][1] /= cols;
    }
  }
  zb.reset();
  zi.reset();
  progress("..100%\n");
  return 0;
}
