#include "compat.h"

#ifndef HAVE_STRLCPY
size_t strlcpy(char* d, const char* s, size_t bufsize) {
  size_t len = strlen(s);
  if (bufsize == 0) return len;
  size_t n = len < bufsize - 1 ? len : bufsize - 1;
  memcpy(d, s, n);
  d[n] = '\0';
  return len;
}
#endif

#ifndef HAVE_STRLCAT
size_t strlcat(char* d, const char* s, size_t bufsize) {
  size_t dlen = strlen(d);
  size_t slen = strlen(s);
  // A d that already fills the buffer stays as it is; the result still tells the wanted length.
  if (dlen < bufsize - 1) {
    size_t room = bufsize - dlen - 1;
    size_t n = slen < room ? slen : room;
    memcpy(d + dlen, s, n);
    d[dlen + n] = '\0';
  }
  return dlen + slen;
}
#endif
