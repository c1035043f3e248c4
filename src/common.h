// Counting the numbers of a line, the size scan, and fname.
#pragma once

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "block_reader.h"

// Count of numbers at the start of a NUL-terminated line.
int checkline(const char* line);
// Lines of the leading block and numbers per line; the stream is rewound.
int mxsize(FILE* file, int* rows, int* cols);
// File-name part of path (no directory, no extension), in a static buffer.
char* fname(const char* path);
