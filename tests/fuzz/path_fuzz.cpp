// Path splitting and joining with buffers of fuzzed sizes, each allocated to its exact size.
#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "mypath.h"

namespace {

// Four part sizes and one joined-path size, two bytes each, then a byte of null-part flags.
constexpr size_t kPrefix = 11;
constexpr size_t kMaxBuffer = 300;

const std::string* current_input = nullptr;

[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char* fmt, ...) {
  fputs("path_fuzz: ", stderr);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputs("\n  input: \"", stderr);
  for (unsigned char c : *current_input) {
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
      fputc(c, stderr);
    } else {
      fprintf(stderr, "\\x%02x", c);
    }
  }
  fputs("\"\n", stderr);
  abort();
}

// A heap block of exactly n bytes filled with junk, so any byte past it is an overrun.
struct buffer {
  explicit buffer(size_t n) : size(n), data(std::make_unique<char[]>(n)) {
    memset(data.get(), 'Z', n);
  }
  size_t size;
  std::unique_ptr<char[]> data;
  bool terminated() const { return memchr(data.get(), '\0', size) != nullptr; }
};

struct parts {
  std::string p[4];  // drive, directory, file name, extension
};

const char* const kPartName[4] = {"drive", "directory", "file name", "extension"};

void check_status(int st, const char* what, const char* path) {
  if (st == 0 || st == ENAMETOOLONG) return;
  if (st == ENOMEM) {
    // Only a failed working copy may give ENOMEM.
    std::unique_ptr<char, decltype(&free)> probe(strdup(path), &free);
    if (!probe) return;
  }
  fail("%s returned status %d", what, st);
}

// Splitting into buffers that always fit: the parts laid end to end give the path back.
parts explode_generous(const char* path) {
  const size_t n = strlen(path) + 1;
  buffer b[4] = {buffer(n), buffer(n), buffer(n), buffer(n)};
  const int st = explode_path_n(path, b[0].data.get(), n, b[1].data.get(), n, b[2].data.get(), n,
                                b[3].data.get(), n);
  check_status(st, "explode_path_n with room to spare", path);
  if (st != 0) fail("explode_path_n with room to spare returned %d", st);
  parts out;
  for (int i = 0; i < 4; ++i) {
    if (!b[i].terminated()) fail("%s not terminated with room to spare", kPartName[i]);
    out.p[i] = b[i].data.get();
  }
  if (out.p[0] + out.p[1] + out.p[2] + out.p[3] != path)
    fail("parts \"%s\" \"%s\" \"%s\" \"%s\" do not make up the path", out.p[0].c_str(),
         out.p[1].c_str(), out.p[2].c_str(), out.p[3].c_str());
  return out;
}

std::string combine_generous(const char* const in[4]) {
  size_t n = 8;
  for (int i = 0; i < 4; ++i) n += in[i] != nullptr ? strlen(in[i]) : 0;
  buffer out(n);
  const int st = combine_path_n(out.data.get(), n, in[0], in[1], in[2], in[3]);
  if (st != 0) fail("combine_path_n into %zu bytes returned %d", n, st);
  if (!out.terminated()) fail("combine_path_n into %zu bytes left no terminator", n);
  return out.data.get();
}

// Joining into len bytes gives the first len - 1 bytes of the full join, 36 when cut short.
void check_combine(const char* const in[4], size_t len) {
  const std::string full = combine_generous(in);
  buffer out(len);
  const int st = combine_path_n(out.data.get(), len, in[0], in[1], in[2], in[3]);
  const int want = full.size() < len ? 0 : ENAMETOOLONG;
  if (st != want)
    fail("combine_path_n into %zu bytes returned %d for \"%s\" (%zu bytes)", len, st, full.c_str(),
         full.size());
  if (len == 0) return;
  if (!out.terminated()) fail("combine_path_n into %zu bytes left no terminator", len);
  if (full.compare(0, len - 1, out.data.get()) != 0)
    fail("combine_path_n into %zu bytes gave \"%s\", not a prefix of \"%s\"", len, out.data.get(),
         full.c_str());
}

// What a split into the given buffers must leave, from the split with room to spare.
void expect_split(const char* what, const parts& whole, char* const ptr[4], const buffer b[4],
                  int st) {
  const size_t size[4] = {b[0].size, b[1].size, b[2].size, b[3].size};
  for (int i = 0; i < 4; ++i) {
    if (ptr[i] != nullptr && !b[i].terminated())
      fail("%s: %s not terminated within %zu bytes", what, kPartName[i], size[i]);
  }
  // Parts are filled extension first; the first one that does not fit ends the split.
  const int order[4] = {3, 2, 1, 0};
  int too_long = -1;
  for (int i : order) {
    if (ptr[i] != nullptr && whole.p[i].size() >= size[i]) {
      too_long = i;
      break;
    }
  }
  if (st != (too_long < 0 ? 0 : ENAMETOOLONG))
    fail("%s returned %d, expected %d", what, st, too_long < 0 ? 0 : ENAMETOOLONG);
  bool reached = true;
  for (int i : order) {
    if (ptr[i] == nullptr) continue;
    const std::string got = ptr[i];
    const std::string want = !reached        ? std::string()
                             : i == too_long ? whole.p[i].substr(0, size[i] - 1)
                                             : whole.p[i];
    if (got != want)
      fail("%s: %s is \"%s\", expected \"%s\"", what, kPartName[i], got.c_str(), want.c_str());
    if (i == too_long) reached = false;
  }
}

void check_explode(const char* path, const size_t size[4], unsigned nulls, size_t join_size) {
  const parts whole = explode_generous(path);
  const buffer b[4] = {buffer(size[0]), buffer(size[1]), buffer(size[2]), buffer(size[3])};
  char* ptr[4];
  for (int i = 0; i < 4; ++i) ptr[i] = (nulls >> i & 1) ? nullptr : b[i].data.get();
  const int st =
      explode_path_n(path, ptr[0], size[0], ptr[1], size[1], ptr[2], size[2], ptr[3], size[3]);
  check_status(st, "explode_path_n", path);
  if (st == ENOMEM) return;
  expect_split("explode_path_n", whole, ptr, b, st);

  // Joining what the split left, into the fuzzed size.
  const char* in[4];
  for (int i = 0; i < 4; ++i) in[i] = ptr[i];
  check_combine(in, join_size);
}

// The fixed-size twins and fname, with buffers of exactly the sizes they assume.
void check_fixed(const char* path, const parts& whole) {
  const buffer b[4] = {buffer(256), buffer(256), buffer(256), buffer(256)};
  char* const ptr[4] = {b[0].data.get(), b[1].data.get(), b[2].data.get(), b[3].data.get()};
  const int st = explode_path(path, ptr[0], ptr[1], ptr[2], ptr[3]);
  check_status(st, "explode_path", path);
  if (st == ENOMEM) return;
  expect_split("explode_path", whole, ptr, b, st);

  const char* in[4] = {ptr[0], ptr[1], ptr[2], ptr[3]};
  const std::string full = combine_generous(in);
  buffer out(260);
  const int cst = combine_path(out.data.get(), in[0], in[1], in[2], in[3]);
  if (cst != (full.size() < 260 ? 0 : ENAMETOOLONG) || !out.terminated() ||
      full.compare(0, 259, out.data.get()) != 0)
    fail("combine_path returned %d and \"%.260s\" for \"%s\"", cst, out.data.get(), full.c_str());

  const std::string name = fname(path);
  if (name != whole.p[2].substr(0, 255))
    fail("fname gives \"%s\", expected \"%s\"", name.c_str(), whole.p[2].c_str());
}

uint16_t take16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kPrefix) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  current_input = &input;
  size_t part_size[4];
  for (int i = 0; i < 4; ++i) part_size[i] = 1 + take16(data + 2 * i) % kMaxBuffer;
  const size_t join_size = take16(data + 8) % (kMaxBuffer + 1);  // 0 too: no room at all
  const unsigned nulls = data[10];

  // The rest, cut at NUL bytes: a path, then optionally four parts to join as they are.
  std::vector<std::string> seg;
  const std::string rest = input.substr(kPrefix);
  for (size_t pos = 0;;) {
    const size_t nul = rest.find('\0', pos);
    seg.push_back(rest.substr(pos, nul == std::string::npos ? std::string::npos : nul - pos));
    if (nul == std::string::npos) break;
    pos = nul + 1;
  }
  const char* path = seg[0].c_str();

  check_explode(path, part_size, nulls, join_size);

  // A split with room to spare joins back into the same path.
  const parts whole = explode_generous(path);
  const char* in[4] = {whole.p[0].c_str(), whole.p[1].c_str(), whole.p[2].c_str(),
                       whole.p[3].c_str()};
  if (combine_generous(in) != seg[0])
    fail("joining the parts of \"%s\" gives \"%s\"", path, combine_generous(in).c_str());
  check_fixed(path, whole);

  if (seg.size() >= 5) {
    const char* any[4];
    for (int i = 0; i < 4; ++i) any[i] = (nulls >> (4 + i) & 1) ? nullptr : seg[1 + i].c_str();
    check_combine(any, join_size);
  }
  current_input = nullptr;
  return 0;
}
