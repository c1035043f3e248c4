// One stretch of a block as one thread reads it: the numbers (or fields) of each piece of a
// line, with what the merge in file order needs to know of it.
#pragma once

#include <stddef.h>

#include <vector>

#include "block_reader.h"

// A stretch of one line as one thread read it; or several whole lines alike, one after the other,
// each with `count` numbers and nothing else: a piece a line would cost its memory's first
// touches at every line of a file of one column.
struct piece {
  const char* begin = nullptr;  // its first byte
  long long count = 0;          // numbers read (with --csv: fields, each a value)
  long long repeat = 1;         // lines alike from `begin`, each whole and ended by a newline
  long long numbers = 0;        // with --csv: fields that hold a number
  bool text = false;            // a non-number ended the reading: the rest of the line is ignored
  bool nul = false;             // a NUL byte ended the reading: the rest of the line is ignored
  bool line_end = false;        // a newline ends the line here
  bool comment = false;         // the line is a comment (known only where the line starts)
  bool comma = false;           // the reading stopped at a comma or semicolon before a digit
  bool blank = true;            // with --csv: nothing but blanks so far
  bool decimal_comma = false;
};

struct segment {
  char* begin;
  char* end;
  bool at_line_start;
  growing_array<double> values;
  std::vector<piece> pieces;
  bool no_memory = false;
  size_t failed_size = 0;
};

// The comment rule of delimited text: today's, less the separator.
bool is_csv_comment_start(char c, char separator);

// Reads the numbers of [begin, end), which starts after white space (or at the text's start)
// and ends after white space or at the end of the text: no number crosses either end.
void read_segment(segment* g, bool keep);
// The fields of [begin, end), which starts at a line start or after a separator and ends after
// a separator or newline, or at the end of the text.
void read_csv_segment(segment* g, bool keep, char separator);
