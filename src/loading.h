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

// Allocates rows x cols values (rows * cols < 2^31); on failure says which and exits 1.
void alloc_matrix(signal_matrix* m, const char* name, int rows, int cols);
void free_matrix(signal_matrix* m);

// The readers fill x from the matrix text; they return a scan_status (common.h).
using reader_fn = int (*)(FILE* stream, fftw_complex** x, int rows, int cols);
int read_file_transpose(FILE* stream, fftw_complex** x, int rows, int cols);
int read_file_normal(FILE* stream, fftw_complex** x, int rows, int cols);
extern reader_fn read_file;

// Loads the opened file into x in the chosen orientation and closes it; exits 1 on failure.
void load_file(FILE* stream, const char* path, fftw_complex** x, int rows, int cols,
               int row_orientation);
