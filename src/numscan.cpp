// Reads one number the way sscanf's "%lg%n" does, without measuring the rest of the line.
#include "numscan.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <system_error>

namespace {

// C locale only: bytes >= 0x80 are never space, digits or letters.
bool is_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}
unsigned char to_lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}
bool is_xdigit(unsigned char c) {
  return is_digit(c) || (to_lower(c) >= 'a' && to_lower(c) <= 'f');
}

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

}  // namespace

int scan_number(const char* s, const char* end, double* v, size_t* consumed) {
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
