#include "numfmt.h"

#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <bit>
#include <limits>
#include <random>
#include <string>

// The same formatter as built for machines without SSE2 (numfmt_portable.cpp).
char* format_g11_portable(char* p, double v);

namespace {

// Compares format_g11 with the C library's "%.11g" and reports the first few differences.
class Differ {
 public:
  ~Differ() {
    EXPECT_EQ(mismatches_, 0) << "of " << count_ << " values";
    ::testing::Test::RecordProperty("values", std::to_string(count_));
  }

  void check(double v) {
    ++count_;
    char want[64];
    int n = snprintf(want, sizeof want, "%.11g", v);
    check(v, want, n, format_g11, "format_g11");
    check(v, want, n, format_g11_portable, "the portable format_g11");
  }

  void check(double v, const char* want, int n, char* (*format)(char*, double), const char* name) {
    char got[kG11Max + kGuard];
    memset(got + kG11Max, kFill, kGuard);
    char* end = format(got, v);
    bool in_room = end >= got && end <= got + kG11Max;
    bool guard_ok = true;
    for (int i = kG11Max; i < kG11Max + kGuard; ++i) guard_ok = guard_ok && got[i] == kFill;
    if (in_room && guard_ok && end - got == n && memcmp(got, want, n) == 0) return;
    if (++mismatches_ > 20) return;
    std::string text = in_room ? std::string(got, end) : std::string("<end out of room>");
    ADD_FAILURE() << "bits 0x" << std::hex << std::bit_cast<uint64_t>(v) << ": printf \"" << want
                  << "\", " << name << " \"" << text << "\""
                  << (guard_ok ? "" : " (wrote past room)");
  }

  // v and its neighbours up to ulps steps away on both sides, for both signs.
  void around(double v, int ulps) {
    double up = v, down = v;
    check(v);
    check(-v);
    for (int i = 0; i < ulps; ++i) {
      up = nextafter(up, INFINITY);
      down = nextafter(down, -INFINITY);
      check(up);
      check(-up);
      check(down);
      check(-down);
    }
  }

 private:
  static constexpr int kGuard = 8;
  static constexpr char kFill = '\x7f';
  long count_ = 0;
  long mismatches_ = 0;
};

double from_bits(uint64_t b) {
  return std::bit_cast<double>(b);
}

double parse(const char* s) {
  return strtod(s, nullptr);
}

constexpr uint64_t kSign = 1ull << 63;
constexpr uint64_t kExpMask = 0x7ffull << 52;
constexpr uint64_t kFracMask = (1ull << 52) - 1;

TEST(FormatG11, ZerosInfinitiesAndNans) {
  Differ d;
  d.check(0.0);
  d.check(-0.0);
  d.check(INFINITY);
  d.check(-INFINITY);
  d.check(std::numeric_limits<double>::quiet_NaN());
  d.check(-std::numeric_limits<double>::quiet_NaN());
  d.check(std::numeric_limits<double>::signaling_NaN());
  d.check(-std::numeric_limits<double>::signaling_NaN());
  // NaNs with payloads, quiet and signalling, of both signs.
  std::mt19937_64 rng(11);
  for (int i = 0; i < 20000; ++i) {
    uint64_t frac = rng() & kFracMask;
    if (frac == 0) frac = 1;
    d.check(from_bits(kExpMask | frac));
    d.check(from_bits(kSign | kExpMask | frac));
  }
}

TEST(FormatG11, RandomBitPatterns) {
  Differ d;
  std::mt19937_64 rng(42);
  for (int i = 0; i < 2000000; ++i) d.check(from_bits(rng()));
}

// Every binary exponent of the normal range, with its extreme and random mantissas: each power
// of ten the formatter scales by, on both sides of where the decimal exponent steps.
TEST(FormatG11, EveryBinaryExponent) {
  Differ d;
  std::mt19937_64 rng(23);
  for (uint64_t biased = 1; biased <= 2046; ++biased) {
    uint64_t base = biased << 52;
    const uint64_t ends[] = {0, 1, kFracMask - 1, kFracMask};
    for (uint64_t frac : ends) {
      d.check(from_bits(base | frac));
      d.check(from_bits(kSign | base | frac));
    }
    for (int i = 0; i < 450; ++i) d.check(from_bits((rng() & (kSign | kFracMask)) | base));
  }
}

// The magnitudes that samples and their transforms mostly have.
TEST(FormatG11, HotRanges) {
  Differ d;
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> wide(-1000.0, 1000.0), unit(-1.0, 1.0);
  for (int i = 0; i < 2000000; ++i) d.check(wide(rng));
  for (int i = 0; i < 500000; ++i) d.check(unit(rng));
  // Log-uniform over [1e-6, 1e13), both signs: all fixed-form lengths and the switch points.
  std::uniform_real_distribution<double> decades(-6.0, 13.0);
  for (int i = 0; i < 1000000; ++i) {
    double v = pow(10.0, decades(rng));
    d.check(i % 2 ? v : -v);
  }
}

TEST(FormatG11, AroundPowersOfTen) {
  Differ d;
  char s[32];
  for (int k = -323; k <= 308; ++k) {
    snprintf(s, sizeof s, "1e%d", k);
    d.around(parse(s), 40);
  }
}

// Halfway points between neighbouring 11-digit results, where printf's rounding decides.
TEST(FormatG11, RoundingPoints) {
  Differ d;
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<long long> mantissa(10000000000LL, 99999999999LL);
  char s[48];
  for (int k = -323; k <= 308; ++k) {
    const long long fixed[] = {99999999999LL, 10000000000LL, 12345678901LL};
    for (long long m : fixed) {
      snprintf(s, sizeof s, "%lld5e%d", m, k - 11);
      d.around(parse(s), 8);
    }
    for (int i = 0; i < 150; ++i) {
      snprintf(s, sizeof s, "%lld5e%d", mantissa(rng), k - 11);
      d.around(parse(s), 1);
    }
  }
}

// Doubles a few steps from a halfway point in the magnitudes samples mostly have: the short
// product decides all but the nearest, so both sides of where it hands over are here.
TEST(FormatG11, NearHalfwayInHotRanges) {
  Differ d;
  std::mt19937_64 rng(21);
  std::uniform_int_distribution<long long> mantissa(10000000000LL, 99999999999LL);
  char s[48];
  for (int k = -6; k <= 12; ++k) {
    for (int i = 0; i < 4000; ++i) {
      snprintf(s, sizeof s, "%lld5e%d", mantissa(rng), k - 11);
      d.around(parse(s), 4);
    }
  }
}

// Values whose decimal expansion ends in a 5 right after the 11th digit, so they lie exactly on
// a halfway point.
TEST(FormatG11, ExactTies) {
  Differ d;
  std::mt19937_64 rng(99);
  std::uniform_int_distribution<uint64_t> eleven(10000000000ULL, 99999999999ULL);
  // Integers (10 D + 5) * 10^m, exact while the odd factor stays below 2^53.
  for (int i = 0; i < 20000; ++i) {
    uint64_t odd = eleven(rng) * 10 + 5;
    for (int m = 0; m <= 8 && odd < (1ull << 53); ++m, odd *= 5) d.around(ldexp(odd, m), 1);
  }
  // k + o / 2^f, with k of 12 - f digits and o odd: f fraction digits ending in 5.
  for (int f = 1; f <= 12; ++f) {
    uint64_t lo = f == 12 ? 0 : 1;
    for (int i = 12 - f; i > 1; --i) lo *= 10;
    uint64_t hi = f == 12 ? 0 : lo * 10 - 1;
    std::uniform_int_distribution<uint64_t> whole(lo, hi);
    std::uniform_int_distribution<uint64_t> odd(0, (1ull << (f - 1)) - 1);
    for (int i = 0; i < 10000; ++i) {
      uint64_t num = (whole(rng) << f) + 2 * odd(rng) + 1;
      d.around(ldexp(static_cast<double>(num), -f), 1);
    }
  }
  // k + 0.5 for a run of k from 1e10 and just below 1e11.
  for (uint64_t k = 10000000000ULL; k < 10000020000ULL; ++k) d.check(k + 0.5);
  for (uint64_t k = 99999980000ULL; k < 100000000000ULL; ++k) d.check(k + 0.5);
}

TEST(FormatG11, Integers) {
  Differ d;
  for (int i = 0; i <= 100000; ++i) d.check(i);
  for (int e = 0; e <= 1023; ++e) d.around(ldexp(1.0, e), 2);
  double p = 1;
  for (int k = 0; k <= 22; ++k, p *= 10) {
    d.around(p - 1, 2);
    d.around(p + 1, 2);
  }
  std::mt19937_64 rng(3);
  for (int i = 0; i < 300000; ++i) {
    int bits = 1 + static_cast<int>(rng() % 64);
    uint64_t n = bits == 64 ? rng() : rng() & ((1ull << bits) - 1);
    d.check(static_cast<double>(n));
    d.check(-static_cast<double>(n));
  }
}

TEST(FormatG11, Subnormals) {
  Differ d;
  double tiny = std::numeric_limits<double>::denorm_min();
  for (int i = 1; i <= 20000; ++i) d.check(i * tiny);
  d.around(std::numeric_limits<double>::min(), 1000);
  std::mt19937_64 rng(17);
  for (int i = 0; i < 300000; ++i) {
    uint64_t frac = rng() & kFracMask;
    d.check(from_bits(frac));
    d.check(from_bits(kSign | frac));
  }
}

// Doubles nearest to decimals of 1 to 17 digits, so results with trailing zeros cut off.
TEST(FormatG11, ShortDecimals) {
  Differ d;
  std::mt19937_64 rng(8);
  std::uniform_real_distribution<double> mant(1.0, 10.0);
  std::uniform_int_distribution<int> exp10(-310, 308);
  std::uniform_int_distribution<int> digits(0, 16);
  char s[48];
  for (int i = 0; i < 500000; ++i) {
    snprintf(s, sizeof s, "%.*fe%d", digits(rng), mant(rng), exp10(rng));
    d.check(parse(s));
  }
  // Where the output switches between fixed and exponent forms.
  std::uniform_real_distribution<double> small(1e-6, 1e-3), large(1e9, 1e12);
  for (int i = 0; i < 100000; ++i) {
    d.check(small(rng));
    d.check(large(rng));
  }
}

}  // namespace
