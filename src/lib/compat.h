// Bounded string copy for C libraries that lack it.
#pragma once

#include <stddef.h>
#include <string.h>

#ifndef HAVE_STRLCPY
// Copies at most bufsize - 1 bytes of s into d and terminates d; returns strlen(s).
size_t strlcpy(char* d, const char* s, size_t bufsize);
#endif
#ifndef HAVE_STRLCAT
// Appends s to d within bufsize bytes; returns strlen(d) + strlen(s), both taken at entry.
size_t strlcat(char* d, const char* s, size_t bufsize);
#endif
