// Reading one number from text exactly as sscanf(s, "%lg%n", v, n) reads it, in time
// proportional to what it consumes.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The C locale's classes: bytes >= 0x80 are never white space, digits or letters.
// White space as scanf skips it.
inline bool is_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
inline bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}
inline unsigned char to_lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}
inline bool is_xdigit(unsigned char c) {
  return is_digit(c) || (to_lower(c) >= 'a' && to_lower(c) <= 'f');
}

// `end` points at the first NUL byte of s. Returns 1, 0 or EOF as sscanf does; on 1 stores
// the value into *v and the bytes consumed (white space and sign included) into *consumed.
int scan_number(const char* s, const char* end, double* v, size_t* consumed);

// One number whose text comes in pieces, as long as it may be, read with a bounded summary of
// what it has so far: where glibc's loop stands, the sign, the first significant digits, whether
// a nonzero digit was dropped, where the point stands and the exponent. Value-initialised
// (number_reader{}) it is ready for the first piece.
struct number_reader {
  // The part of the text being read: white space, the sign, the byte after it, "0" that may
  // begin "0x", a word ("inf", "nan"), decimal or hexadecimal digits.
  enum part : unsigned char { kSpace, kSign, kAfterSign, kZero, kWord, kDecimal, kHex };
  static constexpr size_t kDecimalDigits = 800;  // 767 and one decide any double's rounding
  static constexpr size_t kHexDigits = 32;       // 15 hold any double and its neighbours' middle
  static constexpr size_t kHead = 16;            // "-infinity" and the byte after "-0x."
  part at = kSpace;
  bool ended = false;  // nothing more is taken: the text ended or a byte ended the number
  bool neg = false;    // a '-' came first
  // glibc's loop: a digit, the dot (or the exponent letter) and the letter have come; the
  // byte before was the letter, so a sign may follow.
  bool got_digit = false, got_dot = false, got_exp = false, after_exp = false;
  bool exp_neg = false;  // the exponent's sign
  bool sticky = false;   // a nonzero significant digit past those kept
  uint64_t skipped = 0;  // white space before the number
  uint64_t taken = 0;    // bytes of the number, sign included
  // Digits (hex digits) of the integer part from the first significant one, or less the
  // fraction's zeros before it; saturating, as is the exponent.
  int64_t point = 0;
  int64_t exp = 0;
  size_t kept = 0;  // significant digits kept
  // The first bytes after the white space, and the byte that ended the number if there is room.
  size_t head_len = 0;
  char head[kHead];
  char digits[kDecimalDigits];
};

// Takes the next piece [s, s + n) of the text; a NUL byte ends the text as `end` does for
// scan_number. Returns true once the number has ended: no later piece is needed.
bool feed_number(number_reader* r, const char* s, size_t n);
// scan_number's outcome on the whole text fed (to its end, or to where the number ended): 1, 0
// or EOF; on 1 the value and the bytes consumed, white space and sign included.
int end_number(const number_reader& r, double* v, uint64_t* consumed);
