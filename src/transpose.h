// Placing numbers read line after line into signal rows across the lines (a column file's
// transpose), in tiles that stay in the cache, so that neither side is walked with a long stride.
#pragma once

#include <fftw3.h>

// Lines first .. last-1 of v, which holds `values` numbers a line, line after line: number j of
// line k becomes sample k of signal signal_of[j] in x (null signal_of: signal j; a negative
// entry: the number is not placed), with imaginary part 0.
void place_across(const double* v, int values, long long first, long long last,
                  const int* signal_of, fftw_complex** x);
// Numbers first .. last-1 of v, counted line after line: line k becomes signal k, its numbers
// the samples, so that even one long line can be shared.
void place_along(const double* v, int values, long long first, long long last, fftw_complex** x);
