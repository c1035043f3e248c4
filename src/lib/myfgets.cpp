#include "myfgets.h"

#include <stdlib.h>
#include <string.h>

int iscomment(const char* s, const char* commentchars) {
  // strchr finds the terminator too, so a line starting with a NUL byte is a comment.
  return commentchars != nullptr && strchr(commentchars, s[0]) != nullptr;
}

char* myfgets_c(char* s, int n, FILE* stream, const char* commentchars) {
  char* r;
  do {
    r = fgets(s, n, stream);
  } while (r != nullptr && iscomment(s, commentchars));
  return r;
}

char* myfgets(char* s, int n, FILE* stream) {
  return myfgets_c(s, n, stream, kCommentChars);
}
