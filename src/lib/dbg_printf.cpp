#include "dbg_printf.h"

#include <stdarg.h>
#include <stdio.h>

void dbg__printf(const char* file, int line, const char* fmt, ...) {
  // Everything written before the trace must already be out, whichever stream it went to.
  fflush(stdout);
  fflush(stderr);
  fprintf(stderr, "Debug: %s(%d) ", file, line);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fflush(stderr);
}
