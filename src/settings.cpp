#include "settings.h"

#include <stdio.h>

int output_re = 1;
int output_im = 1;
int output_abs = 1;
int output_theta = 1;
int output_freq = 1;
int quiet = 0;
int debug = 0;
int do_transpose = 0;
int timing = 0;
int use_wisdom = 0;
double tstep = 1.0;
int unwrap = 0;
int cycles = 0;
int pad = PAD_NONE;
int gaps = 0;
const char* output_dir = nullptr;
int jobs = 1;
int csv = 0;
char csv_separator = ',';
int names_first = 0;
int clock_field = 0;
int keep_going = 0;
int interval_given = 0;
int output_format = FORMAT_TEXT;

void progress(const char* text) {
  if (quiet) return;
  fputs(text, stderr);
  fflush(stderr);
}
