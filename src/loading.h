// Loading an input file's values into a signal matrix, and the two readers.
#pragma once

#include <fftw3.h>
#include <stdio.h>

#include <vector>

#include "common.h"
#include "matrix.h"

// Signals (rows) and samples (cols) of a file of `lines` lines of `values` numbers. Each
// file's orientation follows from its own shape and --data-in-rows alone.
void orient(int lines, int values, int* rows, int* cols, int* row_orientation);
void swap(int* a, int* b);

enum { SHAPE_OK = 0, SHAPE_NO_DATA, SHAPE_TOO_MANY };
// Whether the scanned shape can be loaded: some values, and fewer than 2^31 of them.
int check_shape(int lines, int values, bool scan_too_many);

// The readers read rows x cols values from the stream into x; they return a scan_status,
// SCAN_OTHER_SHAPE when the text's leading block is not that shape.
using reader_fn = int (*)(FILE* stream, fftw_complex** x, int rows, int cols);
int read_file_transpose(FILE* stream, fftw_complex** x, int rows, int cols);
int read_file_normal(FILE* stream, fftw_complex** x, int rows, int cols);

// Ends the run with the message for a failed read of path; returns for SCAN_OK and
// SCAN_TOO_MANY (the shape check has the message for that).
void check_scan_status(int status, const matrix_text& m, const char* path);
// Fills x in the chosen orientation from the values kept by scan_matrix and lets them go,
// with the progress messages and the same debug trace as the readers. In column orientation
// `fields` (rows of them, 0-based), when given, says which value of a line is signal i.
void load_matrix(matrix_text* m, fftw_complex** x, int rows, int cols, int row_orientation,
                 const int* fields = nullptr);
// Field `field` of every line of m, for a time column.
std::vector<double> field_values(const matrix_text& m, int field);
// The number of signals of x that hold a NaN or infinite sample.
int signals_not_finite(fftw_complex** x, int rows, int cols);
