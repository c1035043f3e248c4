#include "numfmt.h"

#include <stdint.h>
#include <string.h>

#include <array>
#include <bit>
#include <charconv>

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

inline uint64_t pair(uint64_t n) {
  uint16_t two;
  memcpy(&two, kDigits2 + 2 * n, 2);
  return two;
}

// The 11 digits of n, 10^10 <= n < 10^11, as text in a register, first digit in byte 0.
inline u128 digits11(uint64_t n) {
  uint64_t top = n / 100000000, low = n - top * 100000000;
  uint64_t head = ('0' + top / 100) | pair(top % 100) << 8;
  // low / 10^6 in 57-bit fixed point: each pair is the integer part, then the fraction times
  // 100 gives the next. The constant is rounded up by under 1, an error below 10^8 100^i units
  // at pair i, always short of the 2^57 / 10^(6-2i) that would carry into the pair.
  constexpr uint64_t kMask = (1ull << 57) - 1;
  uint64_t y = low * (((1ull << 57) + 999999) / 1000000);
  uint64_t p0 = pair(y >> 57);
  y = (y & kMask) * 100;
  uint64_t p1 = pair(y >> 57);
  y = (y & kMask) * 100;
  uint64_t p2 = pair(y >> 57);
  y = (y & kMask) * 100;
  uint64_t p3 = pair(y >> 57);
  return static_cast<u128>(p2 >> 8 | p3 << 8) << 64 | (head | p0 << 24 | p1 << 40 | p2 << 56);
}

char* fallback(char* p, double v) {
  return std::to_chars(p, p + kG11Max, v, std::chars_format::general, 11).ptr;
}

}  // namespace

char* format_g11(char* p, double v) {
  uint64_t bits = std::bit_cast<uint64_t>(v);
  int biased = static_cast<int>((bits >> 52) & 0x7ff);
  // The sign without a branch, as data often flips it at random.
  *p = '-';
  p += bits >> 63;
  // v = M * 2^e with M in [2^63, 2^64).
  uint64_t M;
  int e;
  if (biased != 0 && biased != 0x7ff) [[likely]] {
    M = bits << 11 | 1ull << 63;
    e = biased - 1086;
  } else {
    uint64_t frac = bits & ((1ull << 52) - 1);
    if (biased) {
      memcpy(p, frac ? "nan" : "inf", 3);
      return p + 3;
    }
    if (frac == 0) {
      *p = '0';
      return p + 1;
    }
    int z = std::countl_zero(frac);
    M = frac << z;
    e = -1074 - z;
  }
  // k = floor(b log10 2) for b = floor(log2 v), exact for |b| <= 1200; floor(log10 v) is k or
  // k + 1.
  int k = ((e + 63) * 78913) >> 18;
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
  if (n < 100000000000ull) [[likely]] {
    // f > 2^63 rounds up for sure and f < 2^63 - 1 down; the two between may be on or next to
    // the halfway point, where only exact arithmetic tells.
    if (f - ((1ull << 63) - 1) <= 1) return fallback(p - (bits >> 63), v);
    n += f > (1ull << 63);
  } else {
    // Twelve digits: the last one and f, in units of 2^-60, decide against 5 2^60, the exact
    // value being in [g, g + 2).
    ++k;
    uint64_t g = (n % 10) << 60 | f >> 4;
    n /= 10;
    constexpr uint64_t kHalf = 5ull << 60;
    if (g - (kHalf - 1) <= 1) return fallback(p - (bits >> 63), v);
    n += g > kHalf;
  }
  if (n == 100000000000ull) {
    n = 10000000000ull;
    ++k;
  }

  u128 s = digits11(n);
  // Significant digits: up to the last one that is not '0' (the first never is).
  uint64_t nz_hi = static_cast<uint64_t>(s >> 64) ^ 0x303030;
  uint64_t nz_lo = static_cast<uint64_t>(s) ^ 0x3030303030303030ull;
  int nd = nz_hi ? 16 - std::countl_zero(nz_hi) / 8 : 8 - std::countl_zero(nz_lo) / 8;
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
  p[0] = 'e';
  p[1] = k < 0 ? '-' : '+';
  // Two or three exponent digits, without a branch: the pair lands over the hundreds digit when
  // there is none.
  unsigned ak = k < 0 ? -k : k;
  int wide = ak >= 100;
  p[2] = static_cast<char>('0' + ak / 100);
  memcpy(p + 2 + wide, kDigits2 + 2 * (ak % 100), 2);
  return p + 4 + wide;
}
