#include "csv.h"

#include <math.h>
#include <string.h>

#include "numscan.h"

namespace {

bool is_blank(char c, char separator) {
  return (c == ' ' || c == '\t' || c == '\r') && c != separator;
}

// The text of a field: blanks around it trimmed, its quotes taken away ("" inside is one ").
std::string field_text(const char* b, const char* e, char separator) {
  while (b < e && is_blank(*b, separator)) ++b;
  while (e > b && is_blank(e[-1], separator)) --e;
  if (e - b >= 2 && *b == '"' && e[-1] == '"') {
    std::string s;
    for (const char* q = b + 1; q < e - 1; ++q) {
      s += *q;
      if (*q == '"' && q + 1 < e - 1 && q[1] == '"') ++q;
    }
    return s;
  }
  return std::string(b, e);
}

}  // namespace

const char* field_end(const char* p, const char* end, char separator) {
  const char* q = p;
  while (q < end && is_blank(*q, separator)) ++q;
  if (q < end && *q == '"') {
    for (++q; q < end; ++q) {
      if (*q == '"') {
        if (q + 1 < end && q[1] == '"') {
          ++q;
        } else {
          ++q;
          break;
        }
      }
    }
  }
  while (q < end && *q != separator && *q != '\n') ++q;
  return q;
}

field_kind read_field(const char* begin, const char* end, char separator, double* v,
                      bool* decimal_comma) {
  *v = NAN;
  const char* b = begin;
  const char* e = end;
  while (b < e && is_blank(*b, separator)) ++b;
  while (e > b && is_blank(e[-1], separator)) --e;
  std::string quoted;
  if (e - b >= 2 && *b == '"' && e[-1] == '"') {
    quoted = field_text(b, e, separator);
    b = quoted.data();
    e = b + quoted.size();
  }
  const size_t n = static_cast<size_t>(e - b);
  if (n == 0 || (n == 2 && memcmp(b, "NA", 2) == 0) ||
      (n == 3 && (memcmp(b, "NaN", 3) == 0 || memcmp(b, "nan", 3) == 0)))
    return FIELD_MISSING;
  // A NUL-terminated copy for the scanner, with a decimal comma made a point.
  char small[64];
  std::string big;
  char* s = small;
  if (n >= sizeof small) {
    big.assign(b, n);
    s = big.data();
  } else {
    memcpy(small, b, n);
    small[n] = '\0';
  }
  bool comma = false;
  if (separator != ',') {
    for (size_t j = 0; j < n; ++j) {
      if (s[j] == ',') s[j] = '.', comma = true;
    }
  }
  double d;
  size_t used;
  if (s[0] == ' ' || s[0] == '\t' || scan_number(s, s + n, &d, &used) != 1 || used != n)
    return FIELD_TEXT;
  *v = d;
  if (comma) *decimal_comma = true;
  return FIELD_NUMBER;
}

std::vector<std::string> split_fields(const char* begin, const char* end, char separator) {
  std::vector<std::string> fields;
  const char* p = begin;
  for (;;) {
    const char* e = field_end(p, end, separator);
    fields.push_back(field_text(p, e, separator));
    if (e >= end || *e != separator) break;
    p = e + 1;
  }
  return fields;
}

std::vector<std::string> split_words(const char* begin, const char* end) {
  std::vector<std::string> words;
  const char* p = begin;
  while (p < end) {
    while (p < end && is_space(*p)) ++p;
    const char* w = p;
    while (p < end && !is_space(*p)) ++p;
    if (p > w) words.emplace_back(w, p);
  }
  return words;
}

bool holds_text(const char* begin, const char* end, char separator) {
  const char* p = begin;
  bool comma = false;
  for (;;) {
    const char* e = field_end(p, end, separator);
    double v;
    if (read_field(p, e, separator, &v, &comma) == FIELD_TEXT) return true;
    if (e >= end || *e != separator) return false;
    p = e + 1;
  }
}
