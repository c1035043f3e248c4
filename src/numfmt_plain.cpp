// The reference build's formatter: the C library's own "%.11g".
#include <stdio.h>

#include "numfmt.h"

char* format_g11(char* p, double v) {
  return p + snprintf(p, kG11Max, "%.11g", v);
}
