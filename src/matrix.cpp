#include "matrix.h"

#include <stdint.h>

#include "huge_pages.h"

// What FFTW's allocator gives for its widest vectors or more: every row starts where it would.
constexpr size_t kRoomAlignment = 64;

static c_array<double> offered;
static size_t offered_bytes = 0;

void alloc_matrix(signal_matrix* m, int rows, int cols, const char* index_failed,
                  const char* block_failed) {
  m->index = alloc_array<fftw_complex*>(static_cast<size_t>(rows), index_failed);
  m->block = alloc_complex(static_cast<size_t>(rows) * static_cast<size_t>(cols), block_failed);
  for (int i = 0; i < rows; ++i) m->index[i] = m->block.get() + static_cast<size_t>(i) * cols;
}

void free_matrix(signal_matrix* m) {
  m->block.reset();
  m->room.reset();
  m->index.reset();
}

void offer_room(c_array<double> room, size_t bytes) {
  offered = std::move(room);
  offered_bytes = offered == nullptr ? 0 : bytes;
}

void drop_room() {
  offer_room(nullptr, 0);
}

void alloc_matrix_in_room(signal_matrix* m, int rows, int cols, const char* index_failed,
                          const char* block_failed) {
  const size_t bytes = static_cast<size_t>(rows) * static_cast<size_t>(cols) * sizeof(fftw_complex);
  if (offered_bytes < bytes + kRoomAlignment) {
    drop_room();
    return alloc_matrix(m, rows, cols, index_failed, block_failed);
  }
  m->index = alloc_array<fftw_complex*>(static_cast<size_t>(rows), index_failed);
  char* const base = reinterpret_cast<char*>(offered.get());
  const size_t skip = (kRoomAlignment - reinterpret_cast<uintptr_t>(base) % kRoomAlignment) %
                      kRoomAlignment;
  // The part the room's last user did not touch is faulted in as a new block's would be.
  advise_huge_pages(base, offered_bytes, skip + bytes);
  fftw_complex* const first = reinterpret_cast<fftw_complex*>(base + skip);
  m->room = std::move(offered);
  offered_bytes = 0;
  for (int i = 0; i < rows; ++i) m->index[i] = first + static_cast<size_t>(i) * cols;
}
