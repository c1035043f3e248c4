// Reading one number from text exactly as sscanf(s, "%lg%n", v, n) reads it, in time
// proportional to what it consumes.
#pragma once

#include <stddef.h>

// White space as scanf skips it in the C locale.
inline bool is_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// `end` points at the first NUL byte of s. Returns 1, 0 or EOF as sscanf does; on 1 stores
// the value into *v and the bytes consumed (white space and sign included) into *consumed.
int scan_number(const char* s, const char* end, double* v, size_t* consumed);
