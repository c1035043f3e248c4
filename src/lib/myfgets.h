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

// Reads whole lines of any length, with the same comment rule as myfgets, in large blocks.
struct line_reader {
  FILE* stream = nullptr;
  char* buf = nullptr;     // block of the file; holds the current line whole
  size_t cap = 0;          // allocated bytes of buf
  size_t begin = 0;        // start of the unread text in buf
  size_t end = 0;          // end of the text read into buf
  char saved = 0;          // byte overwritten by the current line's terminator
  bool eof = false;        // the stream has no more text
  size_t failed_size = 0;  // bytes asked for when an allocation failed
};
enum { LINE_OK = 1, LINE_END = 0, LINE_ERROR = -1, LINE_NO_MEMORY = -2 };

void line_reader_init(line_reader* r, FILE* stream);
void line_reader_free(line_reader* r);
// Next non-comment line, NUL-terminated at *line; *len counts its bytes up to and including
// the newline (the line may hold NUL bytes of its own). Valid until the next call.
int line_reader_next(line_reader* r, char** line, size_t* len);
