#include "block_reader.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <new>
#include <vector>

#include "block_segments.h"
#include "block_source.h"
#include "block_taking.h"
#include "csv.h"
#include "huge_pages.h"
#include "numscan.h"
#include "parallel.h"
#include "settings.h"

int read_numbers(const char* p, const char* end, growing_array<double>* values, long long* count,
                 size_t* asked, const char** stop) {
  double v;
  size_t consumed;
  int r;
  while ((r = scan_number(p, end, &v, &consumed)) == 1) {
    p += consumed;
    ++*count;
    if (values != nullptr && !values->push(v, asked)) return -2;
  }
  if (stop != nullptr) *stop = p;
  return r;
}

namespace {

constexpr size_t kBlock = 4 << 20;      // bytes read at a time
constexpr size_t kPerThread = 1 << 20;  // less text than this a thread is not worth starting

}  // namespace

// Reads the file in large blocks; each block is cut at white space into stretches that threads
// read at once, and the stretches are taken in file order, so the outcome is that of one
// reading from the start. Only an unfinished word is carried from one block to the next, and of
// a long number only its summary.
static int scan_blocks(FILE* file, matrix_text* m, bool keep, bool trace, long long max_lines,
                       size_t* asked) {
  const int threads = jobs;
  block_state b;
  b.m = m;
  b.keep = keep;
  b.trace = trace;
  b.max_lines = max_lines;
  block_source source(file, kBlock, asked);
  bool eof = false;
  bool front = true;  // the first block, where a byte-order mark and names may stand
  const char sep = csv_separator;
  bool reserved = false;      // room for the values has been made from the first block
  std::vector<segment> segs;  // the stretches of the block being read
  while (!b.done && !eof) {
    if (!source.next()) return SCAN_READ_ERROR;
    eof = source.eof();
    char* text = source.text();
    size_t n = source.size();
    size_t from = 0;
    size_t front_at = SIZE_MAX;  // where the text begins after what take_front took
    if (front) {
      front = false;
      from = front_at = take_front(&b, text, n, eof);
    }
    // A long number from the blocks before goes on here or has ended; reading resumes after it.
    if (b.long_number) {
      if (!feed_number(&b.number, text, n) && !eof) {
        b.number_read += n;
        source.keep_carried();
        continue;
      }
      double v;
      uint64_t used = 0;
      end_number(b.number, &v, &used);
      b.long_number = false;
      from = static_cast<size_t>(used - b.number_read);
      if (!take_number(&b, v)) break;
    }
    // The rest of a comment or of a line after its numbers is passed over, never kept.
    if (b.in_line && b.ignore) {
      const char* nl = static_cast<const char*>(memchr(text, '\n', n));
      if (nl == nullptr) {
        source.keep_tail(0);
        continue;
      }
      from = static_cast<size_t>(nl - text) + 1;
      end_line(&b);
    }
    // What is read now ends after the last white space (with --csv: after the last separator or
    // line end, or line end alone where quotes may hold separators); the word after it waits.
    const bool quotes = csv && memchr(text + from, '"', n - from) != nullptr;
    auto at_cut = [&](size_t k) {
      const char c = text[k - 1];
      return csv ? c == '\n' || (c == sep && !quotes) : is_space(c);
    };
    size_t limit = n;
    if (!eof) {
      while (limit > from && !at_cut(limit)) --limit;
    }
    const size_t len = limit - from;
    int t = static_cast<int>(
        std::min<size_t>(std::max(1, threads), std::max<size_t>(1, len / kPerThread)));
    *asked = static_cast<size_t>(t) * sizeof(segment);
    segs.resize(static_cast<size_t>(t));
    size_t at = from;
    for (int j = 0; j < t; ++j) {
      // A stretch's values and pieces keep their room from one block to the next: made anew,
      // each block's would be faulted in again.
      segs[j].values.size = 0;
      segs[j].pieces.clear();
      size_t cut = from + static_cast<size_t>(part_start(static_cast<long long>(len), t, j + 1));
      while (cut < limit && !at_cut(cut)) ++cut;
      if (cut < at) cut = at;
      segs[j].begin = text + at;
      segs[j].end = text + cut;
      segs[j].at_line_start = at == 0 || at == front_at ? !b.in_line : text[at - 1] == '\n';
      at = cut;
    }
    const bool keep_now = keep && !b.counting;
    parallel_for(t, t, [&](long long first, long long last) {
      for (long long w = first; w < last; ++w) {
        segment* g = &segs[static_cast<size_t>(w)];
        csv ? read_csv_segment(g, keep_now, sep) : read_segment(g, keep_now);
      }
    });
    if (keep_now && !reserved) {
      reserved = true;
      reserve_values(&b, file, segs, len);
    }
    // The pieces are taken in file order while the next block is read, and beside the read the
    // room its values will likely take (as many as this block's) is faulted in: in the taking
    // the first touches of the values would fall on this thread alone. Only where this block's
    // values fit, so that the values do not move meanwhile.
    std::function<void()> fault_next;
    growing_array<double>& d = b.m->data;
    size_t block_values = 0;
    for (const segment& g : segs) block_values += g.values.size;
    if (block_values > 0 && d.size + block_values <= d.cap) {
      const size_t from = d.size + block_values;
      double* next = d.items.get() + from;
      const size_t bytes = std::min(d.cap - from, block_values) * sizeof(double);
      fault_next = [next, bytes] { fault_in_above(next, bytes); };
    }
    bool no_memory = false;
    auto take = [&] {
      for (segment& g : segs) {
        if (g.no_memory) {
          m->failed_size = g.failed_size;
          no_memory = true;
          return;
        }
        const double* v = g.values.items.get();  // null when the values are not kept
        for (const piece& pc : g.pieces) {
          if (b.done) return;
          take_piece(&b, pc, v, text + n);
          if (v != nullptr) v += pc.count * pc.repeat;
        }
        if (b.done) return;
      }
    };
    source.during_read_ahead(take, fault_next);
    if (no_memory) return SCAN_NO_MEMORY;
    if (b.done) break;
    text[n] = '\0';
    size_t used = limit;
    if (!eof)
      used += csv ? take_csv_tail(&b, text + limit, n - limit, sep)
                  : take_tail(&b, text + limit, n - limit);
    if (b.done) break;
    source.keep_tail(n - std::min(used, n));
  }
  if (!b.done && b.in_line) end_line(&b);
  m->lines = static_cast<int>(b.lines > INT_MAX ? INT_MAX : b.lines);
  m->values = static_cast<int>(b.expected < 0 ? 0 : b.expected > INT_MAX ? INT_MAX : b.expected);
  return b.status;
}

// Running out of memory for the text itself is reported like running out for the values.
int scan_text(FILE* file, matrix_text* m, bool keep, bool trace, long long max_lines) {
  size_t asked = 0;
  try {
    return scan_blocks(file, m, keep, trace, max_lines, &asked);
  } catch (const std::bad_alloc&) {
    m->failed_size = asked;
    return SCAN_NO_MEMORY;
  }
}

int scan_matrix(FILE* file, matrix_text* m, bool trace, long long max_lines) {
  return scan_text(file, m, true, trace, max_lines);
}
