#include "results.h"

#include <errno.h>
#include <fcntl.h>
#include <float.h>
#include <limits.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "cleanup.h"
#include "dbg_printf.h"
#include "loading.h"
#include "mypath.h"
#include "numfmt.h"
#include "settings.h"

namespace {

constexpr size_t kOutBuffer = 1 << 20;

// A result file being written: values are formatted into a large buffer and handed to the
// stream in big writes. A result is written to a hidden temporary file beside where it will
// stand and put in place once every result of the input is complete; devices, FIFOs and a
// result whose folder allows no new file are written directly.
struct result_file {
  const char* path = nullptr;  // the result's name, as reported
  std::string target;          // where the result stands: path, or the file a link names
  std::string tmp;             // the temporary file; empty when written directly
  FILE* f = nullptr;
  std::unique_ptr<char[], c_free_deleter> buf;
  size_t used = 0;
  bool failed = false;
  unfinished_file unfinished;
};

// Results of the input being written, put in place together by commit_results.
result_file pending[5];
int pending_count = 0;
bool batching = false;

// 0666 less the umask, as a newly created file gets it.
mode_t new_file_mode() {
  static const mode_t mode = [] {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
  }();
  return mode;
}

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

// Follows symbolic links from path to the name that holds the content; *st describes it when
// it exists. Gives path itself when the links go round, so that the open reports it.
// *creatable tells whether a missing name could be created, as far as the name itself goes.
bool resolve_target(const char* path, std::string* target, struct stat* st, bool* creatable) {
  std::string p = path;
  *creatable = false;
  for (int hops = 0; hops < 40; ++hops) {
    if (lstat(p.c_str(), st) != 0) {
      *target = p;
      *creatable = errno == ENOENT;
      return false;
    }
    if (!S_ISLNK(st->st_mode)) {
      *target = p;
      return true;
    }
    std::vector<char> link(static_cast<size_t>(st->st_size > 0 ? st->st_size : PATH_MAX) + 1);
    ssize_t n = readlink(p.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<size_t>(n) >= link.size()) break;
    std::string to(link.data(), static_cast<size_t>(n));
    size_t slash = p.rfind('/');
    p = to[0] == '/' || slash == std::string::npos ? to : p.substr(0, slash + 1) + to;
  }
  *target = path;
  return stat(path, st) == 0;
}

// "." + name + "." + six random characters beside target; the name is cut from its start so
// that the whole stays a valid file name.
std::string temp_name(const std::string& target) {
  size_t slash = target.rfind('/');
  size_t base = slash == std::string::npos ? 0 : slash + 1;
  std::string name = target.substr(base);
  const size_t kMaxName = NAME_MAX - 8;
  if (name.size() > kMaxName) name.erase(0, name.size() - kMaxName);
  return target.substr(0, base) + "." + name + ".XXXXXX";
}

// Opens a FIFO only when a reader is there, then writes to it as to any stream.
FILE* open_fifo(const char* path) {
  int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  int fl = fcntl(fd, F_GETFL);
  FILE* f = fl == -1 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0 ? nullptr : fdopen(fd, "w");
  if (f == nullptr) close(fd);
  return f;
}

// A temporary file with the given permission bits, or null when none can be made here.
FILE* open_temp(result_file* r, mode_t mode) {
  r->tmp = temp_name(r->target);
  int fd = mkostemp(r->tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    r->tmp.clear();
    return nullptr;
  }
  FILE* f = fchmod(fd, mode) == 0 ? fdopen(fd, "w") : nullptr;
  if (f == nullptr) {
    close(fd);
    unlink(r->tmp.c_str());
    r->tmp.clear();
  }
  return f;
}

// Opens where the result is written: refused exactly where opening the name for writing is.
// The buffer comes first, so that running out of memory leaves no file behind; the file is
// created and tracked with the ending signals held off, so none can leave it behind.
void open_result(result_file* r, const char* path, const char* message) {
  r->path = path;
  r->buf.reset(static_cast<char*>(malloc(kOutBuffer)));
  if (r->buf == nullptr) {
    fprintf(stderr, "Couldn't malloc %lu bytes\n", static_cast<unsigned long>(kOutBuffer));
    exit(1);
  }
  struct stat st;
  bool creatable;
  bool exists = resolve_target(path, &r->target, &st, &creatable);
  sigset_t old;
  cleanup_hold_signals(&old);
  if (exists && S_ISFIFO(st.st_mode)) {
    r->f = open_fifo(path);
  } else if ((exists && !S_ISREG(st.st_mode)) || (!exists && !creatable)) {
    // A device; or a folder, an overlong name or a loop of links, which fail here as they should.
    r->f = fopen(path, "we");
  } else {
    mode_t mode = new_file_mode();
    bool allowed = true;
    if (exists) {
      // The open for writing answers whether this user may replace the file; it changes nothing.
      int probe = open(r->target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      allowed = probe >= 0;
      if (probe >= 0) close(probe);
      mode = st.st_mode & 0777;
    }
    if (allowed) r->f = open_temp(r, mode);
    // A folder that takes no new file: written in place, as long as the result can be.
    if (allowed && r->f == nullptr) r->f = fopen(path, "we");
  }
  if (r->f != nullptr) {
    cleanup_track(&r->unfinished, r->tmp.empty() ? path : r->tmp.c_str(), r->f);
  }
  cleanup_release_signals(&old);
  if (r->f == nullptr) {
    fprintf(stderr, "Couldn't open %s for writing.\n", path);
    exit(1);
  }
  if (!quiet) fputs(message, stderr);
}

// Ends the file; an incomplete one is removed, with every other unfinished file of the run.
void close_result(result_file* r) {
  flush_buffer(r);
  r->buf.reset();
  bool ok = !r->failed && fflush(r->f) == 0 && !ferror(r->f);
  ok = fclose(r->f) == 0 && ok;
  r->f = nullptr;
  if (!ok) {
    fprintf(stderr, "Couldn't write %s.\n", r->path);
    exit(1);
  }
  if (!quiet) fputs("done\n", stderr);
}

// Puts the finished temporary files over their names, in the order they were written.
void commit_results() {
  sigset_t old;
  cleanup_hold_signals(&old);
  for (int t = 0; t < pending_count; ++t) {
    result_file* r = &pending[t];
    if (!r->tmp.empty() && rename(r->tmp.c_str(), r->target.c_str()) != 0) {
      cleanup_release_signals(&old);
      fprintf(stderr, "Couldn't write %s.\n", r->path);
      exit(1);
    }
    cleanup_untrack(&r->unfinished);
    *r = result_file{};
  }
  pending_count = 0;
  cleanup_release_signals(&old);
}

// A new result of the input: one of the batch, or alone when a writer is called by itself.
result_file* begin_result() {
  if (!batching) commit_results();
  return &pending[pending_count++];
}

void end_result(result_file* r) {
  close_result(r);
  if (!batching) commit_results();
}

template <typename Value>
void write_matrix(const char* path, const char* message, int rows, int cols, Value value) {
  result_file* r = begin_result();
  open_result(r, path, message);
  for (int k = 0; k < cols; ++k) put_line(r, rows, [&](int i) { return value(i, k); });
  end_result(r);
}

}  // namespace

void output_real(const char* path, fftw_complex** y, int rows, int cols) {
  result_file* r = begin_result();
  open_result(r, path, "Writing re...");
  if (debug) dbg__printf(__FILE__, __LINE__, "rows=%d cols=%d\n", rows, cols);
  for (int k = 0; k < cols; ++k) put_line(r, rows, [&](int i) { return y[i][k][0]; });
  end_result(r);
}

void output_imag(const char* path, fftw_complex** y, int rows, int cols) {
  write_matrix(path, "Writing im...", rows, cols, [&](int i, int k) { return y[i][k][1]; });
}

// sqrt(re² + im²) wherever that is exact enough, so that ordinary results keep every bit; the
// scaled hypot only where the sum of squares overflows or underflows.
static double envelope(double re, double im) {
  double sq = re * re + im * im;
  if (std::isfinite(re) && std::isfinite(im) &&
      (std::isinf(sq) || (sq < DBL_MIN && (re != 0 || im != 0))))
    return hypot(re, im);
  return sqrt(sq);
}

void output_absolute(const char* path, fftw_complex** y, int rows, int cols) {
  write_matrix(path, "Writing abs...", rows, cols,
               [&](int i, int k) { return envelope(y[i][k][0], y[i][k][1]); });
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
  result_file* r = begin_result();
  open_result(r, path, "Writing freq...");
  for (int i = 0; i < rows; ++i) prev[i] = phase(i, 0);
  put_line(r, rows, [](int) { return 0.0; });
  for (int k = 1; k < cols; ++k) {
    put_line(r, rows, [&](int i) {
      double angle = phase(i, k);
      double v = (angle - prev[i]) / tstep;
      prev[i] = angle;
      return v;
    });
  }
  end_result(r);
}

void output_thet(const char* path, fftw_complex** y, int rows, int cols) {
  write_theta(path, y, rows, cols, false);
}

void output_frequency(const char* path, fftw_complex** y, int rows, int cols) {
  write_frequency(path, y, rows, cols, false);
}

static const char* const kExtensions[5] = {".hre", ".him", ".hab", ".hth", ".hfq"};

// The name of each selected result of the input at path; 0, ENAMETOOLONG or ENOMEM.
static int name_results(const char* path, char result_path[5][PATH_MAX]) {
  const int flags[5] = {output_re, output_im, output_abs, output_theta, output_freq};
  // Buffers that hold any path: a truncated result name could hit an unrelated file.
  static char drive[PATH_MAX], dir[PATH_MAX], name[PATH_MAX], ext[PATH_MAX];
  int st = explode_path_n(path, drive, sizeof drive, dir, sizeof dir, name, sizeof name, ext,
                          sizeof ext);
  for (int t = 0; t < 5 && st == 0; ++t) {
    if (flags[t]) st = combine_path_n(result_path[t], PATH_MAX, drive, dir, name, kExtensions[t]);
  }
  return st;
}

void warn_replaced_results(const char* path) {
  // Where each earlier operand's results went: their folder and their name.
  struct place {
    dev_t dev;
    ino_t ino;
    std::string name;
    std::string operand;
  };
  static std::vector<place> written;
  static char result_path[5][PATH_MAX];
  const int flags[5] = {output_re, output_im, output_abs, output_theta, output_freq};
  int first = 0;
  while (first < 5 && !flags[first]) ++first;
  if (first == 5 || name_results(path, result_path) != 0) return;
  std::string result = result_path[first];
  size_t slash = result.rfind('/');
  std::string folder = slash == std::string::npos ? "." : result.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? result : result.substr(slash + 1);
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return;
  for (auto p = written.rbegin(); p != written.rend(); ++p) {
    if (p->dev == st.st_dev && p->ino == st.st_ino && p->name == name) {
      fprintf(stderr, "Warning: results of %s replace those of %s\n", path, p->operand.c_str());
      break;
    }
  }
  written.push_back(place{st.st_dev, st.st_ino, name, path});
}

void write_results(const char* path, fftw_complex** y, int rows, int cols) {
  static char result_path[5][PATH_MAX];
  int st = name_results(path, result_path);
  if (st == ENAMETOOLONG) {
    fprintf(stderr, "Path too long: %s\n", path);
    exit(1);
  } else if (st != 0) {
    fprintf(stderr, "Couldn't malloc %lu bytes\n", static_cast<unsigned long>(strlen(path) + 1));
    exit(1);
  }
  batching = true;
  if (output_re) output_real(result_path[0], y, rows, cols);
  if (output_im) output_imag(result_path[1], y, rows, cols);
  if (output_abs) output_absolute(result_path[2], y, rows, cols);
  // y is not needed after the phase: its angles are computed once for both phase files.
  const bool share_angles = output_theta && output_freq;
  if (output_theta) write_theta(result_path[3], y, rows, cols, share_angles);
  if (output_freq) write_frequency(result_path[4], y, rows, cols, share_angles);
  batching = false;
  commit_results();
  if (!(output_re || output_im || output_abs || output_theta || output_freq))
    fputs("Warning: no output selected\n", stderr);
}
