#include "results.h"

#include <errno.h>
#include <float.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "dbg_printf.h"
#include "derivative.h"
#include "fatal.h"
#include "matrix.h"
#include "mypath.h"
#include "npy_write.h"
#include "numfmt.h"
#include "parallel.h"
#include "phase.h"
#include "result_file.h"
#include "result_text.h"
#include "settings.h"

namespace {

// What a result file holds, in the order the files are written. The phase and the frequency
// are read from y once phase_rows has put them there.
enum result_kind { kReal, kImag, kAbs, kTheta, kFreq };

const char* const kMessages[] = {"Writing re...", "Writing im...", "Writing abs...",
                                 "Writing theta...", "Writing freq..."};

// sqrt(re² + im²) wherever that is exact enough, so that ordinary results keep every bit; the
// scaled hypot only where the sum of squares overflows or underflows.
inline double envelope(double re, double im) {
  double sq = re * re + im * im;
  if (std::isfinite(re) && std::isfinite(im) &&
      (std::isinf(sq) || (sq < DBL_MIN && (re != 0 || im != 0)))) {
    return hypot(re, im);
  }
  return sqrt(sq);
}

// The value of signal i at sample k.
template <int kind>
inline double value(fftw_complex** y, int i, int k) {
  if constexpr (kind == kReal || kind == kTheta) return y[i][k][0];
  if constexpr (kind == kImag || kind == kFreq) return y[i][k][1];
  return envelope(y[i][k][0], y[i][k][1]);
}

// Values first .. last-1 of a result, counted line after line: each line holds the values of
// every signal at one sample, separated by a space, or as the layout has them. The values are
// taken a tile at a time before any is formatted: the loads from every signal's row and the
// envelope's square roots then overlap one another, not the formatter's work (a fifth of the
// time on 16 signals).
template <int kind, bool plain>
size_t format_values(char* buf, fftw_complex** y, int rows, long long first, long long last) {
  constexpr long long kTile = 1024;
  double tile[kTile];
  const text_layout& l = result_layout;
  char* p = buf;
  int k = static_cast<int>(first / rows);
  int i = static_cast<int>(first % rows);
  for (long long n = first; n < last;) {
    const int count = static_cast<int>(std::min(kTile, last - n));
    for (int j = 0, ti = i, tk = k; j < count; ++j) {
      tile[j] = value<kind>(y, ti, tk);
      if (++ti == rows) ti = 0, ++tk;
    }
    for (int j = 0; j < count; ++j) {
      if constexpr (plain) {
        if (i > 0) *p++ = ' ';
        p = format_g11(p, tile[j]);
      } else {
        if (i == 0 && !l.times.empty()) {
          p = format_time(p, l.times[static_cast<size_t>(k)], l);
          *p++ = l.separator;
        }
        if (i > 0) *p++ = l.separator;
        p = format_value(p, tile[j], l);
      }
      if (++i == rows) {
        *p++ = '\n';
        i = 0;
        ++k;
      }
    }
    n += count;
  }
  return static_cast<size_t>(p - buf);
}

// The same values as float64 numbers, for --format=npy.
template <int kind>
size_t store_values(char* buf, fftw_complex** y, int rows, long long first, long long last) {
  char* p = buf;
  int k = static_cast<int>(first / rows);
  int i = static_cast<int>(first % rows);
  for (long long n = first; n < last; ++n) {
    p = put_float64(p, value<kind>(y, i, k));
    if (++i == rows) i = 0, ++k;
  }
  return static_cast<size_t>(p - buf);
}

// The formatter of each kind, in the order of result_kind: for today's layout, and for another.
using format_fn = size_t (*)(char*, fftw_complex**, int, long long, long long);
constexpr format_fn kFormat[2][5] = {
    {format_values<kReal, true>, format_values<kImag, true>, format_values<kAbs, true>,
     format_values<kTheta, true>, format_values<kFreq, true>},
    {format_values<kReal, false>, format_values<kImag, false>, format_values<kAbs, false>,
     format_values<kTheta, false>, format_values<kFreq, false>}};
constexpr format_fn kStore[] = {store_values<kReal>, store_values<kImag>, store_values<kAbs>,
                                store_values<kTheta>, store_values<kFreq>};

// About this many values go into one chunk of text (half a megabyte or so).
constexpr long long kChunkValues = 1 << 15;

// The first result of the input being processed, opened before the input is read.
result_file first_result;

// Writes one result file of the given kind.
void write_result(result_file* r, const char* path, int kind, fftw_complex** y, int rows,
                  int cols) {
  if (first_result.f != nullptr && strcmp(path, first_result.path) == 0) {
    *r = first_result;
    first_result = result_file{};
  } else {
    open_result(r, path);
  }
  progress(kMessages[kind]);
  if (debug && kind == kReal) dbg__printf(__FILE__, __LINE__, "rows=%d cols=%d\n", rows, cols);
  const long long total = static_cast<long long>(rows) * cols;
  const long long per_chunk = std::min(total, kChunkValues);
  const size_t chunks = static_cast<size_t>((total + per_chunk - 1) / per_chunk);
  const bool npy = output_format == FORMAT_NPY;
  const bool plain = result_layout.plain();
  bool ok = true;
  if (npy) {
    // Samples x signals, as the lines and numbers of the text result.
    const std::string head = npy_header(cols, rows);
    ok = fwrite(head.data(), 1, head.size(), r->f) == head.size();
  } else if (!result_layout.header.empty()) {
    ok = fwrite(result_layout.header.data(), 1, result_layout.header.size(), r->f) ==
         result_layout.header.size();
  }
  // Each value with its separator, and at most one newline a value; a time a line.
  const size_t max_bytes = static_cast<size_t>(per_chunk) *
                           (npy ? sizeof(double) : kG11Max + 2 + (plain ? 0 : kTimeMax));
  const format_fn format = npy ? kStore[kind] : kFormat[plain ? 0 : 1][kind];
  ok = ok && write_chunks(r->f, threads_for_values(total, jobs), chunks, max_bytes,
                          [&](size_t c, char* buf) {
                            long long first = static_cast<long long>(c) * per_chunk;
                            return format(buf, y, rows, first, std::min(total, first + per_chunk));
                          });
  close_result(r, !ok);
  progress("done\n");
}

// Writes the results of y that `paths` names (null: not written), in the order of the kinds,
// and adds them to `pending`. The phase and the frequency take y's place once the envelope is
// written; with dz, the derivative of y, the frequency is taken from it.
void write_set(const char* const paths[5], fftw_complex** y, int rows, int cols,
               std::vector<result_file>* pending, fftw_complex** dz = nullptr) {
  for (int t = kReal; t <= kAbs; ++t) {
    if (paths[t] == nullptr) continue;
    pending->emplace_back();
    write_result(&pending->back(), paths[t], t, y, rows, cols);
  }
  const bool derivative = dz != nullptr && paths[kFreq] != nullptr;
  if (derivative) derivative_frequency(y, dz, rows, cols, cycles, jobs);
  if (paths[kTheta] != nullptr || paths[kFreq] != nullptr)
    phase_rows(phase_settings(), y, rows, cols, jobs);
  if (derivative) take_derivative_frequency(y, dz, rows, cols, jobs);
  for (int t = kTheta; t <= kFreq; ++t) {
    if (paths[t] == nullptr) continue;
    pending->emplace_back();
    write_result(&pending->back(), paths[t], t, y, rows, cols);
  }
}

// write_set, and the results put in place together.
void write_set(const char* const paths[5], fftw_complex** y, int rows, int cols,
               fftw_complex** dz = nullptr) {
  std::vector<result_file> pending;
  pending.reserve(5);
  write_set(paths, y, rows, cols, &pending, dz);
  commit_results(pending.data(), static_cast<int>(pending.size()));
}

// One result written by itself, from a copy of y where the phase is needed, so y stays.
void write_alone(const char* path, int kind, fftw_complex** y, int rows, int cols) {
  const char* paths[5] = {};
  paths[kind] = path;
  if (kind < kTheta) {
    write_set(paths, y, rows, cols);
    return;
  }
  signal_matrix copy;
  alloc_matrix(&copy, rows, cols, "Couldn't malloc %lu bytes\n",
               "Couldn't fftw_malloc %lu bytes\n");
  if (rows > 0 && cols > 0)
    memcpy(copy.rowp()[0], y[0], sizeof(fftw_complex) * static_cast<size_t>(rows) * cols);
  write_set(paths, copy.rowp(), rows, cols);
}

}  // namespace

void output_real(const char* path, fftw_complex** y, int rows, int cols) {
  write_alone(path, kReal, y, rows, cols);
}

void output_imag(const char* path, fftw_complex** y, int rows, int cols) {
  write_alone(path, kImag, y, rows, cols);
}

void output_absolute(const char* path, fftw_complex** y, int rows, int cols) {
  write_alone(path, kAbs, y, rows, cols);
}

void output_thet(const char* path, fftw_complex** y, int rows, int cols) {
  write_alone(path, kTheta, y, rows, cols);
}

void output_frequency(const char* path, fftw_complex** y, int rows, int cols) {
  write_alone(path, kFreq, y, rows, cols);
}

static const char* const kExtensions[5] = {".hre", ".him", ".hab", ".hth", ".hfq"};

// Which of the five results the run writes, in the order of kExtensions.
static std::array<int, 5> selected_results() {
  return {output_re, output_im, output_abs, output_theta, output_freq};
}

// The name of each selected result of the input at path: beside it, or in the output folder
// under the input's file name, with "." and the band's label before the extension when there
// is one; 0, ENAMETOOLONG or ENOMEM.
static int name_results(const char* path, char result_path[5][PATH_MAX],
                        const std::string& label = "", char* time_path = nullptr) {
  const std::array<int, 5> flags = selected_results();
  // Buffers that hold any path: a truncated result name could hit an unrelated file.
  static char drive[PATH_MAX], dir[PATH_MAX], name[PATH_MAX], ext[PATH_MAX];
  int st = explode_path_n(path, drive, sizeof drive, dir, sizeof dir, name, sizeof name, ext,
                          sizeof ext);
  if (st == 0 && output_dir != nullptr) {
    drive[0] = '\0';
    size_t len = strlen(output_dir);
    st = len + 2 > sizeof dir ? ENAMETOOLONG : 0;
    if (st == 0)
      snprintf(dir, sizeof dir, len > 0 && output_dir[len - 1] == '/' ? "%s" : "%s/", output_dir);
  }
  for (int t = 0; t < 5 && st == 0; ++t) {
    if (!flags[t]) continue;
    // A NumPy result keeps the text result's name, with ".npy" after it; so would a time
    // column beside them ("sig.time.npy").
    std::string ext = label.empty() ? kExtensions[t] : "." + label + kExtensions[t];
    if (output_format == FORMAT_NPY) ext += ".npy";
    st = combine_path_n(result_path[t], PATH_MAX, drive, dir, name, ext.c_str());
  }
  if (st == 0 && time_path != nullptr)
    st = combine_path_n(time_path, PATH_MAX, drive, dir, name, ".time.npy");
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
  const std::array<int, 5> flags = selected_results();
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

// The selected results' names of the input at path (for a band, with its label); ends the run
// when one cannot be made.
static void checked_names(const char* path, char result_path[5][PATH_MAX], const std::string& label,
                          char* time_path = nullptr) {
  int st = name_results(path, result_path, label, time_path);
  if (st == ENAMETOOLONG) {
    fatal("Path too long: %s\n", path);
  } else if (st != 0) {
    fatal("Couldn't malloc %lu bytes\n", static_cast<unsigned long>(strlen(path) + 1));
  }
}

// The names among result_path of the results the run writes; null for the others.
static int selected_paths(char result_path[5][PATH_MAX], const char* paths[5]) {
  const std::array<int, 5> flags = selected_results();
  int count = 0;
  for (int t = 0; t < 5; ++t) {
    paths[t] = nullptr;
    if (flags[t]) paths[t] = result_path[t], ++count;
  }
  return count;
}

void open_first_result(const char* path) {
  // Left open by an input that failed (with --keep-going); its file has gone with the others.
  if (first_result.f != nullptr) fclose(first_result.f);
  first_result = result_file{};
  // The first result of the first band, or of the input; its name stays while it is open.
  static char first_path[5][PATH_MAX];
  checked_names(path, first_path, bands.empty() ? "" : band_label(bands[0]));
  const std::array<int, 5> flags = selected_results();
  int kind = 0;
  while (kind < 5 && !flags[kind]) ++kind;
  if (kind < 5) open_result(&first_result, first_path[kind], true);
}

// With --format=npy and a time column, the times as "name.time.npy" beside the results, put in
// place with them.
static void write_time_column(const char* path, std::vector<result_file>* pending) {
  const std::vector<double>& t = result_layout.times;
  if (output_format != FORMAT_NPY || t.empty() || pending->empty()) return;
  static char time_path[PATH_MAX];
  char unused[5][PATH_MAX];
  checked_names(path, unused, "", time_path);
  pending->emplace_back();
  result_file* r = &pending->back();
  open_result(r, time_path);
  const std::string head = npy_vector_header(static_cast<long long>(t.size()));
  bool ok = fwrite(head.data(), 1, head.size(), r->f) == head.size();
  for (size_t k = 0; k < t.size() && ok; ++k) {
    char b[8];
    put_float64(b, t[k]);
    ok = fwrite(b, 1, 8, r->f) == 8;
  }
  close_result(r, !ok);
}

void write_results(const char* path, fftw_complex** y, int rows, int cols, fftw_complex** dz) {
  static char result_path[5][PATH_MAX];
  checked_names(path, result_path, "");
  const char* paths[5];
  int count = selected_paths(result_path, paths);
  std::vector<result_file> pending;
  pending.reserve(6);
  write_set(paths, y, rows, cols, &pending, dz);
  write_time_column(path, &pending);
  commit_results(pending.data(), static_cast<int>(pending.size()));
  if (count == 0) fputs("Warning: no output selected\n", stderr);
}

void write_band_results(const char* path, fftw_complex** y, int rows, int cols,
                        const band_pass& make_band, fftw_complex** dz) {
  // Every band's names stay until the whole group is put in place.
  std::vector<std::array<char[PATH_MAX], 5>> names(bands.size());
  std::vector<result_file> pending;
  pending.reserve(5 * bands.size() + 1);
  int count = 0;
  for (size_t b = 0; b < bands.size(); ++b) {
    const std::string label = band_label(bands[b]);
    checked_names(path, names[b].data(), label);
    const char* paths[5];
    count = selected_paths(names[b].data(), paths);
    progress(("Band " + label + "\n").c_str());
    make_band(bands[b]);
    write_set(paths, y, rows, cols, &pending, dz);
  }
  write_time_column(path, &pending);
  commit_results(pending.data(), static_cast<int>(pending.size()));
  if (count == 0) fputs("Warning: no output selected\n", stderr);
}
