#include "fatal.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

static bool ends_file = false;

void fatal_ends_file(bool on) {
  ends_file = on;
}

void fatal(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  if (ends_file) throw file_failed{};
  exit(1);
}
