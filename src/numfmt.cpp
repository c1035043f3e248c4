#include "numfmt.h"

#include <stdint.h>
#include <string.h>

#include <array>
#include <bit>
#include <charconv>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using u128 = unsigned __int128;

// 10^q for q in [kMinQ, kMaxQ] as P * 2^g with P in [2^127, 2^128) truncated (never above).
// q = 10 - floor(log10 v) over all finite doubles, subnormals included, stays in this range.
constexpr int kMinQ = -297;
constexpr int kMaxQ = 334;

struct Pow10 {
  uint64_t hi, lo;
  int g;
};

// A 1024-bit number in 16 words, little end first, for building the table exactly.
struct Big {
  uint64_t w[16] = {};
  constexpr void mul5() {
    uint64_t carry = 0;
    for (uint64_t& x : w) {
      u128 t = static_cast<u128>(x) * 5 + carry;
      x = static_cast<uint64_t>(t);
      carry = static_cast<uint64_t>(t >> 64);
    }
  }
  // floor(floor(y) / 5) == floor(y / 5), so repeated division stays exact.
  constexpr void div5() {
    uint64_t rem = 0;
    for (int i = 15; i >= 0; --i) {
      u128 t = (static_cast<u128>(rem) << 64) | w[i];
      w[i] = static_cast<uint64_t>(t / 5);
      rem = static_cast<uint64_t>(t % 5);
    }
  }
  // Top 128 bits, truncated, as P * 2^t with P normalised.
  constexpr Pow10 top(int extra_exp) const {
    int i = 15;
    while (w[i] == 0) --i;
    int len = 64 * i + 64 - std::countl_zero(w[i]);
    int t = len - 128;
    u128 p = 0;
    for (int bit = len - 1; bit >= len - 128; --bit) {
      bool set = bit >= 0 && ((w[bit / 64] >> (bit % 64)) & 1);
      p = (p << 1) | set;
    }
    return {static_cast<uint64_t>(p >> 64), static_cast<uint64_t>(p), t + extra_exp};
  }
};

constexpr std::array<Pow10, kMaxQ - kMinQ + 1> make_pow10() {
  std::array<Pow10, kMaxQ - kMinQ + 1> table{};
  Big five;  // 5^q, exact
  five.w[0] = 1;
  for (int q = 0; q <= kMaxQ; ++q, five.mul5()) table[q - kMinQ] = five.top(q);
  Big inv;  // floor(2^1023 / 5^q)
  inv.w[15] = 1ull << 63;
  for (int q = 1; q <= -kMinQ; ++q) {
    inv.div5();
    table[-q - kMinQ] = inv.top(-q - 1023);
  }
  return table;
}

constexpr auto kPow10 = make_pow10();

constexpr char kDigits2[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

static_assert(std::endian::native == std::endian::little, "digit strings are built in registers");

// "e", the sign and two or three digits of k, without a branch: the pair lands over the
// hundreds digit when there is none.
inline char* write_exponent(char* p, int k) {
  p[0] = 'e';
  p[1] = k < 0 ? '-' : '+';
  unsigned ak = k < 0 ? -k : k;
  int wide = ak >= 100;
  p[2] = static_cast<char>('0' + ak / 100);
  memcpy(p + 2 + wide, kDigits2 + 2 * (ak % 100), 2);
  return p + 4 + wide;
}

// "000" to "999" as three bytes, first digit lowest.
constexpr std::array<uint32_t, 1000> make_digits3() {
  std::array<uint32_t, 1000> t{};
  for (uint32_t i = 0; i < 1000; ++i)
    t[i] = ('0' + i / 100) | ('0' + i / 10 % 10) << 8 | ('0' + i % 10) << 16;
  return t;
}

constexpr auto kDigits3 = make_digits3();

#if defined(__SSE2__)

// The 11 digits of n, 10^10 <= n < 10^11, as text in bytes 0 to 10 and '0' in 11 to 15: the
// first three from the table, the last eight from n mod 10^8 in 16-bit lanes, its two halves
// of four digits each divided by 1000, 100, 10 and 1 at once (high halves of products, exact
// below 10^4), each quotient less ten times the one before it.
[[gnu::always_inline]] inline __m128i digits11(uint64_t n) {
  uint64_t top = n / 100000000;
  uint32_t low = static_cast<uint32_t>(n - top * 100000000);
  const __m128i v = _mm_cvtsi32_si128(static_cast<int>(low));
  // low / 10^4 as low (2^40 / 10^4 rounded up) / 2^40, exact below 10^8.
  const __m128i hi4 = _mm_srli_epi64(_mm_mul_epu32(v, _mm_set1_epi32(109951163)), 40);
  const __m128i lo4 = _mm_sub_epi32(v, _mm_mul_epu32(hi4, _mm_set1_epi32(10000)));
  // Four lanes of each half x, times 4 so that two high halves give floor(x / 1000) as
  // x 8389 / 2^23, floor(x / 100) as x 5243 / 2^19, floor(x / 10) as x 13108 / 2^17, and x.
  __m128i x = _mm_slli_epi64(_mm_unpacklo_epi16(hi4, lo4), 2);
  x = _mm_unpacklo_epi16(x, x);
  x = _mm_unpacklo_epi32(x, x);
  x = _mm_mulhi_epu16(x, _mm_setr_epi16(8389, 5243, 13108, -32768, 8389, 5243, 13108, -32768));
  x = _mm_mulhi_epu16(
      x, _mm_setr_epi16(1 << 7, 1 << 11, 1 << 13, -32768, 1 << 7, 1 << 11, 1 << 13, -32768));
  x = _mm_sub_epi16(x, _mm_slli_epi64(_mm_mullo_epi16(x, _mm_set1_epi16(10)), 16));
  const __m128i d = _mm_add_epi8(_mm_packus_epi16(x, _mm_setzero_si128()), _mm_set1_epi8('0'));
  return _mm_or_si128(_mm_slli_si128(d, 3), _mm_cvtsi32_si128(static_cast<int>(kDigits3[top])));
}

// The fixed layout of each k in [-4, 10], at k + 4: for k >= 0 the bytes before the dot (the
// first k + 1), the bytes after it and the dot; for k < 0 every byte, as the digits go after "0."
// and -k-1 zeros, `lead` bytes on. 64 bytes, so that an entry is found with a shift.
struct alignas(16) Fixed {
  uint8_t before[16], after[16], dot[16];
  uint8_t lead, pad[15];
};

constexpr std::array<Fixed, 15> make_fixed() {
  std::array<Fixed, 15> t{};
  for (int k = -4; k < 11; ++k) {
    Fixed& f = t[k + 4];
    const int d = k < 0 ? 16 : k + 1;
    for (int j = 0; j < 16; ++j) {
      f.before[j] = j < d ? 0xff : 0;
      f.after[j] = j > d && d < 16 ? 0xff : 0;
      f.dot[j] = j == d ? '.' : 0;
    }
    f.lead = static_cast<uint8_t>(k < 0 ? 1 - k : 0);
  }
  return t;
}

constexpr auto kFixed = make_fixed();

inline __m128i load16(const uint8_t* m) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(m));
}

// Writes n 10^(k-10) without its sign, 10^10 <= n <= 10^11, as "%.11g" does.
[[gnu::always_inline]] inline char* write_g11(char* p, uint64_t n, int k) {
  if (n == 100000000000ull) {
    n = 10000000000ull;
    ++k;
  }
  const __m128i s = digits11(n);
  // Significant digits: up to the last one that is not '0' (the first never is).
  const unsigned zeros =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(s, _mm_set1_epi8('0'))));
  const int nd = 32 - std::countl_zero((~zeros & 0x7ffu) | 1);
  // Text goes out in 16-byte stores that may run past the end but stay in the room.
  if (k >= -4 && k < 11) {
    // Fixed, one way on both sides of 1, which data often crosses at random: for k >= 0 the
    // digits before the dot, the dot, then the rest one byte on, the dot gone when no digit
    // follows it; for k < 0 "0." and -k-1 zeros, then the digits.
    const Fixed& m = kFixed[k + 4];
    memcpy(p, "0.000000", 8);  // under the digits where k >= 0
    __m128i t = _mm_or_si128(_mm_and_si128(s, load16(m.before)),
                             _mm_and_si128(_mm_slli_si128(s, 1), load16(m.after)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + m.lead), _mm_or_si128(t, load16(m.dot)));
    const int dot = k + 1;
    return p + (k < 0 ? m.lead + nd : nd <= dot ? dot : nd + 1);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 1), s);
  p[0] = static_cast<char>(_mm_cvtsi128_si32(s));
  p[1] = '.';
  return write_exponent(p + (nd == 1 ? 1 : nd + 1), k);
}

#else

inline uint64_t pair(uint64_t n) {
  uint16_t two;
  memcpy(&two, kDigits2 + 2 * n, 2);
  return two;
}

// The 11 digits of n, 10^10 <= n < 10^11, as text in a register, first digit in byte 0: three
// groups of three and a pair.
inline u128 digits11(uint64_t n) {
  uint64_t top = n / 100000000, low = n - top * 100000000;
  // low / 10^5 in 54-bit fixed point: each group is the integer part, then the fraction times
  // 1000 (or 100) gives the next. The constant is rounded up by under 1, an error below 10^8
  // units that grows to 10^13 by the last group, short of the 2^54 10^-5, 2^54 10^-2 and 2^54
  // that would carry into a group; the products stay below 2^64.
  constexpr uint64_t kMask = (1ull << 54) - 1;
  uint64_t y = low * (((1ull << 54) + 99999) / 100000);
  uint64_t g1 = kDigits3[y >> 54];
  y = (y & kMask) * 1000;
  uint64_t g2 = kDigits3[y >> 54];
  y = (y & kMask) * 100;
  uint64_t g3 = pair(y >> 54);
  uint64_t lo = kDigits3[top] | g1 << 24 | g2 << 48;
  return static_cast<u128>(g2 >> 16 | g3 << 8) << 64 | lo;
}

// Writes n 10^(k-10) without its sign, 10^10 <= n <= 10^11, as "%.11g" does.
inline char* write_g11(char* p, uint64_t n, int k) {
  if (n == 100000000000ull) {
    n = 10000000000ull;
    ++k;
  }
  u128 s = digits11(n);
  // Significant digits: up to the last one that is not '0' (the first never is).
  uint64_t nz_hi = static_cast<uint64_t>(s >> 64) ^ 0x303030;
  uint64_t nz_lo = static_cast<uint64_t>(s) ^ 0x3030303030303030ull;
  int nd = nz_hi ? 16 - std::countl_zero(nz_hi) / 8u : 8 - std::countl_zero(nz_lo) / 8u;
  // Text goes out in 16-byte stores that may run past the end but stay in the room.
  if (k >= 0 && k < 11) {
    // Fixed, the dot after k + 1 digits and gone when no digit follows.
    int dot = k + 1;
    u128 tail = s >> (8 * dot);
    memcpy(p, &s, 16);
    memcpy(p + dot + 1, &tail, 16);
    p[dot] = '.';
    return p + (nd <= dot ? dot : nd + 1);
  }
  if (k < 0 && k >= -4) {
    // "0." and -k-1 zeros in front.
    int lead = 1 - k;
    memcpy(p, "0.000000", 8);
    memcpy(p + lead, &s, 16);
    return p + lead + nd;
  }
  memcpy(p + 1, &s, 16);
  p[0] = static_cast<char>(s);
  p[1] = '.';
  p += nd == 1 ? 1 : nd + 1;
  return write_exponent(p, k);
}

#endif

char* fallback(char* p, double v) {
  return std::to_chars(p, p + kG11Max, v, std::chars_format::general, 11).ptr;
}

// k = floor(b log10 2) for b = floor(log2 v), exact for |b| <= 1200: floor(log10 v) is k or
// k + 1, for v = M 2^e with M in [2^63, 2^64).
constexpr int decimal_exponent(int e) {
  return ((e + 63) * 78913) >> 18;
}

// Everything the fast path leaves: zeros, subnormals, infinities, NaNs, twelve-digit scalings
// and values near a halfway point. Out of line so the fast path calls nothing.
[[gnu::noinline]] char* format_slow(char* p, double v) {
  uint64_t bits = std::bit_cast<uint64_t>(v);
  int biased = static_cast<int>((bits >> 52) & 0x7ff);
  char* start = p;
  *p = '-';
  p += bits >> 63;
  uint64_t M;
  int e;
  uint64_t frac = bits & ((1ull << 52) - 1);
  if (biased == 0x7ff) {
    memcpy(p, frac ? "nan" : "inf", 3);
    return p + 3;
  }
  if (biased != 0) {
    M = bits << 11 | 1ull << 63;
    e = biased - 1086;
  } else {
    if (frac == 0) {
      *p = '0';
      return p + 1;
    }
    int z = std::countl_zero(frac);
    M = frac << z;
    e = -1074 - z;
  }
  int k = decimal_exponent(e);
  const Pow10& pw = kPow10[10 - k - kMinQ];
  // x = v 10^(10-k) lies in [10^10, 10^12). H = floor(M P / 2^64) and x = H 2^-s + err with
  // 0 <= err < 2 units of 2^-s: P is short of the true power by under 1 unit (M * that < 2^64)
  // and the dropped low half of the product is under 1 more. t = s - 64 comes out in [22, 31].
  u128 H = static_cast<u128>(M) * pw.hi + ((static_cast<u128>(M) * pw.lo) >> 64);
  uint64_t hi = static_cast<uint64_t>(H >> 64), lo = static_cast<uint64_t>(H);
  int t = -(e + pw.g + 128);
  uint64_t n = hi >> t;
  // The fraction of x times 2^64, truncated: x is in [n + f 2^-64, n + (f + 2) 2^-64).
  uint64_t f = (hi << (64 - t)) | (lo >> t);
  if (n < 100000000000ull) {
    // f > 2^63 rounds up for sure and f < 2^63 - 1 down; the two between may be on or next to
    // the halfway point, where only exact arithmetic tells.
    if (f - ((1ull << 63) - 1) <= 1) return fallback(start, v);
    n += f > (1ull << 63);
  } else {
    // Twelve digits: the last one and f, in units of 2^-60, decide against 5 2^60, the exact
    // value being in [g, g + 2).
    ++k;
    uint64_t g = (n % 10) << 60 | f >> 4;
    n /= 10;
    constexpr uint64_t kHalf = 5ull << 60;
    if (g - (kHalf - 1) <= 1) return fallback(start, v);
    n += g > kHalf;
  }
  return write_g11(p, n, k);
}

// By biased exponent b of a normal v = M 2^e (M in [2^63, 2^64), e = b - 1086): the high half
// of 10^q for q = 10 - k, k = decimal_exponent(e), and how far M goes right first so that
// x = v 10^q stands above bit 86 of their product whatever b is. M's low eleven bits are 0 and
// the shift stays below ten, so M keeps every bit.
struct ByExponent {
  uint64_t hi;
  int32_t k;
  uint32_t shift;
};

constexpr std::array<ByExponent, 2047> make_by_exponent() {
  std::array<ByExponent, 2047> t{};
  for (int b = 1; b < 2047; ++b) {
    const int e = b - 1086;
    const int k = decimal_exponent(e);
    const Pow10& pw = kPow10[10 - k - kMinQ];
    const int s = -(e + pw.g + 128);
    if (s < 22 || s > 31) throw "a shift out of range";
    t[b] = {pw.hi, k, static_cast<uint32_t>(s - 22)};
  }
  return t;
}

constexpr auto kByExponent = make_by_exponent();

}  // namespace

char* format_g11(char* p, double v) {
  uint64_t bits = std::bit_cast<uint64_t>(v);
  unsigned biased = static_cast<unsigned>((bits >> 52) & 0x7ff);
  // Zeros, subnormals, infinities and NaNs in one test.
  if (biased - 1 >= 0x7fe) [[unlikely]]
    return format_slow(p, v);
  const ByExponent& b = kByExponent[biased];
  // x = v 10^(10-k) lies in [10^10, 10^12): n is the bits of H from 86 up and f the 64 below
  // them. H, from the high half of 10^(10-k) alone, falls short of the exact product by under
  // M < 2^64 units, so n + f 2^-64 falls short of x by under 2^42 + 1 units of 2^-64. More than
  // 2^43 away from the halfway point that cannot change the rounding.
  const uint64_t M = (bits << 11 | 1ull << 63) >> b.shift;
  const u128 H = static_cast<u128>(M) * b.hi;
  uint64_t n = static_cast<uint64_t>(H >> 86);
  const uint64_t f = static_cast<uint64_t>(H >> 22);
  int k = b.k;
  constexpr uint64_t kMargin = 1ull << 43;
  if (n >= 100000000000ull) {
    // Twelve digits: x / 10 rounds on its last digit d and f, d + f 2^-64 against 5, with f
    // short by under the margin as above.
    const uint64_t d = n % 10;
    n /= 10;
    ++k;
    if ((d == 5 && f < kMargin) || (d == 4 && f > ~uint64_t{0} - kMargin)) [[unlikely]]
      return format_slow(p, v);
    n += d >= 5;
  } else {
    if (f - ((1ull << 63) - kMargin) <= kMargin) [[unlikely]]
      return format_slow(p, v);
    n += f > (1ull << 63);
  }
  // The sign without a branch, as data often flips it at random.
  *p = '-';
  p += bits >> 63;
  return write_g11(p, n, k);
}
