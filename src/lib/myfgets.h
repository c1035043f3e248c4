// The comment-skipping line reader of the matrix text format.
#pragma once

#include <stdio.h>

// True when commentchars is given and holds the first byte of s (a NUL byte counts too).
int iscomment(const char* s, const char* commentchars);
// fgets until a line that is not a comment, or none; returns fgets' result.
char* myfgets_c(char* s, int n, FILE* stream, const char* commentchars);
// myfgets_c with the comment characters "#;!".
char* myfgets(char* s, int n, FILE* stream);
