// The size scan, the one read, both readers and loading from kept values on arbitrary
// bytes, checked against a plain sscanf reading.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "loading.h"
#include "settings.h"

namespace {

struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Larger shapes are scanned but not loaded, to keep each run fast.
constexpr long long kMaxElements = 1 << 20;
// A NaN whose payload no conversion produces, so an element left unwritten shows.
constexpr uint64_t kMarker = 0x7ff4dead5eedf00dULL;

uint64_t bits(double d) {
  uint64_t b;
  memcpy(&b, &d, sizeof b);
  return b;
}

[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char* fmt, ...) {
  fputs("input_fuzz: ", stderr);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
  abort();
}

// The matrix as fgets and sscanf see it: non-comment lines up to the first one whose count
// of numbers differs from the first line's, after a UTF-8 byte-order mark at the very start,
// which the readers pass over.
std::vector<std::vector<double>> reference(const std::string& text) {
  std::vector<std::vector<double>> block;
  size_t expected = 0;
  for (size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; pos < text.size();) {
    size_t nl = text.find('\n', pos);
    size_t next = nl == std::string::npos ? text.size() : nl + 1;
    std::string line = text.substr(pos, next - pos);
    pos = next;
    if (line[0] == '\0' || line[0] == '#' || line[0] == ';' || line[0] == '!') continue;
    std::vector<double> values;
    const char* s = line.c_str();
    double v;
    int n;
    while (sscanf(s, "%lg%n", &v, &n) == 1 && n > 0) {
      values.push_back(v);
      s += n;
    }
    if (checkline(line.c_str()) != static_cast<int>(values.size()))
      fail("checkline gives %d numbers where sscanf finds %zu", checkline(line.c_str()),
           values.size());
    if (!block.empty() && values.size() != expected) break;
    expected = values.size();
    block.push_back(std::move(values));
  }
  return block;
}

file_ptr open_text(std::vector<char>* buf) {
  // fmemopen wants a writable buffer; the stream only reads it.
  file_ptr f(fmemopen(buf->data(), buf->size() - 1, "r"));
  if (!f) fail("fmemopen failed for %zu bytes", buf->size() - 1);
  return f;
}

void fill_marker(fftw_complex** x, int rows, int cols) {
  double marker;
  memcpy(&marker, &kMarker, sizeof marker);
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) x[i][j][0] = x[i][j][1] = marker;
  }
}

void compare(const char* how, fftw_complex** x, int rows, int cols, int row_orientation,
             const std::vector<std::vector<double>>& ref) {
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      // Line k, number n of the text; a row-oriented file keeps lines as signals.
      const int k = row_orientation ? i : j;
      const int n = row_orientation ? j : i;
      if (bits(x[i][j][0]) == kMarker) fail("%s: x[%d][%d] was never written", how, i, j);
      if (bits(x[i][j][0]) != bits(ref[k][n]))
        fail("%s: x[%d][%d] differs from number %d of line %d", how, i, j, n, k);
      if (bits(x[i][j][1]) != 0) fail("%s: x[%d][%d] has a nonzero imaginary part", how, i, j);
    }
  }
}

// The one read of the tool: the values it keeps, loaded as the tool loads them.
void check_kept(std::vector<char>* buf, const std::vector<std::vector<double>>& ref, int lines,
                int values, bool load, int rows, int cols, int row_orientation) {
  file_ptr g = open_text(buf);
  matrix_text kept;
  const int st = scan_matrix(g.get(), &kept, true);
  if (st != SCAN_OK) fail("scan_matrix gives status %d", st);
  if (kept.lines != lines || kept.values != values)
    fail("scan_matrix gives %d x %d where mxsize gives %d x %d", kept.lines, kept.values, lines,
         values);
  const size_t n = static_cast<size_t>(lines) * static_cast<size_t>(values);
  if (kept.data.size != n) fail("scan_matrix kept %zu values of %zu", kept.data.size, n);
  if (kept.text_after.size != static_cast<size_t>(lines))
    fail("scan_matrix kept %zu line ends of %d", kept.text_after.size, lines);
  if (!load) return;
  signal_matrix m;
  alloc_matrix(&m, rows, cols, "Couldn't malloc x(%lu bytes).\n",
               "Couldn't fftw_malloc x[0](%lu bytes).\n");
  fill_marker(m.rowp(), rows, cols);
  load_matrix(&kept, m.rowp(), rows, cols, row_orientation);
  if (kept.data.items != nullptr) fail("load_matrix left the kept values allocated");
  compare("load_matrix", m.rowp(), rows, cols, row_orientation, ref);
  free_matrix(&m);
}

void load_and_compare(FILE* f, std::vector<char>* buf, const std::vector<std::vector<double>>& ref,
                      int lines, int values) {
  int rows, cols, row_orientation;
  orient(lines, values, &rows, &cols, &row_orientation);
  if (row_orientation != (lines == 1 || do_transpose))
    fail("orient picks row orientation %d for %d lines", row_orientation, lines);
  if (row_orientation ? rows != lines || cols != values : rows != values || cols != lines)
    fail("orient turned %d x %d into %d x %d", lines, values, rows, cols);
  const int shape = check_shape(lines, values, false);
  if (shape != ((lines == 0 || values == 0) ? SHAPE_NO_DATA : SHAPE_OK))
    fail("check_shape gives %d for %d x %d", shape, lines, values);
  const bool load = shape == SHAPE_OK && static_cast<long long>(rows) * cols <= kMaxElements;
  check_kept(buf, ref, lines, values, load, rows, cols, row_orientation);
  if (!load) return;

  // The reader on its own, on the same scanner.
  signal_matrix m;
  alloc_matrix(&m, rows, cols, "Couldn't malloc x(%lu bytes).\n",
               "Couldn't fftw_malloc x[0](%lu bytes).\n");
  fill_marker(m.rowp(), rows, cols);
  if (fseek(f, 0, SEEK_SET) != 0) fail("cannot rewind the memory stream");
  reader_fn reader = row_orientation ? read_file_transpose : read_file_normal;
  const int st = reader(f, m.rowp(), rows, cols);
  if (st != SCAN_OK)
    fail("reader (row orientation %d) gives status %d on an unchanged file", row_orientation, st);
  compare(row_orientation ? "read_file_transpose" : "read_file_normal", m.rowp(), rows, cols,
          row_orientation, ref);
  free_matrix(&m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  file_ptr f = open_text(&buf);

  int lines = -1, values = -1;
  const int st = mxsize(f.get(), &lines, &values);
  if (st != SCAN_OK) fail("mxsize gives status %d", st);
  if (ftell(f.get()) != 0) fail("mxsize left the stream at %ld", ftell(f.get()));

  const auto ref = reference(text);
  const long long want_values = ref.empty() ? 0 : static_cast<long long>(ref[0].size());
  if (lines != static_cast<long long>(ref.size()) || values != want_values)
    fail("mxsize gives %d x %d where sscanf gives %zu x %lld", lines, values, ref.size(),
         want_values);

  // Both orientation settings, since a one-line file ignores the setting.
  const int saved_transpose = do_transpose, saved_quiet = quiet;
  quiet = 1;
  for (int t = 0; t <= 1; ++t) {
    do_transpose = t;
    load_and_compare(f.get(), &buf, ref, lines, values);
  }
  do_transpose = saved_transpose;
  quiet = saved_quiet;
  return 0;
}
