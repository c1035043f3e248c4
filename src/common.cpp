#include "common.h"

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "myfgets.h"
#include "mypath.h"
#include "numscan.h"

size_t scan_failed_size = 0;

// Appends v, growing the store; gives up keeping (and frees it) when memory runs out.
static void keep_value(kept_values* kept, double v) {
  if (kept->count == kept->cap) {
    size_t want = kept->cap == 0 ? 1 << 16 : kept->cap * 2;
    double* p = static_cast<double*>(realloc(kept->data, want * sizeof(double)));
    if (p == nullptr) {
      free(kept->data);
      *kept = kept_values{};
      kept->cap = SIZE_MAX;  // marks "not kept": nothing more is stored
      return;
    }
    kept->data = p;
    kept->cap = want;
  }
  kept->data[kept->count++] = v;
}

// Numbers at the start of [s, end), read one after another until the first non-number;
// each is kept too when kept is given and still keeping.
static long long count_numbers(const char* s, const char* end, kept_values* kept) {
  long long count = 0;
  double v;
  size_t consumed;
  while (scan_number(s, end, &v, &consumed) == 1) {
    ++count;
    s += consumed;
    if (kept != nullptr && kept->cap != SIZE_MAX) keep_value(kept, v);
  }
  return count;
}

int checkline(const char* line) {
  long long n = count_numbers(line, line + strlen(line), nullptr);
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

int mxsize(FILE* file, int* rows, int* cols) {
  return size_scan(file, rows, cols, nullptr);
}

int size_scan(FILE* file, int* rows, int* cols, kept_values* kept) {
  line_reader r;
  line_reader_init(&r, file);
  long long expected = -1;
  long long lines = 0;
  int status = SCAN_OK;
  char* line;
  size_t len;
  int st;
  while ((st = line_reader_next(&r, &line, &len)) == LINE_OK) {
    // The line ends at its first NUL byte, as for the C string functions.
    const char* end = static_cast<const char*>(memchr(line, '\0', len + 1));
    const size_t line_start = kept != nullptr ? kept->count : 0;
    long long count = count_numbers(line, end, kept);
    if (expected != -1 && count != expected) {
      if (kept != nullptr && kept->data != nullptr) kept->count = line_start;  // not in the block
      break;
    }
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
  if (kept != nullptr && (status != SCAN_OK || kept->data == nullptr)) {
    free(kept->data);
    *kept = kept_values{};
  }
  return status;
}

char* fname(const char* path) {
  static char name[256];
  explode_path(path, nullptr, nullptr, name, nullptr);
  return name;
}
