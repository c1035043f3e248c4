// The layout of an input's text results: the separator between values, a decimal comma, a first
// line of names and a first column of sample times, as the input had them.
#pragma once

#include <string>
#include <vector>

struct text_layout {
  char separator = ' ';
  bool decimal_comma = false;
  std::string header;         // the first line of every result, newline included, or empty
  std::vector<double> times;  // the first column of every result, one a sample, or empty
  bool plain() const { return separator == ' ' && !decimal_comma && times.empty(); }
};

// The layout of the input being processed; plain unless --csv, --names or --clock say otherwise.
extern text_layout result_layout;

// Longest text format_time writes, with its separator.
constexpr int kTimeMax = 40;

// v as a result value (%.11g), with a decimal comma where the layout has one.
char* format_value(char* p, double v, const text_layout& l);
// A sample time: %.11g where that reads back as the same time, else %.17g, so no time is lost.
char* format_time(char* p, double t, const text_layout& l);

// The line of names: with --csv the names joined by the separator (quoted where they hold it, a
// quote or a line end); else "# " and the names joined by spaces, white space in a name as '_'.
std::string names_line(const std::vector<std::string>& names, bool csv, char separator);
