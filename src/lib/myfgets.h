// The comment-skipping line reader of the matrix text format.
#pragma once

#include <stddef.h>
#include <stdio.h>

// True when commentchars is given and holds the first byte of s (a NUL byte counts too).
int iscomment(const char* s, const char* commentchars);
// fgets until a line that is not a comment, or none; returns fgets' result.
char* myfgets_c(char* s, int n, FILE* stream, const char* commentchars);
// myfgets_c with the comment characters "#;!".
char* myfgets(char* s, int n, FILE* stream);

// Reads whole lines of any length, with the same comment rule as myfgets.
struct line_reader {
  FILE* stream = nullptr;
  char* buf = nullptr;  // line text, NUL-terminated; may hold NUL bytes of its own
  size_t cap = 0;       // allocated bytes of buf
  size_t failed_size = 0;  // bytes asked for when an allocation failed
};
enum { LINE_OK = 1, LINE_END = 0, LINE_ERROR = -1, LINE_NO_MEMORY = -2 };

void line_reader_init(line_reader* r, FILE* stream);
void line_reader_free(line_reader* r);
// Next non-comment line; on LINE_OK *len is its length up to and including the newline.
int line_reader_next(line_reader* r, size_t* len);
