// Counting the numbers of a line, the one read of an input's leading block, and fname.
#pragma once

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "alloc.h"

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
    if (size == cap) {
      const size_t want = cap == 0 ? 1 << 16 : cap * 2;
      T* p = static_cast<T*>(realloc(items.get(), want * sizeof(T)));
      if (p == nullptr) {
        *asked = want * sizeof(T);
        return false;
      }
      items.release();
      items.reset(p);
      cap = want;
    }
    items[size++] = v;
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
};

// Count of numbers at the start of a NUL-terminated line.
int checkline(const char* line);
// Lines of the leading block and numbers per line; the stream is rewound.
int mxsize(FILE* file, int* rows, int* cols);
// Reads the leading block of the stream once, at most max_lines lines of it, keeping the
// values and, with trace, what the readers' debug trace shows; the stream is not rewound.
int scan_matrix(FILE* file, matrix_text* m, bool trace, long long max_lines = LLONG_MAX);
// File-name part of path (no directory, no extension), in a static buffer.
char* fname(const char* path);
