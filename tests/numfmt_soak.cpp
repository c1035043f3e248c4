// Long differential run of format_g11 against the C library's "%.11g", started by hand:
//   numfmt_soak COUNT [SEED]
// Pieces with different seeds cover different values, so they can run one after another.
#include <errno.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <bit>
#include <random>

#include "numfmt.h"

namespace {

bool parse_count(const char* s, unsigned long long* out) {
  char* end;
  errno = 0;
  *out = strtoull(s, &end, 10);
  return errno == 0 && end != s && *end == '\0' && s[0] != '-';
}

// Cycles through the kinds of values: raw bit patterns (every class, NaNs included), the sample
// range the tool mostly sees, magnitudes around the fixed/exponent switch, and doubles a few ulps
// from a halfway point between two 11-digit results.
double make_value(unsigned long long i, std::mt19937_64& rng) {
  static const double kPow10[] = {1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9,
                                  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,
                                  1,     1e1,   1e2,   1e3,   1e4,   1e5,   1e6};
  uint64_t r = rng();
  switch (i % 4) {
    case 0:
      return std::bit_cast<double>(r);
    case 1:
      return (static_cast<double>(r >> 11) * 0x1p-53 - 0.5) * 2000;
    case 2: {
      // Log-uniform over [1e-6, 1e13), either sign.
      double mag = pow(10.0, static_cast<double>(r >> 12) * 0x1p-52 * 19 - 6);
      return r & 1 ? -mag : mag;
    }
    default: {
      uint64_t digits = 10000000000ull + r % 90000000000ull;
      uint64_t pick = rng();
      double v = static_cast<double>(digits * 10 + 5) * kPow10[pick % 23];
      for (int steps = static_cast<int>((pick >> 8) & 7) - 3; steps != 0;
           steps += steps < 0 ? 1 : -1)
        v = nextafter(v, steps < 0 ? 0.0 : INFINITY);
      return (pick >> 12) & 1 ? -v : v;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long long count = 0, seed = 1;
  if (argc < 2 || argc > 3 || !parse_count(argv[1], &count) ||
      (argc == 3 && !parse_count(argv[2], &seed))) {
    fprintf(stderr, "usage: %s COUNT [SEED]  (COUNT and SEED are non-negative integers)\n",
            argv[0]);
    return 2;
  }
  std::mt19937_64 rng(seed);
  unsigned long long mismatches = 0;
  for (unsigned long long i = 0; i < count; ++i) {
    double v = make_value(i, rng);
    char want[64];
    int n = snprintf(want, sizeof want, "%.11g", v);
    char got[kG11Max];
    char* end = format_g11(got, v);
    if (end - got == n && memcmp(got, want, n) == 0) continue;
    if (++mismatches <= 20) {
      int len = end >= got && end <= got + kG11Max ? static_cast<int>(end - got) : 0;
      printf("mismatch: bits 0x%016llx printf \"%s\" format_g11 \"%.*s\"\n",
             static_cast<unsigned long long>(std::bit_cast<uint64_t>(v)), want, len, got);
    }
  }
  printf("seed %llu: %llu values, %llu mismatches\n", seed, count, mismatches);
  return mismatches == 0 ? 0 : 1;
}
