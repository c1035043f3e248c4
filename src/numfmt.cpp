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

// The 11 digits of n, 10^10 <= n < 10^11, as text in a register, first digit in byte 0.
inline u128 digits11(uint64_t n) {
  uint32_t top = static_cast<uint32_t>(n / 100000000);
  uint32_t low = static_cast<uint32_t>(n % 100000000);
  uint16_t pair;
  memcpy(&pair, kDigits2 + 2 * (top % 100), 2);
  uint32_t head = ('0' + top / 100) | static_cast<uint32_t>(pair) << 8;
  // Eight digits at once: halves of 4 digits in 32-bit lanes, then pairs in 16-bit lanes, then
  // single digits in bytes; the multipliers divide exactly by 100 and by 10 in those ranges.
  uint64_t x = low / 10000 | static_cast<uint64_t>(low % 10000) << 32;
  uint64_t q = ((x * 10486) >> 20) & 0x0000007f0000007full;
  x = (x - q * 100) << 16 | q;
  q = ((x * 103) >> 10) & 0x000f000f000f000full;
  x = ((x - q * 10) << 8 | q) | 0x3030303030303030ull;
  return head | static_cast<u128>(x) << 24;
}

char* fallback(char* p, double v) {
  return std::to_chars(p, p + kG11Max, v, std::chars_format::general, 11).ptr;
}

}  // namespace

char* format_g11(char* p, double v) {
  uint64_t bits = std::bit_cast<uint64_t>(v);
  bool neg = bits >> 63;
  int biased = static_cast<int>((bits >> 52) & 0x7ff);
  uint64_t frac = bits & ((1ull << 52) - 1);
  if (biased == 0x7ff) {
    if (neg) *p++ = '-';
    memcpy(p, frac ? "nan" : "inf", 3);
    return p + 3;
  }
  if (biased == 0 && frac == 0) {
    if (neg) *p++ = '-';
    *p = '0';
    return p + 1;
  }
  uint64_t m = biased ? frac | (1ull << 52) : frac;
  int e = biased ? biased - 1075 : -1074;
  // v = M * 2^e with M in [2^63, 2^64); b = floor(log2 v).
  int z = std::countl_zero(m);
  uint64_t M = m << z;
  e -= z;
  int b = e + 63;
  // floor(b log10 2), exact for |b| <= 1200; the true floor(log10 v) is k or k + 1.
  int k = (b * 78913) >> 18;
  const Pow10& pw = kPow10[10 - k - kMinQ];

  // x = v 10^(10-k) lies in [10^10, 10^12). H = floor(M P / 2^64) and x = H 2^-s + err with
  // 0 <= err < 2 units of 2^-s: P is short of the true power by under 1 unit (M * that < 2^64)
  // and the dropped low half of the product is under 1 more. t = s - 64 comes out in [22, 31].
  u128 H = static_cast<u128>(M) * pw.hi + ((static_cast<u128>(M) * pw.lo) >> 64);
  uint64_t hi = static_cast<uint64_t>(H >> 64), lo = static_cast<uint64_t>(H);
  int t = -(e + pw.g + 128);
  uint64_t n = hi >> t;
  // The fraction of x times 2^64, truncated: the true one is in [f, f + 2) (err adds < 2^-20).
  uint64_t f = (hi << (64 - t)) | (lo >> t);
  // With twelve digits the last one joins the fraction: rest = r 2^64 + f against 5 2^64.
  bool twelve = n >= 100000000000ull;
  u128 rest = twelve ? static_cast<u128>(n % 10) << 64 | f : f;
  u128 half = twelve ? static_cast<u128>(5) << 64 : static_cast<u128>(1) << 63;
  n = twelve ? n / 10 : n;
  k += twelve;
  // rest > half rounds up for sure and rest < half - 1 down; the two between may be on or
  // within err of the halfway point, where only exact arithmetic tells.
  if (rest + 1 - half <= 1) return fallback(p, v);
  if (rest > half && ++n == 100000000000ull) {
    n = 10000000000ull;
    ++k;
  }

  if (neg) *p++ = '-';
  u128 s = digits11(n);
  // Significant digits: up to the last byte that is not '0'.
  u128 nonzero = s ^ (static_cast<u128>(0x303030) << 64 | 0x3030303030303030ull);
  uint64_t nz_hi = static_cast<uint64_t>(nonzero >> 64);
  int nd = nz_hi ? 16 - std::countl_zero(nz_hi) / 8 : 8 - std::countl_zero(static_cast<uint64_t>(nonzero)) / 8;
  if (k < 0 && k >= -4) {
    // "0." and -k-1 zeros in front; 16 bytes at most.
    int lead = 1 - k;
    u128 text = s << (8 * lead) | (0x303030302e30ull & ((1ull << (8 * lead)) - 1));
    memcpy(p, &text, 16);
    return p + lead + nd;
  }
  // The dot goes after the integer digits in fixed form, after the first digit in exponent form;
  // it goes away when no digit follows.
  bool fixed = k >= 0 && k < 11;
  int dot = fixed ? k + 1 : 1;
  u128 before = s & ((static_cast<u128>(1) << (8 * dot)) - 1);
  u128 text = before | static_cast<u128>('.') << (8 * dot) | (s - before) << 8;
  memcpy(p, &text, 16);
  p += nd <= dot ? dot : nd + 1;
  if (fixed) return p;

  p[0] = 'e';
  p[1] = k < 0 ? '-' : '+';
  unsigned ak = k < 0 ? -k : k;
  if (ak >= 100) {
    p[2] = static_cast<char>('0' + ak / 100);
    memcpy(p + 3, kDigits2 + 2 * (ak % 100), 2);
    return p + 5;
  }
  memcpy(p + 2, kDigits2 + 2 * ak, 2);
  return p + 4;
}
