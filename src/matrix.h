// Signal matrices: rows signals of cols complex samples in one FFTW block, with row pointers.
#pragma once

#include <fftw3.h>

#include "alloc.h"

struct signal_matrix {
  c_array<fftw_complex*> index;
  fftw_block block;
  c_array<double> room;  // instead of block where the matrix was made in offered room
  fftw_complex** rowp() const { return index.get(); }
};

// Allocates rows x cols values (rows * cols < 2^31), not cleared. The messages (a %lu for
// the bytes asked for) end the run when the index or the block cannot be had.
void alloc_matrix(signal_matrix* m, int rows, int cols, const char* index_failed,
                  const char* block_failed);
void free_matrix(signal_matrix* m);

// Room of bytes that a stage is done with, whose first in_place bytes have their pages in place
// (the values once placed), for the next block made in it: where that fits and covers those
// pages, they are not faulted in anew. Held, one at a time, until taken or dropped.
void offer_room(c_array<double> room, size_t bytes, size_t in_place);
void drop_room();
// The offered room for n complex values where they fit and cover its pages in place, in *at at
// an address aligned as FFTW's allocator aligns (so that the transforms planned on it are the
// same); the room is handed over to be held while they are used. Null where they do not fit;
// the room goes either way.
c_array<double> take_room(size_t n, fftw_complex** at);
// As alloc_matrix, but in the offered room where take_room gives it.
void alloc_matrix_in_room(signal_matrix* m, int rows, int cols, const char* index_failed,
                          const char* block_failed);
