#include "numfmt.h"

#include <charconv>

char* format_g11(char* p, double v) {
  // libstdc++ prints general/precision like printf in the C locale, "-nan" included; at most
  // 18 bytes come out, so the room never runs short.
  return std::to_chars(p, p + kG11Max, v, std::chars_format::general, 11).ptr;
}
