#include "common.h"

#include <limits.h>
#include <string.h>

#include "myfgets.h"
#include "mypath.h"
#include "numscan.h"

size_t scan_failed_size = 0;

// Numbers at the start of [s, end), read one after another until the first non-number.
static long long count_numbers(const char* s, const char* end) {
  long long count = 0;
  double v;
  size_t consumed;
  while (scan_number(s, end, &v, &consumed) == 1) {
    ++count;
    s += consumed;
  }
  return count;
}

int checkline(const char* line) {
  long long n = count_numbers(line, line + strlen(line));
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

int mxsize(FILE* file, int* rows, int* cols) {
  line_reader r;
  line_reader_init(&r, file);
  long long expected = -1;
  long long lines = 0;
  int status = SCAN_OK;
  size_t len;
  int st;
  while ((st = line_reader_next(&r, &len)) == LINE_OK) {
    // The line ends at its first NUL byte, as for the C string functions.
    const char* end = static_cast<const char*>(memchr(r.buf, '\0', len + 1));
    long long count = count_numbers(r.buf, end);
    if (expected != -1 && count != expected) break;
    expected = count;
    if (++lines > INT_MAX || count > INT_MAX) {
      status = SCAN_TOO_MANY;
      break;
    }
  }
  if (st == LINE_ERROR) {
    status = SCAN_READ_ERROR;
  } else if (st == LINE_NO_MEMORY) {
    scan_failed_size = r.failed_size;
    status = SCAN_NO_MEMORY;
  }
  line_reader_free(&r);
  *rows = static_cast<int>(lines > INT_MAX ? INT_MAX : lines);
  *cols = static_cast<int>(expected < 0 ? 0 : expected > INT_MAX ? INT_MAX : expected);
  if (status == SCAN_OK || status == SCAN_TOO_MANY) {
    if (fseek(file, 0, SEEK_SET) != 0) status = SCAN_NO_REWIND;
  }
  return status;
}

char* fname(const char* path) {
  static char name[256];
  explode_path(path, nullptr, nullptr, name, nullptr);
  return name;
}
