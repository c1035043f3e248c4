#include "common.h"

#include <string.h>

#include "mypath.h"

int checkline(const char* line) {
  long long n = 0;
  read_numbers(line, line + strlen(line), nullptr, &n, nullptr);
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

int mxsize(FILE* file, int* rows, int* cols) {
  matrix_text m;
  int status = scan_text(file, &m, false, false, LLONG_MAX);
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
