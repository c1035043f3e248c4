// The reader of NumPy .npy arrays (format versions 1.0, 2.0 and 3.0) of real numbers: a short
// text header, then the values; a 1-D array is one signal, a 2-D one samples x signals.
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <bit>
#include <string>
#include <vector>

#include "fatal.h"
#include "input_format.h"

namespace {

constexpr size_t kMaxHeader = 1 << 20;  // longer headers are damaged, not read
constexpr size_t kChunk = 1 << 20;      // bytes of values converted at a time

struct npy_header {
  char order = '<';  // '<', '>' or '|' (one byte: no order)
  char kind = 0;     // 'f', 'i' or 'u'
  int size = 0;      // bytes a value
  bool fortran = false;
  std::vector<long long> shape;
};

// The text after the key 'name': in the header's dictionary, past the colon; null without it.
const char* after_key(const std::string& h, const char* name) {
  for (const char q : {'\'', '"'}) {
    const std::string key = std::string(1, q) + name + q;
    size_t at = h.find(key);
    if (at == std::string::npos) continue;
    const char* p = h.c_str() + at + key.size();
    p += strspn(p, " \t");
    if (*p != ':') return nullptr;
    ++p;
    return p + strspn(p, " \t");
  }
  return nullptr;
}

std::string shape_text(const std::vector<long long>& shape) {
  std::string s = "(";
  for (size_t k = 0; k < shape.size(); ++k) {
    if (k > 0) s += ", ";
    s += std::to_string(shape[k]);
  }
  return s + (shape.size() == 1 ? ",)" : ")");
}

void parse_header(const std::string& h, const char* path, npy_header* out) {
  const char* d = after_key(h, "descr");
  if (d == nullptr) refuse_recording(path, "the header names no dtype");
  if (*d != '\'' && *d != '"') {
    const size_t len = strcspn(d, "]");
    refuse_recording(path, "dtype " + std::string(d, std::min<size_t>(len + 1, 60)) +
                               " is not read: it has fields");
  }
  const char* end = strchr(d + 1, *d);
  if (end == nullptr) refuse_recording(path, "the header is damaged");
  const std::string descr(d + 1, end);
  const char* unread = "dtype %s is not read: float64, float32, int8-64 and uint8-64 are";
  char why[128];
  snprintf(why, sizeof why, unread, descr.substr(0, 40).c_str());
  if (descr.size() < 3 || strchr("<>|=", descr[0]) == nullptr || strchr("fiu", descr[1]) == nullptr)
    refuse_recording(path, why);
  out->order =
      descr[0] == '=' ? (std::endian::native == std::endian::little ? '<' : '>') : descr[0];
  out->kind = descr[1];
  const std::string size = descr.substr(2);
  out->size = size == "1" ? 1 : size == "2" ? 2 : size == "4" ? 4 : size == "8" ? 8 : 0;
  if (out->size == 0 || (out->kind == 'f' && out->size < 4)) refuse_recording(path, why);

  const char* fo = after_key(h, "fortran_order");
  if (fo == nullptr) refuse_recording(path, "the header names no fortran_order");
  if (strncmp(fo, "True", 4) == 0) {
    out->fortran = true;
  } else if (strncmp(fo, "False", 5) != 0) {
    refuse_recording(path, "the header is damaged");
  }

  const char* s = after_key(h, "shape");
  if (s == nullptr || *s != '(') refuse_recording(path, "the header names no shape");
  for (++s;;) {
    s += strspn(s, " \t");
    if (*s == ')') break;
    char* next;
    errno = 0;
    long long n = strtoll(s, &next, 10);
    if (next == s || n < 0 || errno != 0) refuse_recording(path, "the header is damaged");
    out->shape.push_back(n);
    s = next + strspn(next, " \t");
    if (*s == ',')
      ++s;
    else if (*s != ')')
      refuse_recording(path, "the header is damaged");
  }
  if (out->shape.empty() || out->shape.size() > 2)
    refuse_recording(path, "shape " + shape_text(out->shape) + " is not read: 1-D or 2-D are");
}

template <typename T>
double take(const unsigned char* p, bool swap) {
  unsigned char b[sizeof(T)];
  memcpy(b, p, sizeof b);
  if (swap) std::reverse(b, b + sizeof b);
  T v;
  memcpy(&v, b, sizeof v);
  return static_cast<double>(v);
}

using take_fn = double (*)(const unsigned char*, bool);

take_fn taker(char kind, int size) {
  if (kind == 'f') return size == 8 ? take<double> : take<float>;
  if (kind == 'i') {
    return size == 1   ? take<int8_t>
           : size == 2 ? take<int16_t>
           : size == 4 ? take<int32_t>
                       : take<int64_t>;
  }
  return size == 1   ? take<uint8_t>
         : size == 2 ? take<uint16_t>
         : size == 4 ? take<uint32_t>
                     : take<uint64_t>;
}

}  // namespace

void read_npy(FILE* f, const char* path, matrix_text* m) {
  unsigned char pre[12];
  if (fread(pre, 1, 8, f) != 8) refuse_recording(path, "the file ends inside the header");
  const int major = pre[6], minor = pre[7];
  if ((major != 1 && major != 2 && major != 3) || minor != 0) {
    refuse_recording(path, "format version " + std::to_string(major) + "." + std::to_string(minor) +
                               " is not read: 1.0, 2.0 and 3.0 are");
  }
  const size_t len_bytes = major == 1 ? 2 : 4;
  if (fread(pre + 8, 1, len_bytes, f) != len_bytes)
    refuse_recording(path, "the file ends inside the header");
  size_t hlen = pre[8] | static_cast<size_t>(pre[9]) << 8;
  if (major > 1) hlen |= static_cast<size_t>(pre[10]) << 16 | static_cast<size_t>(pre[11]) << 24;
  if (hlen > kMaxHeader) refuse_recording(path, "the header is damaged");
  std::string h(hlen, '\0');
  if (fread(h.data(), 1, hlen, f) != hlen)
    refuse_recording(path, "the file ends inside the header");
  if (h.find('\0') != std::string::npos || h.find('{') == std::string::npos)
    refuse_recording(path, "the header is damaged");
  npy_header hd;
  parse_header(h, path, &hd);

  // A 1-D array is a column: one signal, each line a sample.
  const long long lines = hd.shape[0];
  const long long values = hd.shape.size() == 2 ? hd.shape[1] : 1;
  if (lines > INT_MAX || values > INT_MAX || (values > 0 && lines > INT_MAX / values))
    fatal("Too many values in %s.\n", path);
  m->lines = static_cast<int>(lines);
  m->values = static_cast<int>(values);
  const size_t n = static_cast<size_t>(lines * values);
  if (n == 0) return;
  double* out = reserve_values(m, n);
  const bool swap =
      hd.size > 1 && (hd.order == '>') == (std::endian::native == std::endian::little);
  const take_fn get = taker(hd.kind, hd.size);
  const size_t per_chunk = kChunk / static_cast<size_t>(hd.size);
  std::vector<unsigned char> buf(per_chunk * static_cast<size_t>(hd.size));
  // Fortran order stores signal after signal; the values are placed line after line.
  const size_t rows = static_cast<size_t>(lines), cols = static_cast<size_t>(values);
  if (hd.kind == 'f' && hd.size == 8 && !swap && (!hd.fortran || cols == 1)) {
    if (fread(out, sizeof(double), n, f) != n)
      refuse_recording(path, "the file ends inside the data");
    return;
  }
  for (size_t done = 0; done < n;) {
    const size_t want = std::min(per_chunk, n - done);
    if (fread(buf.data(), static_cast<size_t>(hd.size), want, f) != want)
      refuse_recording(path, "the file ends inside the data");
    const unsigned char* p = buf.data();
    if (!hd.fortran || cols == 1) {
      for (size_t k = 0; k < want; ++k, p += hd.size) out[done + k] = get(p, swap);
    } else {
      size_t col = done / rows, row = done % rows;
      for (size_t k = 0; k < want; ++k, p += hd.size) {
        out[row * cols + col] = get(p, swap);
        if (++row == rows) row = 0, ++col;
      }
    }
    done += want;
  }
}
