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

char* myfgets(char* s, int n, FILE* stream) { return myfgets_c(s, n, stream, "#;!"); }

static constexpr size_t kFirstLineBuffer = 1 << 16;

void line_reader_init(line_reader* r, FILE* stream) {
  *r = line_reader{};
  r->stream = stream;
}

void line_reader_free(line_reader* r) {
  free(r->buf);
  r->buf = nullptr;
  r->cap = 0;
}

// One raw line, as fgets would return it but of any length.
static int read_raw_line(line_reader* r, size_t* len) {
  if (r->buf == nullptr) {
    r->buf = static_cast<char*>(malloc(kFirstLineBuffer));
    if (r->buf == nullptr) {
      r->failed_size = kFirstLineBuffer;
      return LINE_NO_MEMORY;
    }
    r->cap = kFirstLineBuffer;
  }
  FILE* f = r->stream;
  size_t n = 0;
  for (;;) {
    if (n + 1 >= r->cap) {
      size_t want = r->cap * 2;
      char* p = static_cast<char*>(realloc(r->buf, want));
      if (p == nullptr) {
        r->failed_size = want;
        return LINE_NO_MEMORY;
      }
      r->buf = p;
      r->cap = want;
    }
    int c = getc_unlocked(f);
    if (c == EOF) break;
    r->buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  r->buf[n] = '\0';
  if (ferror(f)) return LINE_ERROR;
  *len = n;
  return n == 0 ? LINE_END : LINE_OK;
}

int line_reader_next(line_reader* r, size_t* len) {
  for (;;) {
    int st = read_raw_line(r, len);
    if (st != LINE_OK) return st;
    if (!iscomment(r->buf, "#;!")) return LINE_OK;
  }
}
