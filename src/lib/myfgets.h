// The comment-skipping line reader of the matrix text format.
#pragma once

#include <stdio.h>

// The comment characters of the matrix text format: a line starting with one of them, or with
// a NUL byte, is a comment. The block reader and myfgets both go by this.
constexpr char kCommentChars[] = "#;!";
inline bool is_comment_start(char c) {
  return c == '#' || c == ';' || c == '!' || c == '\0';
}

// True when commentchars is given and holds the first byte of s (a NUL byte counts too).
int iscomment(const char* s, const char* commentchars);
// fgets until a line that is not a comment, or none; returns fgets' result.
char* myfgets_c(char* s, int n, FILE* stream, const char* commentchars);
// myfgets_c with the comment characters kCommentChars.
char* myfgets(char* s, int n, FILE* stream);
