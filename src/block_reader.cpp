#include "block_reader.h"

#include <string.h>

#include <algorithm>
#include <new>
#include <vector>

#include "myfgets.h"
#include "numscan.h"
#include "parallel.h"
#include "settings.h"

int read_numbers(const char* p, const char* end, growing_array<double>* values, long long* count,
                 size_t* asked) {
  double v;
  size_t consumed;
  int r;
  while ((r = scan_number(p, end, &v, &consumed)) == 1) {
    p += consumed;
    ++*count;
    if (values != nullptr && !values->push(v, asked)) return -2;
  }
  return r;
}

namespace {

constexpr size_t kBlock = 4 << 20;      // bytes read at a time
constexpr size_t kPerThread = 1 << 20;  // less text than this a thread is not worth starting
constexpr size_t kLookahead = 16;       // no reading of a number looks further past its end
constexpr size_t kDecidedTail = 64;     // a word this long without white space is decided
constexpr size_t kLongNumber = 4096;    // a number going on past this is read on, not carried

// A stretch of one line as one thread read it.
struct piece {
  long long count = 0;    // numbers read
  bool text = false;      // a non-number ended the reading: the rest of the line is ignored
  bool nul = false;       // a NUL byte ended the reading: the rest of the line is ignored
  bool line_end = false;  // a newline ends the line here
  bool comment = false;   // the line is a comment (known only where the line starts)
};

struct segment {
  char* begin;
  char* end;
  bool at_line_start;
  growing_array<double> values;
  std::vector<piece> pieces;
  bool no_memory = false;
  size_t failed_size = 0;
};

// Reads the numbers of [begin, end), which starts after white space (or at the text's start)
// and ends after white space or at the end of the text, where a NUL byte stands: no number
// crosses either end. The scanner stops at a NUL byte, so each stretch it reads is ended by
// one, written over the newline or the white space that ends it.
void read_segment(segment* g, bool keep) {
  char* p = g->begin;
  bool line_start = g->at_line_start;
  while (p < g->end) {
    char* nl = static_cast<char*>(memchr(p, '\n', static_cast<size_t>(g->end - p)));
    char* stop = nl != nullptr ? nl : g->end;
    piece pc;
    pc.line_end = nl != nullptr;
    if (line_start && is_comment_start(*p)) {
      pc.comment = true;
    } else {
      char* nul = static_cast<char*>(memchr(p, '\0', static_cast<size_t>(stop - p)));
      if (nul == nullptr && stop > p && is_space(stop[-1]) && nl == nullptr) --stop;
      const char* end = nul != nullptr ? nul : stop;
      if (nul == nullptr) *stop = '\0';
      const int r = read_numbers(p, end, keep ? &g->values : nullptr, &pc.count, &g->failed_size);
      if (r == -2) {
        g->no_memory = true;
        return;
      }
      pc.text = r == 0;
      pc.nul = nul != nullptr;
    }
    try {
      g->pieces.push_back(pc);
    } catch (const std::bad_alloc&) {
      g->no_memory = true;
      g->failed_size = (g->pieces.size() + 1) * 2 * sizeof(piece);
      return;
    }
    p = nl != nullptr ? nl + 1 : g->end;
    line_start = nl != nullptr;
  }
}

// The state of the leading block as the pieces come in, in file order.
struct block_state {
  matrix_text* m;
  bool keep, trace;
  long long max_lines;
  long long expected = -1;
  long long lines = 0;
  bool in_line = false;    // a line has begun and not ended
  bool comment = false;    // the current line is a comment
  bool ignore = false;     // the rest of the current line is ignored
  bool text = false;       // the current line's reading was ended by a non-number
  long long count = 0;     // numbers of the current line
  size_t line_values = 0;  // m->data.size where the current line's values start
  bool done = false;       // the block has ended
  int status = SCAN_OK;
  bool long_number = false;  // a long number goes on past what has been read
  number_reader number;      // its summary
  uint64_t number_read = 0;  // its bytes in the blocks before the current one
};

void begin_line(block_state* b, bool comment) {
  b->in_line = true;
  b->comment = comment;
  b->ignore = comment;
  b->text = false;
  b->count = 0;
  b->line_values = b->m->data.size;
}

void end_line(block_state* b) {
  b->in_line = false;
  if (b->comment) return;
  if (b->expected != -1 && b->count != b->expected) {
    b->m->data.size = b->line_values;  // this line is not part of the block
    b->done = true;
    return;
  }
  b->expected = b->count;
  if (++b->lines > INT_MAX || b->count > INT_MAX) {
    b->status = SCAN_TOO_MANY;
    b->done = true;
    return;
  }
  if (b->trace && !b->m->text_after.push(b->text, &b->m->failed_size)) {
    b->status = SCAN_NO_MEMORY;
    b->done = true;
    return;
  }
  if (b->lines >= b->max_lines) b->done = true;
}

// Appends a value of the current line; past INT_MAX values the matrix cannot be held.
bool add_value(block_state* b, double v) {
  if (b->m->data.size >= static_cast<size_t>(INT_MAX)) {
    b->status = SCAN_TOO_MANY_VALUES;
    b->done = true;
    return false;
  }
  if (!b->m->data.push(v, &b->m->failed_size)) {
    b->status = SCAN_NO_MEMORY;
    b->done = true;
    return false;
  }
  return true;
}

void take_piece(block_state* b, const piece& pc, const double* values) {
  if (!b->in_line) begin_line(b, pc.comment);
  if (!b->ignore) {
    if (b->keep) {
      for (long long j = 0; j < pc.count; ++j) {
        if (!add_value(b, values[j])) return;
      }
    }
    b->count += pc.count;
    b->text = pc.text;
    b->ignore = pc.text || pc.nul;
  }
  if (pc.line_end) end_line(b);
}

// Appends a number that ended after the pieces before it; false when the block has ended.
bool take_number(block_state* b, double v) {
  if (b->keep && !add_value(b, v)) return false;
  ++b->count;
  return true;
}

// Reads numbers at the start of an unfinished word at the end of what has been read, as far as
// their reading cannot change with what follows; returns the bytes used. A long number that may
// go on is read on from its summary in the following blocks, and all the bytes are used.
size_t take_tail(block_state* b, const char* s, size_t n) {
  if (n == 0) return 0;
  if (!b->in_line) begin_line(b, is_comment_start(s[0]));
  if (b->ignore) return n;
  const char* p = s;
  const char* end = s + n;
  const char* nul = static_cast<const char*>(memchr(s, '\0', n));
  if (nul != nullptr) end = nul;
  double v;
  size_t consumed;
  for (;;) {
    // Before a NUL byte everything is decided; otherwise a short rest waits for more text.
    if (end == s + n && static_cast<size_t>(end - p) < kDecidedTail) {
      return static_cast<size_t>(p - s);
    }
    int r = scan_number(p, end, &v, &consumed);
    if (r == 1 && end == s + n && p + consumed + kLookahead > end) {
      // The number may go on: a short one is carried whole, a long one read on from its
      // summary. One that has ended after all stands as read.
      if (static_cast<size_t>(end - p) < kLongNumber) return static_cast<size_t>(p - s);
      b->number = number_reader{};
      if (!feed_number(&b->number, p, static_cast<size_t>(end - p))) {
        b->long_number = true;
        b->number_read = static_cast<uint64_t>(end - p);
        return n;
      }
    }
    if (r != 1) {
      b->text = r == 0;
      b->ignore = true;
      return n;
    }
    if (!take_number(b, v)) return n;
    p += consumed;
  }
}

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
  std::vector<char> buf;
  size_t carry = 0;  // unread bytes at the front of buf: an unfinished word
  bool eof = false;
  while (!b.done && !eof) {
    // One byte more for the NUL byte that ends the text.
    *asked = carry + kBlock + 1;
    if (buf.size() < *asked) buf.resize(*asked);
    size_t got = fread(buf.data() + carry, 1, kBlock, file);
    if (got < kBlock) {
      if (ferror(file)) return SCAN_READ_ERROR;
      eof = feof(file) != 0 || got == 0;
    }
    char* text = buf.data();
    size_t n = carry + got;
    size_t from = 0;
    // A long number from the blocks before goes on here or has ended; reading resumes after it.
    if (b.long_number) {
      if (!feed_number(&b.number, text, n) && !eof) {
        b.number_read += n;
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
        carry = 0;
        continue;
      }
      from = static_cast<size_t>(nl - text) + 1;
      end_line(&b);
    }
    // What is read now ends after the last white space; the word after it waits for more.
    size_t limit = n;
    if (!eof) {
      while (limit > from && !is_space(text[limit - 1])) --limit;
    }
    const size_t len = limit - from;
    int t = static_cast<int>(
        std::min<size_t>(std::max(1, threads), std::max<size_t>(1, len / kPerThread)));
    *asked = static_cast<size_t>(t) * sizeof(segment);
    std::vector<segment> segs(static_cast<size_t>(t));
    size_t at = from;
    for (int j = 0; j < t; ++j) {
      size_t cut = from + static_cast<size_t>(part_start(static_cast<long long>(len), t, j + 1));
      while (cut < limit && !is_space(text[cut - 1])) ++cut;
      if (cut < at) cut = at;
      segs[j].begin = text + at;
      segs[j].end = text + cut;
      segs[j].at_line_start = at == 0 ? !b.in_line : text[at - 1] == '\n';
      at = cut;
    }
    parallel_for(t, t, [&](long long first, long long last) {
      for (long long w = first; w < last; ++w) read_segment(&segs[static_cast<size_t>(w)], keep);
    });
    for (segment& g : segs) {
      if (g.no_memory) {
        m->failed_size = g.failed_size;
        return SCAN_NO_MEMORY;
      }
      const double* v = g.values.items.get();  // null when the values are not kept
      for (const piece& pc : g.pieces) {
        if (b.done) break;
        take_piece(&b, pc, v);
        if (v != nullptr) v += pc.count;  // a size scan keeps no values: v stays null
      }
      if (b.done) break;
    }
    if (b.done) break;
    text[n] = '\0';
    size_t used = limit + (eof ? 0 : take_tail(&b, text + limit, n - limit));
    if (b.done) break;
    carry = n - std::min(used, n);
    memmove(buf.data(), text + n - carry, carry);
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
