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
  return myfgets_c(s, n, stream, "#;!");
}

static constexpr size_t kBlock = 1 << 20;

void line_reader_init(line_reader* r, FILE* stream) {
  *r = line_reader{};
  r->stream = stream;
}

void line_reader_free(line_reader* r) {
  free(r->buf);
  r->buf = nullptr;
  r->cap = 0;
}

// Moves the unread text to the front and reads more behind it, growing the buffer when
// the unread text already fills it (a line longer than the buffer).
static int refill(line_reader* r) {
  size_t keep = r->end - r->begin;
  if (r->begin > 0) {
    memmove(r->buf, r->buf + r->begin, keep);
    r->begin = 0;
    r->end = keep;
  }
  // One byte stays free for the terminator after the last line.
  if (r->cap - r->end < kBlock / 2 + 1) {
    size_t want = r->cap == 0 ? kBlock + 1 : r->cap * 2;
    char* p = static_cast<char*>(realloc(r->buf, want));
    if (p == nullptr) {
      r->failed_size = want;
      return LINE_NO_MEMORY;
    }
    r->buf = p;
    r->cap = want;
  }
  size_t n = fread(r->buf + r->end, 1, r->cap - 1 - r->end, r->stream);
  r->end += n;
  if (n == 0) {
    if (ferror(r->stream)) return LINE_ERROR;
    r->eof = true;
  }
  return LINE_OK;
}

// One raw line, as fgets would return it but of any length.
static int read_raw_line(line_reader* r, char** line, size_t* len) {
  if (r->buf != nullptr && r->begin < r->end) r->buf[r->begin] = r->saved;
  size_t scanned = r->begin;
  for (;;) {
    const char* nl =
        r->begin < r->end
            ? static_cast<const char*>(memchr(r->buf + scanned, '\n', r->end - scanned))
            : nullptr;
    size_t stop;
    if (nl != nullptr) {
      stop = static_cast<size_t>(nl - r->buf) + 1;
    } else if (r->eof) {
      if (r->begin == r->end) return LINE_END;
      stop = r->end;  // a last line without a newline
    } else {
      scanned = r->end - r->begin;
      int st = refill(r);
      if (st != LINE_OK) return st;
      scanned += r->begin;
      continue;
    }
    *line = r->buf + r->begin;
    *len = stop - r->begin;
    // Terminate the line in place; the byte it covers is put back on the next call.
    r->saved = r->buf[stop];
    r->buf[stop] = '\0';
    r->begin = stop;
    return LINE_OK;
  }
}

int line_reader_next(line_reader* r, char** line, size_t* len) {
  for (;;) {
    int st = read_raw_line(r, line, len);
    if (st != LINE_OK) return st;
    if (!iscomment(*line, "#;!")) return LINE_OK;
  }
}
