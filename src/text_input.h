// What an input's text says beyond its values: why it holds no data, what it leaves unread, the
// interval of its time column, and the layout of its results (names, separator, time column).
#pragma once

#include <vector>

#include "block_reader.h"

// "No data in %s." with the reason on the line after it, and a hint where one helps.
[[noreturn]] void refuse_no_data(const matrix_text& m, const char* path);
// The warnings about text the matrix leaves out: lines after its end that hold numbers, and
// commas that do not separate numbers without --csv.
void warn_unread_text(const matrix_text& m, const char* path);
// The interval of evenly sampled times: the median step. A time that is missing, does not
// increase or breaks the even steps ends the file with the line where it happens.
double clock_interval(const std::vector<double>& times, const matrix_text& m, const char* path);
// The results' layout for this input (result_layout): the dialect of --csv, the line of names
// of the time column and the signal fields, and the time column.
void set_result_layout(const matrix_text& m, const std::vector<int>& fields,
                       std::vector<double> times);
