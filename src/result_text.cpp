#include "result_text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "numfmt.h"
#include "numscan.h"

text_layout result_layout;

static char* with_comma(char* begin, char* end, const text_layout& l) {
  if (l.decimal_comma) {
    for (char* q = begin; q < end; ++q)
      if (*q == '.') *q = ',';
  }
  return end;
}

char* format_value(char* p, double v, const text_layout& l) {
  return with_comma(p, format_g11(p, v), l);
}

char* format_time(char* p, double t, const text_layout& l) {
  char* end = format_g11(p, t);
  char text[kG11Max + 1];
  memcpy(text, p, static_cast<size_t>(end - p));
  text[end - p] = '\0';
  if (strtod(text, nullptr) != t && t == t) {
    end = p + snprintf(p, kTimeMax, "%.17g", t);
  }
  return with_comma(p, end, l);
}

std::string names_line(const std::vector<std::string>& names, bool csv, char separator) {
  std::string line = csv ? "" : "# ";
  for (size_t j = 0; j < names.size(); ++j) {
    if (j > 0) line += csv ? separator : ' ';
    const std::string& n = names[j];
    if (!csv) {
      for (char c : n) line += is_space(c) ? '_' : c;
    } else if (n.find_first_of(std::string(1, separator) + "\"\r\n") != std::string::npos) {
      line += '"';
      for (char c : n) {
        if (c == '"') line += '"';
        line += c;
      }
      line += '"';
    } else {
      line += n;
    }
  }
  return line + "\n";
}
