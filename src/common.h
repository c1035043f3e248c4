// Counting the numbers of a line, the size scan of an input file, and fname.
#pragma once

#include <stdio.h>

// Outcome of the size scan and the readers.
enum scan_status {
  SCAN_OK = 0,
  SCAN_READ_ERROR,  // the stream reported an error
  SCAN_NO_REWIND,   // the stream could not be set back to its start
  SCAN_NO_MEMORY,   // a line buffer could not be allocated or grown; see scan_failed_size
  SCAN_TOO_MANY,    // the line count does not fit an int
  SCAN_CHANGED,     // a reader did not find the lines the size scan counted
};
// The buffer size asked for when SCAN_NO_MEMORY was returned.
extern size_t scan_failed_size;

// Count of numbers at the start of a NUL-terminated line.
int checkline(const char* line);
// Lines of the leading block and numbers per line; the stream is rewound.
int mxsize(FILE* file, int* rows, int* cols);

// The values of the leading block in file order, kept by the size scan so that the file
// need not be read twice; data is malloc'd, or null when it could not be kept.
struct kept_values {
  double* data = nullptr;
  size_t count = 0;
  size_t cap = 0;
};
// mxsize that also keeps the values when it can (kept may be null).
int size_scan(FILE* file, int* rows, int* cols, kept_values* kept);
// File-name part of path (no directory, no extension), in a static buffer.
char* fname(const char* path);
