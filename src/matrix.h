// Signal matrices: rows signals of cols complex samples in one FFTW block, with row pointers.
#pragma once

#include <fftw3.h>

#include "alloc.h"

struct signal_matrix {
  c_array<fftw_complex*> index;
  fftw_block block;
  fftw_complex** rowp() const { return index.get(); }
};

// Allocates rows x cols values (rows * cols < 2^31), not cleared. The messages (a %lu for
// the bytes asked for) end the run when the index or the block cannot be had.
void alloc_matrix(signal_matrix* m, int rows, int cols, const char* index_failed,
                  const char* block_failed);
void free_matrix(signal_matrix* m);
