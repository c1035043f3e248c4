#include "wisdom.h"

#include <fcntl.h>
#include <fftw3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "dbg_printf.h"
#include "settings.h"
#include "tempfile.h"

const char kWisdomFile[] = "anasig.fftw3";

namespace {

// Real wisdom is a few kB; anything far bigger is not ours.
const size_t kMaxWisdomBytes = 16u << 20;

struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Cursor over the text being checked; every step fails rather than read past end.
struct cursor {
  const char* p;
  const char* end;
};

bool literal(cursor* c, const char* s) {
  const char* q = c->p;
  for (; *s != '\0'; ++s, ++q) {
    if (q == c->end || *q != *s) return false;
  }
  c->p = q;
  return true;
}

int hex_digit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

// An MD5 word as FFTW prints it: exactly eight lower-case hex digits.
bool md5_word(cursor* c) {
  if (!literal(c, " #x")) return false;
  for (int i = 0; i < 8; ++i, ++c->p) {
    if (c->p == c->end || hex_digit(*c->p) < 0) return false;
  }
  return true;
}

// A "#x%x" field: lower-case hex without leading zeros, at most `max`. FFTW keeps these in
// narrow bit fields and aborts on import when a value does not fit.
bool hex_field(cursor* c, unsigned long max, unsigned long* value) {
  if (!literal(c, " #x")) return false;
  const char* start = c->p;
  unsigned long v = 0;
  while (c->p != c->end && hex_digit(*c->p) >= 0) {
    if (c->p - start == 8) return false;
    v = v * 16 + static_cast<unsigned long>(hex_digit(*c->p));
    ++c->p;
  }
  if (c->p == start || (*start == '0' && c->p - start > 1) || v > max) return false;
  *value = v;
  return true;
}

// A "%d" registration number: decimal without sign or leading zeros.
bool reg_id(cursor* c, unsigned long* value) {
  if (!literal(c, " ")) return false;
  const char* start = c->p;
  unsigned long v = 0;
  while (c->p != c->end && *c->p >= '0' && *c->p <= '9') {
    if (c->p - start == 4) return false;
    v = v * 10 + static_cast<unsigned long>(*c->p - '0');
    ++c->p;
  }
  if (c->p == start || (*start == '0' && c->p - start > 1)) return false;
  *value = v;
  return true;
}

// A solver name (or TIMEOUT): letters, digits and underscores, shorter than FFTW's 64.
bool name(cursor* c, bool* is_timeout) {
  const char* start = c->p;
  while (c->p != c->end && (*c->p == '_' || (*c->p >= '0' && *c->p <= '9') ||
                            (*c->p >= 'a' && *c->p <= 'z') || (*c->p >= 'A' && *c->p <= 'Z'))) {
    if (c->p - start == 63) return false;
    ++c->p;
  }
  const size_t n = static_cast<size_t>(c->p - start);
  *is_timeout = n == 7 && memcmp(start, "TIMEOUT", 7) == 0;
  return n > 0;
}

// "  (name reg #xL #xU #xT #xS #xS #xS #xS)\n"; L and U are 20-bit planner flags, T the 9-bit
// time-limit impatience, which FFTW allows only on TIMEOUT entries.
bool entry(cursor* c) {
  bool timeout = false;
  unsigned long reg = 0, lower = 0, upper = 0, impatience = 0;
  if (!literal(c, "  (") || !name(c, &timeout) || !reg_id(c, &reg)) return false;
  if (!hex_field(c, 0xfffff, &lower) || !hex_field(c, 0xfffff, &upper)) return false;
  if (!hex_field(c, 0x1ff, &impatience)) return false;
  if (timeout ? reg != 0 : impatience != 0) return false;
  for (int i = 0; i < 4; ++i) {
    if (!md5_word(c)) return false;
  }
  return literal(c, ")\n");
}

// The whole text exactly as fftw_export_wisdom writes it, header to closing parenthesis.
const char* wisdom_fault(const char* text, size_t len) {
  cursor c{text, text + len};
  if (!literal(&c, "(fftw-3.3.")) return "no FFTW 3.3 wisdom header";
  const char* digits = c.p;
  while (c.p != c.end && *c.p >= '0' && *c.p <= '9' && c.p - digits < 3) ++c.p;
  if (c.p == digits || !literal(&c, " fftw_wisdom")) return "no FFTW 3.3 wisdom header";
  for (int i = 0; i < 4; ++i) {
    if (!md5_word(&c)) return "bad configuration signature";
  }
  if (!literal(&c, "\n")) return "bad configuration signature";
  while (!literal(&c, ")\n")) {
    if (!entry(&c)) return "malformed entry";
  }
  if (c.p != c.end) return "text after the wisdom";
  return nullptr;
}

void skipped(const char* path, const char* why) {
  if (debug) dbg__printf(__FILE__, __LINE__, "wisdom file %s skipped: %s\n", path, why);
}

}  // namespace

int import_wisdom_checked(const char* path) {
  if (path == nullptr) return 0;
  // Non-blocking, so that a FIFO in the file's place cannot stall the run.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  file_ptr f(fdopen(fd, "r"));
  if (f == nullptr) {
    close(fd);
    skipped(path, "cannot be read");
    return 0;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    skipped(path, "not a regular file");
    return 0;
  }
  if (st.st_size <= 0 || static_cast<unsigned long long>(st.st_size) > kMaxWisdomBytes) {
    skipped(path, st.st_size <= 0 ? "empty" : "larger than 16 MiB");
    return 0;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  // One byte more than fstat promised shows a file that grew while being read.
  auto text = std::make_unique_for_overwrite<char[]>(size + 2);
  const size_t got = fread(text.get(), 1, size + 1, f.get());
  if (ferror(f.get()) || got != size) {
    skipped(path, ferror(f.get()) ? "read error" : "changed while being read");
    return 0;
  }
  text[got] = '\0';
  if (const char* fault = wisdom_fault(text.get(), got)) {
    skipped(path, fault);
    return 0;
  }
  if (fftw_import_wisdom_from_string(text.get()) == 0) {
    skipped(path, "not taken by FFTW (other version or machine)");
    return 0;
  }
  return 1;
}

void export_wisdom(const char* path) {
  mode_t mask = umask(0);
  umask(mask);
  tracked_file id;
  FILE* f = temp_create(path, 0666 & ~mask, &id);
  if (f == nullptr) return;
  fftw_export_wisdom_to_file(f);
  bool ok = !ferror(f);
  ok = (fclose(f) == 0) && ok;
  if (!ok || temp_commit(&id, 1) != 1) temp_abandon(id);
}
