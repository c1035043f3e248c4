#include "matrix.h"

#include <stdint.h>

#include "huge_pages.h"

// What FFTW's allocator gives for its widest vectors or more: every row starts where it would.
constexpr size_t kRoomAlignment = 64;

static c_array<double> offered;
static size_t offered_bytes = 0, offered_in_place = 0;

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

void offer_room(c_array<double> room, size_t bytes, size_t in_place) {
  offered = std::move(room);
  offered_bytes = offered == nullptr ? 0 : bytes;
  offered_in_place = in_place;
}

void drop_room() {
  offer_room(nullptr, 0, 0);
}

c_array<double> take_room(size_t n, fftw_complex** at) {
  const size_t bytes = n * sizeof(fftw_complex);
  *at = nullptr;
  // A smaller block would hold pages it does not use, which the room's last user let go.
  if (offered_bytes < bytes + kRoomAlignment || bytes < offered_in_place) {
    drop_room();
    return nullptr;
  }
  char* const base = reinterpret_cast<char*>(offered.get());
  const size_t skip =
      (kRoomAlignment - reinterpret_cast<uintptr_t>(base) % kRoomAlignment) % kRoomAlignment;
  // The part the room's last user did not touch is faulted in as a new block's would be: with
  // small pages once huge pages have stopped paying, whatever the room was advised when made,
  // and shared between the threads by itself, not with the pages already in place.
  if (huge_pages_offered(offered_bytes))
    advise_huge_pages(base, offered_bytes, skip + bytes);
  else
    fault_in_small(base + offered_in_place, skip + bytes - offered_in_place);
  *at = reinterpret_cast<fftw_complex*>(base + skip);
  offered_bytes = 0;
  return std::move(offered);
}

void alloc_matrix_in_room(signal_matrix* m, int rows, int cols, const char* index_failed,
                          const char* block_failed) {
  fftw_complex* first;
  c_array<double> room = take_room(static_cast<size_t>(rows) * static_cast<size_t>(cols), &first);
  if (room == nullptr) return alloc_matrix(m, rows, cols, index_failed, block_failed);
  m->index = alloc_array<fftw_complex*>(static_cast<size_t>(rows), index_failed);
  m->room = std::move(room);
  for (int i = 0; i < rows; ++i) m->index[i] = first + static_cast<size_t>(i) * cols;
}
