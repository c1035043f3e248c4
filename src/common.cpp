#include "common.h"

#include <stdlib.h>
#include <string.h>

#include "myfgets.h"
#include "mypath.h"
#include "numscan.h"

// Numbers at the start of [s, end), read one after another until the first non-number.
// Each is appended to *keep when given; *text_after tells whether a non-number stopped
// the line (rather than its end).
static long long count_numbers(const char* s, const char* end, matrix_text* keep, bool* text_after,
                               int* status) {
  long long count = 0;
  double v;
  size_t consumed;
  int r;
  while ((r = scan_number(s, end, &v, &consumed)) == 1) {
    ++count;
    s += consumed;
    // Past INT_MAX values the shape is refused anyway; they need not be kept.
    if (keep != nullptr && keep->data.size < INT_MAX && !keep->data.push(v, &keep->failed_size)) {
      *status = SCAN_NO_MEMORY;
      break;
    }
  }
  *text_after = r == 0;
  return count;
}

int checkline(const char* line) {
  bool text_after;
  int status = SCAN_OK;
  long long n = count_numbers(line, line + strlen(line), nullptr, &text_after, &status);
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

static int scan(FILE* file, matrix_text* m, bool keep, bool trace, long long max_lines) {
  line_reader r;
  line_reader_init(&r, file);
  long long expected = -1;
  long long lines = 0;
  int status = SCAN_OK;
  char* line;
  size_t len;
  int st = LINE_OK;
  while (lines < max_lines && (st = line_reader_next(&r, &line, &len)) == LINE_OK) {
    // The line ends at its first NUL byte, as for the C string functions.
    const char* end = static_cast<const char*>(memchr(line, '\0', len + 1));
    const size_t line_start = m->data.size;
    bool text_after = false;
    long long count = count_numbers(line, end, keep ? m : nullptr, &text_after, &status);
    if (status != SCAN_OK) break;
    if (expected != -1 && count != expected) {
      m->data.size = line_start;  // not in the block
      break;
    }
    expected = count;
    if (++lines > INT_MAX || count > INT_MAX) {
      status = SCAN_TOO_MANY;
      break;
    }
    if (trace && !m->text_after.push(text_after, &m->failed_size)) {
      status = SCAN_NO_MEMORY;
      break;
    }
  }
  if (st == LINE_ERROR) {
    status = SCAN_READ_ERROR;
  } else if (st == LINE_NO_MEMORY) {
    m->failed_size = r.failed_size;
    status = SCAN_NO_MEMORY;
  }
  line_reader_free(&r);
  m->lines = static_cast<int>(lines > INT_MAX ? INT_MAX : lines);
  m->values = static_cast<int>(expected < 0 ? 0 : expected > INT_MAX ? INT_MAX : expected);
  return status;
}

int scan_matrix(FILE* file, matrix_text* m, bool trace, long long max_lines) {
  return scan(file, m, true, trace, max_lines);
}

int mxsize(FILE* file, int* rows, int* cols) {
  matrix_text m;
  int status = scan(file, &m, false, false, LLONG_MAX);
  *rows = m.lines;
  *cols = m.values;
  if ((status == SCAN_OK || status == SCAN_TOO_MANY) && fseek(file, 0, SEEK_SET) != 0)
    status = SCAN_NO_REWIND;
  return status;
}

char* fname(const char* path) {
  static char name[256];
  explode_path(path, nullptr, nullptr, name, nullptr);
  return name;
}
