// The reference build's scanner: the C library's own sscanf, one call per number.
#include <stdio.h>

#include "numscan.h"

int scan_number(const char* s, const char*, double* v, size_t* consumed) {
  int n = 0;
  int r = sscanf(s, "%lg%n", v, &n);
  if (r == 1) *consumed = static_cast<size_t>(n);
  return r;
}
