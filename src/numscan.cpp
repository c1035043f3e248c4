// Reads one number the way sscanf's "%lg%n" does, without measuring the rest of the line.
#include "numscan.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <system_error>

namespace {

// Holds a NUL-terminated copy of a slice; short slices stay on the stack.
class Copy {
 public:
  Copy(const char* b, size_t n) {
    if (n < sizeof small_) {
      memcpy(small_, b, n);
      small_[n] = '\0';
      str_ = small_;
    } else {
      big_.assign(b, n);
      str_ = big_.c_str();
    }
  }
  Copy(const Copy&) = delete;
  Copy& operator=(const Copy&) = delete;
  const char* c_str() const { return str_; }

 private:
  char small_[64];
  std::string big_;
  const char* str_;
};

// Lets the real sscanf decide, on a copy holding everything it could read and nothing more.
int scan_copy(const char* b, size_t n, size_t skipped, double* v, size_t* consumed) {
  Copy copy(b, n);
  double d;
  int used = 0;
  int r = sscanf(copy.c_str(), "%lg%n", &d, &used);
  if (r == 1) {
    *v = d;
    *consumed = skipped + static_cast<size_t>(used);
  }
  return r;
}

struct Extent {
  const char* end;  // past the last byte glibc's scanf takes
  bool got_digit;
  const char* e;  // the exponent letter, or nullptr
};

// Mirrors glibc's float scanning loop: it keeps taking bytes that could still continue a
// number (so "1e+" is taken whole) and leaves it to strtod to use only a valid prefix.
Extent measure(const char* p, const char* end, bool hex) {
  const unsigned char exp_char = hex ? 'p' : 'e';
  Extent x{p, false, nullptr};
  bool got_dot = false;
  for (; p < end; ++p) {
    const unsigned char c = *p;
    if (is_digit(c) || (hex && !x.e && is_xdigit(c))) {
      x.got_digit = true;
    } else if (x.e && p - 1 == x.e && (c == '+' || c == '-')) {
      // a sign only right after the exponent letter
    } else if (x.got_digit && !x.e && to_lower(c) == exp_char) {
      x.e = p;
      got_dot = true;
    } else if (!got_dot && c == '.') {
      got_dot = true;
    } else {
      break;
    }
  }
  x.end = p;
  return x;
}

// 10^0 to 10^22, every one exact as a double.
constexpr double kExact10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The value of eight digits, less '0' each, first digit lowest: pairs, then fours, combined in
// place.
inline uint64_t eight_digits(uint64_t w) {
  w = w * 10 + (w >> 8);
  w = ((w & 0x000000ff000000ffull) * (100 + (1000000ull << 32)) +
       ((w >> 16) & 0x000000ff000000ffull) * (1 + (10000ull << 32))) >>
      32;
  return static_cast<uint32_t>(w);
}

// Appends the run of digits at q to m and returns the end of the run: eight at a time while
// eight bytes before end are all digits (high nibble 3 both as they are and with 6 added), then
// one at a time. m wraps past 19 digits, which the caller rejects.
inline const char* take_digits(const char* q, const char* end, uint64_t* m) {
  uint64_t x = *m;
  while (end - q >= 8) {
    uint64_t w;
    memcpy(&w, q, 8);
    constexpr uint64_t kHigh = 0xf0f0f0f0f0f0f0f0ull;
    if (((w & kHigh) | (((w + 0x0606060606060606ull) & kHigh) >> 4)) != 0x3333333333333333ull)
      break;
    x = x * 100000000 + eight_digits(w - 0x3030303030303030ull);
    q += 8;
  }
  for (; is_digit(*q); ++q) x = x * 10 + static_cast<unsigned>(*q - '0');
  *m = x;
  return q;
}

// The plain decimals "%g" writes, read in one pass: digits, an optional dot and digits, an
// optional exponent with digits. With at most 19 digits in all the digits are an exact integer
// m; when m <= 2^53 and the power of ten is at most 10^22 both are exact doubles, so the one
// correctly rounded multiply or divide is the correctly rounded value. Returns the end of the
// text, nullptr for anything else, which the general path decides. The NUL at `end` stops every
// loop; p follows the sign and is not at "0x".
const char* scan_plain(const char* p, const char* end, double* v) {
  uint64_t m = 0;
  const char* q = take_digits(p, end, &m);
  ptrdiff_t digits = q - p;
  ptrdiff_t frac = 0;
  if (*q == '.') {
    const char* f = ++q;
    q = take_digits(q, end, &m);
    frac = q - f;
    digits += frac;
  }
  if (digits == 0 || digits > 19) return nullptr;
  int exp10 = -static_cast<int>(frac);
  if ((*q | 0x20) == 'e') {
    // A dangling exponent or one of more than four digits goes the general way.
    const char* r = q + 1;
    const bool neg = *r == '-';
    if (*r == '-' || *r == '+') ++r;
    const char* first = r;
    int x = 0;
    for (; is_digit(*r); ++r) {
      if (r - first == 4) return nullptr;
      x = x * 10 + (*r - '0');
    }
    if (r == first) return nullptr;
    exp10 += neg ? -x : x;
    q = r;
  }
  if (m == 0) {
    *v = 0;
  } else if (m <= (1ull << 53) && exp10 >= -22 && exp10 <= 22) {
    const double dm = static_cast<double>(m);
    *v = exp10 < 0 ? dm / kExact10[-exp10] : dm * kExact10[exp10];
  } else {
    return nullptr;
  }
  return q;
}

// Everything but plain decimals: white space alone, words, hexadecimal, long or far-out digit
// strings, dangling exponents. Out of line so the fast path calls nothing.
[[gnu::noinline]] int scan_general(const char* s, const char* end, double* v, size_t* consumed) {
  const char* p = s;
  while (p < end && is_space(*p)) ++p;
  if (p == end) return EOF;
  const char* start = p;
  const size_t skipped = static_cast<size_t>(start - s);
  const bool neg = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  const size_t left = static_cast<size_t>(end - start);

  // "infinity" is the longest word scanf reads; it never reads the "(chars)" of "nan(chars)".
  const unsigned char c = p < end ? to_lower(*p) : 0;
  if (c == 'i' || c == 'n')
    return scan_copy(start, std::min<size_t>(left, 10), skipped, v, consumed);

  const bool hex = c == '0' && end - p >= 2 && to_lower(p[1]) == 'x';
  const Extent x = measure(hex ? p + 2 : p, end, hex);
  if (hex || !x.got_digit) {
    // One byte more than scanf takes, so it sees the same byte it stops at.
    const size_t n = std::min<size_t>(left, static_cast<size_t>(x.end - start) + 1);
    return scan_copy(start, n, skipped, v, consumed);
  }

  // A dangling exponent ("1e", "1e+", "1e-x") is consumed but adds nothing to the value.
  const char* value_end = x.end;
  if (x.e) {
    const char* q = x.e + 1;
    if (q < x.end && (*q == '+' || *q == '-')) ++q;
    if (q == x.end) value_end = x.e;
  }
  double d = 0;
  const auto r = std::from_chars(p, value_end, d);
  if (r.ec != std::errc() || r.ptr != value_end) {
    // from_chars leaves the value alone on overflow and underflow; strtod gives what scanf gives.
    Copy copy(p, static_cast<size_t>(value_end - p));
    d = strtod(copy.c_str(), nullptr);
  }
  *v = neg ? -d : d;
  *consumed = static_cast<size_t>(x.end - s);
  return 1;
}

}  // namespace

int scan_number(const char* s, const char* end, double* v, size_t* consumed) {
  // The NUL at end is neither white space nor a digit.
  const char* p = s;
  while (is_space(*p)) ++p;
  const bool neg = *p == '-';
  p += *p == '-' || *p == '+';
  if (p[0] != '0' || (p[1] | 0x20) != 'x') {
    double d;
    if (const char* q = scan_plain(p, end, &d)) {
      *v = neg ? -d : d;
      *consumed = static_cast<size_t>(q - s);
      return 1;
    }
  }
  return scan_general(s, end, v, consumed);
}
