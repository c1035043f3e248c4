#include "logfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>

namespace {

// Newly malloc'd copy of s with a backslash before every '"' and '\', and line breaks written
// as \n and \r so that an entry stays on one line; the caller frees it.
char* quote_string(const char* s) {
  if (s == nullptr) s = "";
  size_t len = 0;
  for (const char* p = s; *p != '\0'; ++p) len += strchr("\"\\\n\r", *p) != nullptr ? 2 : 1;
  char* copy = static_cast<char*>(malloc(len + 1));
  if (copy == nullptr) return nullptr;
  char* q = copy;
  for (const char* p = s; *p != '\0'; ++p) {
    if (*p == '\n' || *p == '\r') {
      *q++ = '\\';
      *q++ = *p == '\n' ? 'n' : 'r';
      continue;
    }
    if (*p == '"' || *p == '\\') *q++ = '\\';
    *q++ = *p;
  }
  *q = '\0';
  return copy;
}

// Appends one element that holds a space, comma, asterisk or line break, quoted so the line
// stays parseable.
void logfile_long_opt(std::string& line, const char* s) {
  const char* value = s;
  size_t name_len = 0;
  bool long_opt = false;
  if (strncmp(s, "--", 2) == 0) {
    const char* eq = strchr(s, '=');
    if (eq != nullptr) {
      long_opt = true;
      name_len = static_cast<size_t>(eq - s);
      value = eq + 1;
    }
  }
  char* quoted = quote_string(value);
  line += ' ';
  if (quoted == nullptr) {
    // Out of memory: an unquoted element still beats losing the whole entry.
    line += s;
    return;
  }
  if (long_opt) {
    line.append(s, name_len);
    line += '=';
  }
  line += '"';
  line += quoted;
  line += '"';
  free(quoted);
}

// Writes all of buf; errors are dropped because the log must never stop the run.
void write_all(int fd, const char* buf, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, buf, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (n == 0) return;
    buf += n;
    len -= static_cast<size_t>(n);
  }
}

}  // namespace

void flogfile(const char* logfile, int argc, char** argv) {
  int fd = -1;
  for (int attempt = 0; attempt < 11 && fd < 0; ++attempt) {
    // O_APPEND plus a single write keeps lines from concurrent runs whole; a FIFO without a
    // reader fails at once instead of holding the run.
    fd = open(logfile, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  }
  if (fd < 0) {
    fputs("No logfile entry\n", stderr);
    return;
  }
  try {
    std::string line;
    char stamp[30] = "";
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) {
      strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    }
    line += stamp;
    for (int i = 0; i < argc; ++i) {
      const char* arg = argv[i] != nullptr ? argv[i] : "(null)";
      if (strpbrk(arg, " ,*\n\r") != nullptr) {
        logfile_long_opt(line, arg);
      } else {
        line += ' ';
        line += arg;
      }
    }
    line += '\n';
    write_all(fd, line.data(), line.size());
  } catch (const std::bad_alloc&) {
    // No memory for the line: skip the entry rather than end the run.
  }
  close(fd);
}

void logfile(int argc, char** argv) {
  flogfile("logfile", argc, argv);
}
