#include "matrix.h"

void alloc_matrix(signal_matrix* m, int rows, int cols, const char* index_failed,
                  const char* block_failed) {
  m->index = alloc_array<fftw_complex*>(static_cast<size_t>(rows), index_failed);
  m->block = alloc_complex(static_cast<size_t>(rows) * static_cast<size_t>(cols), block_failed);
  for (int i = 0; i < rows; ++i) m->index[i] = m->block.get() + static_cast<size_t>(i) * cols;
}

void free_matrix(signal_matrix* m) {
  m->block.reset();
  m->index.reset();
}
