// Signal matrices and loading an input file into one.
#pragma once

#include <fftw3.h>
#include <stdio.h>

#include <memory>

struct fftw_free_deleter {
  void operator()(void* p) const { fftw_free(p); }
};
struct c_free_deleter {
  void operator()(void* p) const { free(p); }
};

// rows signals of cols complex samples: one FFTW block and an index of row pointers.
struct signal_matrix {
  std::unique_ptr<fftw_complex*[], c_free_deleter> index;
  std::unique_ptr<fftw_complex[], fftw_free_deleter> block;
  fftw_complex** rowp() const { return index.get(); }
};

// Signals (rows) and samples (cols) of a file of `lines` lines of `values` numbers. Each
// file's orientation follows from its own shape and --data-in-rows alone.
void orient(int lines, int values, int* rows, int* cols, int* row_orientation);
void swap(int* a, int* b);

enum { SHAPE_OK = 0, SHAPE_NO_DATA, SHAPE_TOO_MANY };
// Whether the scanned shape can be loaded: some values, and fewer than 2^31 of them.
int check_shape(int lines, int values, bool scan_too_many);

// Allocates rows x cols values (rows * cols < 2^31); on failure says which and exits 1.
void alloc_matrix(signal_matrix* m, const char* name, int rows, int cols);
void free_matrix(signal_matrix* m);

// The readers fill x from the matrix text; they return a scan_status (common.h).
using reader_fn = int (*)(FILE* stream, fftw_complex** x, int rows, int cols);
int read_file_transpose(FILE* stream, fftw_complex** x, int rows, int cols);
int read_file_normal(FILE* stream, fftw_complex** x, int rows, int cols);
extern reader_fn read_file;

struct kept_values;
// Ends the run with the message for a failed size scan or reader (a scan_status); returns
// only for SCAN_OK and SCAN_TOO_MANY.
void check_scan_status(int status, const char* path);
// Loads the opened file into x in the chosen orientation and closes it; exits 1 on failure.
// Values the size scan kept are taken from there (and freed) instead of reading again.
void load_file(FILE* stream, const char* path, fftw_complex** x, int rows, int cols,
               int row_orientation, kept_values* kept);
