// Differential check of the number scanner against sscanf "%lg%n" on arbitrary text.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "numscan.h"

namespace {

void print_escaped(const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
      fputc(c, stderr);
    } else {
      fprintf(stderr, "\\x%02x", c);
    }
  }
}

[[noreturn]] void report(const char* what, const char* seg, const char* at, const char* end,
                         int want, double want_v, int want_n, int got, double got_v, size_t got_n) {
  fprintf(stderr, "scan_number differs from sscanf (%s) at offset %zu of \"", what,
          static_cast<size_t>(at - seg));
  print_escaped(seg, static_cast<size_t>(end - seg));
  fprintf(stderr, "\"\n  sscanf:      %d %a consumed %d\n  scan_number: %d %a consumed %zu\n", want,
          want_v, want_n, got, got_v, got_n);
  abort();
}

// Walks one NUL-terminated segment number by number; past a non-number it moves on one byte
// so that every suffix of the text gets scanned too.
void walk(const char* seg) {
  const char* end = seg + strlen(seg);
  for (const char* p = seg; p <= end;) {
    double want_v = 0;
    int want_n = -1;
    const int want = sscanf(p, "%lg%n", &want_v, &want_n);
    double got_v = 0;
    size_t got_n = 0;
    const int got = scan_number(p, end, &got_v, &got_n);
    if (want != got) report("result", seg, p, end, want, want_v, want_n, got, got_v, got_n);
    if (want != 1) {
      if (p == end) break;
      ++p;
      continue;
    }
    if (memcmp(&want_v, &got_v, sizeof want_v) != 0)
      report("value", seg, p, end, want, want_v, want_n, got, got_v, got_n);
    if (want_n <= 0 || got_n != static_cast<size_t>(want_n))
      report("consumed", seg, p, end, want, want_v, want_n, got, got_v, got_n);
    p += got_n;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The copy ends in a NUL; every NUL inside it starts a new segment.
  std::string text(reinterpret_cast<const char*>(data), size);
  const char* base = text.c_str();
  for (size_t off = 0; off <= size; off += strlen(base + off) + 1) walk(base + off);
  return 0;
}
