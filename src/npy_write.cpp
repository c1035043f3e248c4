#include "npy_write.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <bit>

// The header around a shape written as Python writes a tuple.
static std::string header_of(const char* shape) {
  char dict[128];
  snprintf(dict, sizeof dict, "{'descr': '<f8', 'fortran_order': False, 'shape': %s, }", shape);
  std::string h = std::string("\x93NUMPY\x01\x00", 8) + "  " + dict;
  const size_t total = (h.size() + 1 + 63) / 64 * 64;
  h.append(total - 1 - h.size(), ' ');
  h += '\n';
  const size_t len = total - 10;
  h[8] = static_cast<char>(len & 0xff);
  h[9] = static_cast<char>(len >> 8);
  return h;
}

std::string npy_header(long long samples, long long signals) {
  char shape[64];
  snprintf(shape, sizeof shape, "(%lld, %lld)", samples, signals);
  return header_of(shape);
}

std::string npy_vector_header(long long n) {
  char shape[64];
  snprintf(shape, sizeof shape, "(%lld,)", n);
  return header_of(shape);
}

char* put_float64(char* p, double v) {
  memcpy(p, &v, sizeof v);
  if constexpr (std::endian::native == std::endian::big) std::reverse(p, p + sizeof v);
  return p + sizeof v;
}
