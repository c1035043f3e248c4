// The one read of an input's leading block: large blocks cut at white space and read by
// several threads at once, with the outcome of one reading from the start.
#pragma once

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "alloc.h"
#include "huge_pages.h"

// Outcome of reading a matrix text.
enum scan_status {
  SCAN_OK = 0,
  SCAN_READ_ERROR,       // the stream reported an error
  SCAN_NO_REWIND,        // mxsize: the stream could not be set back to its start
  SCAN_NO_MEMORY,        // a line or the values could not be kept; see matrix_text::failed_size
  SCAN_TOO_MANY,         // the line count or a line's count of numbers does not fit an int
  SCAN_OTHER_SHAPE,      // a reader did not find the rows x cols it was given
  SCAN_TOO_MANY_VALUES,  // more values than a matrix can hold: reading stopped there
};

// Items appended one at a time to a malloc'd block that doubles when full.
template <typename T>
struct growing_array {
  c_array<T> items;
  size_t size = 0;
  size_t cap = 0;
  // False when the block could not grow; *asked then holds the bytes asked for.
  bool push(T v, size_t* asked) {
    if (size == cap && !grow(asked)) return false;
    items[size++] = v;
    return true;
  }
  bool grow(size_t* asked) { return move_to(cap == 0 ? 1 << 16 : cap * 2, asked); }
  // Room for n items at once, so that a large input whose size is known ahead is neither
  // copied nor faulted in twice as the block grows. False, with nothing changed, when the room
  // cannot be had; the block then grows as before.
  bool reserve(size_t n) {
    size_t asked;
    return n <= cap || move_to(n, &asked);
  }
  // A large block offered huge pages is moved by hand: realloc could not move it in one piece
  // once the advice split its mapping, and would fault its copy in 4 KiB at a time.
  bool move_to(size_t want, size_t* asked) {
    const size_t bytes = want * sizeof(T);
    const bool huge = huge_pages_offered(bytes);
    T* p = static_cast<T*>(huge ? malloc(bytes) : realloc(items.get(), bytes));
    if (p == nullptr) {
      *asked = bytes;
      return false;
    }
    if (huge) {
      advise_huge_pages(p, bytes, size * sizeof(T));
      if (size > 0) memcpy(p, items.get(), size * sizeof(T));
    } else {
      items.release();
    }
    items.reset(p);
    cap = want;
    return true;
  }
};

// The leading block of a matrix text as its one read keeps it: the shape, the values, and
// for the debug trace whether text follows the numbers of each line; never the text.
struct matrix_text {
  int lines = 0;                            // lines of the block
  int values = 0;                           // numbers on each of them
  growing_array<double> data;               // line after line; kept up to INT_MAX values
  growing_array<unsigned char> text_after;  // traced reads: 1 when a non-number follows
  size_t failed_size = 0;                   // bytes asked for when SCAN_NO_MEMORY
  // What the messages and the results of delimited text need, beyond the values.
  std::vector<std::string> names;   // the fields of a line of names, or none
  bool decimal_comma = false;       // a number had a comma for its decimal point
  long first_line = 0;              // the first non-comment line (counted from 1), or 0
  std::string first_text;           // its first 40 bytes, up to a line end
  long end_line = 0;                // the line that ended the matrix before the end, or 0
  std::string end_text;             // its first 40 bytes
  long later_lines = 0;             // lines with numbers from the ending line on
  bool comma_after_number = false;  // the first line's reading stopped at ",5" or ";5"
  std::vector<long> line_numbers;   // with --clock: the file line of each line of the block
};

// Reads the numbers of [p, end) one after another until the first non-number, appending each
// to *values when given; end points at a NUL byte. Returns the scanner's last result (0: a
// non-number stopped the reading, EOF: the end), or -2 when a value could not be kept; *stop,
// when given, is where the reading stopped.
int read_numbers(const char* p, const char* end, growing_array<double>* values, long long* count,
                 size_t* asked, const char** stop = nullptr);
// Reads the leading block of the stream once, at most max_lines lines of it; keep: the values
// are kept, trace: also what the readers' debug trace shows. The stream is not rewound.
int scan_text(FILE* file, matrix_text* m, bool keep, bool trace, long long max_lines);
// Reads the leading block of the stream once, at most max_lines lines of it, keeping the
// values and, with trace, what the readers' debug trace shows; the stream is not rewound.
int scan_matrix(FILE* file, matrix_text* m, bool trace, long long max_lines = LLONG_MAX);
