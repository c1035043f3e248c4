#include "input_format.h"

#include <fcntl.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "fatal.h"
#include "huge_pages.h"
#include "settings.h"

namespace {

constexpr size_t kPeek = 64;  // bytes looked at: the longest signature's end and more

// A stream that gives the bytes looked at again, then the rest of the stream they came from.
struct replay {
  unsigned char head[kPeek];
  size_t size;
  size_t pos;
  FILE* rest;
};

ssize_t replay_read(void* cookie, char* buf, size_t size) {
  replay* r = static_cast<replay*>(cookie);
  if (r->pos < r->size) {
    size_t n = std::min(size, r->size - r->pos);
    memcpy(buf, r->head + r->pos, n);
    r->pos += n;
    return static_cast<ssize_t>(n);
  }
  size_t got = fread(buf, 1, size, r->rest);
  return got == 0 && ferror(r->rest) ? -1 : static_cast<ssize_t>(got);
}

int replay_close(void* cookie) {
  std::unique_ptr<replay> r(static_cast<replay*>(cookie));
  return fclose(r->rest);
}

// The stream from its first byte again: set back when it can be, else wrapped.
FILE* from_the_start(FILE* f, const unsigned char* head, size_t size) {
  if (fseeko(f, 0, SEEK_SET) == 0) return f;
  clearerr(f);
  auto r = std::make_unique<replay>();
  memcpy(r->head, head, size);
  r->size = size;
  r->pos = 0;
  r->rest = f;
  cookie_io_functions_t io = {replay_read, nullptr, nullptr, replay_close};
  FILE* w = fopencookie(r.get(), "r", io);
  if (w == nullptr) fatal("Couldn't open a stream over the input.\n");
  r.release();
  setvbuf(w, nullptr, _IOFBF, 32768);
  return w;
}

bool starts_with(const unsigned char* head, size_t size, const char* magic, size_t len) {
  return size >= len && memcmp(head, magic, len) == 0;
}

// The containers libsndfile reads: WAV, RF64, FLAC, AIFF, Ogg, AU and CAF.
bool is_audio(const unsigned char* head, size_t size) {
  for (const char* magic : {"RIFF", "RIFX", "RF64", "fLaC", "FORM", "OggS", ".snd", "caff"}) {
    if (starts_with(head, size, magic, 4)) return true;
  }
  return false;
}

}  // namespace

void refuse_recording(const char* path, const std::string& reason) {
  fatal("Couldn't read %s.\n  %s\n", path, reason.c_str());
}

double* reserve_values(matrix_text* m, size_t n) {
  const size_t bytes = std::max<size_t>(n, 1) * sizeof(double);
  // Room for the spectra too where it can be had: they are made in the values' block once the
  // values are placed, on the pages the values took.
  size_t room = 2 * bytes + 64;
  double* p = static_cast<double*>(malloc(room));
  if (p == nullptr) p = static_cast<double*>(malloc(room = bytes));
  if (p == nullptr) fatal("Couldn't malloc %lu bytes\n", static_cast<unsigned long>(bytes));
  advise_huge_pages(p, room, bytes);
  m->data.items.reset(p);
  m->data.size = n;
  m->data.cap = room / sizeof(double);
  return p;
}

bool read_recording(FILE** f, const char* path, matrix_text* m, double* interval) {
  unsigned char head[kPeek];
  const size_t size = fread(head, 1, sizeof head, *f);
  *interval = 0;
  *f = from_the_start(*f, head, size);
  if (starts_with(head, size, "\x93NUMPY", 6)) {
    read_npy(*f, path, m);
    return true;
  }
  if (is_audio(head, size)) {
    read_audio(*f, path, m, interval);
    return true;
  }
  if (is_mseed(head, size)) {
    read_mseed(*f, path, m, interval);
    return true;
  }
  return false;
}

void use_file_interval(const char* path, double interval, const char* from, const char* whose) {
  if (!(interval > 0)) return;
  if (!interval_given) {
    tstep = interval;
    printf("%s: timestep=%g from %s\n", path, interval, from);
  } else if (fabs(tstep - interval) > 1e-6 * interval) {
    fprintf(stderr, "Warning: %s: %s timestep is %g; %g is used\n", path, whose, interval, tstep);
  }
}

bool may_name_interval(const char* path) {
  // Looked into only when it is a regular file: a FIFO's bytes can be read once only, at its
  // turn, and opening it would meet a writer that waits for its reader. One that cannot be
  // opened is reported at its turn.
  struct stat st;
  if (stat(path, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) return true;
  // Without waiting, should it have become something else since.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool named = true;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    // A regular file gives what it holds of its first bytes in one read.
    unsigned char head[kPeek];
    const ssize_t got = read(fd, head, sizeof head);
    const size_t size = got > 0 ? static_cast<size_t>(got) : 0;
    named = is_audio(head, size) || is_mseed(head, size);
  }
  close(fd);
  return named;
}
