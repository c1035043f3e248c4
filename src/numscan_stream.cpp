// Reading one number of any length in pieces, in time proportional to its text and in bounded
// memory, with scan_number's outcome on the whole text.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "numscan.h"

namespace {

using reader = number_reader;

// Far past where any value is 0 or infinite; counts stop here and cannot overflow when added.
constexpr int64_t kSaturated = int64_t{1} << 60;
// The largest exponent written into the short text: 10^99999 and 2^99999 are infinite.
constexpr int64_t kWrittenExponent = 99999;

int64_t add_saturating(int64_t a, int64_t b) {
  return std::clamp<int64_t>(a + b, -kSaturated, kSaturated);
}

void take(reader* r, unsigned char c) {
  ++r->taken;
  if (r->head_len < reader::kHead) r->head[r->head_len++] = static_cast<char>(c);
}

// The byte that ends the number is not consumed, but the word and hexadecimal paths of
// scan_number look at it.
void stop(reader* r, unsigned char c) {
  if (r->head_len < reader::kHead) r->head[r->head_len++] = static_cast<char>(c);
  r->ended = true;
}

// A run of mantissa digits at p (hexadecimal ones with hex): leading zeros move the point in
// the fraction, the first significant digits are kept, later ones only mark the sticky digit.
// Returns the end of the run.
const char* take_mantissa(reader* r, const char* p, const char* end, bool hex) {
  const size_t keep = hex ? reader::kHexDigits : reader::kDecimalDigits;
  const char* q = p;
  auto in_run = [hex](unsigned char c) { return hex ? is_xdigit(c) : is_digit(c); };
  if (r->kept == 0) {
    while (q < end && *q == '0') ++q;
    if (r->got_dot) r->point = add_saturating(r->point, -(q - p));
  }
  const char* first = q;
  while (q < end && r->kept < keep && in_run(*q)) r->digits[r->kept++] = *q++;
  unsigned char nonzero = 0;
  for (; q < end && in_run(*q); ++q) nonzero |= *q ^ '0';
  r->sticky |= nonzero != 0;
  if (!r->got_dot) r->point = add_saturating(r->point, q - first);
  r->taken += static_cast<uint64_t>(q - p);
  return q;
}

// A run of exponent digits at p, always decimal; the exponent saturates.
const char* take_exponent(reader* r, const char* p, const char* end) {
  const char* q = p;
  for (; q < end && is_digit(*q); ++q) {
    r->exp = r->exp < kSaturated / 10 ? r->exp * 10 + (*q - '0') : kSaturated;
  }
  r->taken += static_cast<uint64_t>(q - p);
  return q;
}

// glibc's loop for the digits of a number, as scan_number's measure() mirrors it: digits, one
// dot, the exponent letter after a digit, a sign right after it, the exponent's digits.
// Returns the end of what was taken; sets r->ended at a byte that cannot go on.
const char* take_number(reader* r, const char* p, const char* end) {
  const bool hex = r->at == reader::kHex;
  const unsigned char exp_char = hex ? 'p' : 'e';
  while (p < end) {
    const unsigned char c = *p;
    if (c == '\0') {
      r->ended = true;
      break;
    }
    if (!r->got_exp && (hex ? is_xdigit(c) : is_digit(c))) {
      r->got_digit = true;
      r->after_exp = false;
      p = take_mantissa(r, p, end, hex);
    } else if (r->got_exp && is_digit(c)) {
      r->got_digit = true;
      r->after_exp = false;
      p = take_exponent(r, p, end);
    } else if (r->after_exp && (c == '+' || c == '-')) {
      r->exp_neg = c == '-';
      r->after_exp = false;
      take(r, c);
      ++p;
    } else if (r->got_digit && !r->got_exp && to_lower(c) == exp_char) {
      r->got_exp = r->got_dot = r->after_exp = true;
      take(r, c);
      ++p;
    } else if (!r->got_dot && c == '.') {
      r->got_dot = true;
      take(r, c);
      ++p;
    } else {
      stop(r, c);
      break;
    }
  }
  return p;
}

// scan_number on the text of the first bytes: for the cases whose whole text it holds.
int scan_head(const reader& r, double* v, uint64_t* consumed) {
  char text[reader::kHead + 1];
  memcpy(text, r.head, r.head_len);
  text[r.head_len] = '\0';
  size_t used = 0;
  const int ret = scan_number(text, text + r.head_len, v, &used);
  if (ret == 1) *consumed = r.skipped + used;
  return ret;
}

}  // namespace

bool feed_number(reader* r, const char* s, size_t n) {
  const char* p = s;
  const char* const end = s + n;
  while (p < end && !r->ended) {
    const unsigned char c = *p;
    if (c == '\0') {
      r->ended = true;
      break;
    }
    switch (r->at) {
      case reader::kSpace:
        for (; p < end && is_space(*p); ++p) ++r->skipped;
        if (p < end) r->at = reader::kSign;
        break;
      case reader::kSign:
        r->neg = c == '-';
        if (c == '-' || c == '+') {
          take(r, c);
          ++p;
        }
        r->at = reader::kAfterSign;
        break;
      case reader::kAfterSign:
        if (to_lower(c) == 'i' || to_lower(c) == 'n') {
          r->at = reader::kWord;
        } else if (c == '0') {
          // A digit of a decimal, unless "x" follows.
          take(r, c);
          ++p;
          r->got_digit = true;
          r->at = reader::kZero;
        } else {
          r->at = reader::kDecimal;
        }
        break;
      case reader::kZero:
        if (to_lower(c) == 'x') {
          take(r, c);
          ++p;
          r->got_digit = false;
          r->at = reader::kHex;
        } else {
          r->at = reader::kDecimal;
        }
        break;
      case reader::kWord:
        // scan_number lets sscanf decide on at most the ten bytes of "-infinity" and one more.
        take(r, c);
        ++p;
        r->ended = r->head_len == 10;
        break;
      case reader::kDecimal:
      case reader::kHex:
        p = take_number(r, p, end);
        break;
    }
  }
  return r->ended;
}

// A long number's value is that of a short text with its sign, its kept digits, a 1 for any
// nonzero digit dropped (past the kept digits no rounding can tell which) and the exponent of
// its first digit, read by scan_number itself: "-0.DDDD1e-E" or "-0x0.HHHH1p-E".
int end_number(const reader& r, double* v, uint64_t* consumed) {
  if (r.at == reader::kSpace) return EOF;
  const bool digits =
      (r.at == reader::kDecimal || r.at == reader::kHex || r.at == reader::kZero) && r.got_digit;
  if (!digits) return scan_head(r, v, consumed);
  const bool hex = r.at == reader::kHex;
  std::string text = r.neg ? "-" : "";
  text += hex ? "0x0" : "0";
  if (r.kept > 0) {
    text += '.';
    text.append(r.digits, r.kept);
    if (r.sticky) text += '1';
    const int64_t e = add_saturating(hex ? 4 * r.point : r.point, r.exp_neg ? -r.exp : r.exp);
    text += hex ? 'p' : 'e';
    text += std::to_string(std::clamp(e, -kWrittenExponent, kWrittenExponent));
  }
  size_t used = 0;
  scan_number(text.c_str(), text.c_str() + text.size(), v, &used);
  *consumed = r.skipped + r.taken;
  return 1;
}
