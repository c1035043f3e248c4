#include "block_reader.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <new>
#include <vector>

#include "block_segments.h"
#include "block_source.h"
#include "csv.h"
#include "huge_pages.h"
#include "myfgets.h"
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
constexpr size_t kLookahead = 16;       // no reading of a number looks further past its end
constexpr size_t kDecidedTail = 64;     // a word this long without white space is decided
constexpr size_t kLongNumber = 4096;    // a number going on past this is read on, not carried

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
  // Line numbers and quotes for the messages, and what follows the block.
  long file_lines = 0;    // lines ended so far, comments and names included
  long line_no = 0;       // the current line's number
  char excerpt[41] = {};  // its first 40 bytes, up to a line end
  bool counting = false;  // the block has ended: lines with numbers are only counted
  bool blank = true;      // with --csv: the current line holds nothing but blanks
  long long numbers = 0;  // with --csv: fields of the current line that hold a number
};

// Keeps the first 40 bytes of the line that starts at p, up to a line end or `end`.
void quote_line(block_state* b, const char* p, const char* end) {
  // Three short searches rather than a byte at a time: this runs at every line.
  size_t n = std::min<size_t>(40, static_cast<size_t>(end - p));
  for (char stop : {'\n', '\r', '\0'}) {
    const void* at = memchr(p, stop, n);
    if (at != nullptr) n = static_cast<size_t>(static_cast<const char*>(at) - p);
  }
  memcpy(b->excerpt, p, n);
  b->excerpt[n] = '\0';
}

void begin_line(block_state* b, bool comment) {
  b->in_line = true;
  b->line_no = b->file_lines + 1;
  b->blank = true;
  b->numbers = 0;
  b->comment = comment;
  b->ignore = comment;
  b->text = false;
  b->count = 0;
  b->line_values = b->m->data.size;
}

void end_line(block_state* b) {
  b->in_line = false;
  ++b->file_lines;
  if (b->comment) return;
  // A line of delimited text that holds nothing but blanks has no field at all.
  if (csv && b->blank) {
    b->count = 0;
    b->numbers = 0;
    b->m->data.size = b->line_values;
  }
  const bool has_numbers = csv ? b->numbers > 0 : b->count > 0;
  if (b->counting) {
    b->m->later_lines += has_numbers;
    return;
  }
  if (b->m->first_line == 0) {
    b->m->first_line = b->line_no;
    b->m->first_text = b->excerpt;
  }
  if (b->expected != -1 && b->count != b->expected) {
    b->m->data.size = b->line_values;  // this line is not part of the block
    // What follows is read on only to be counted, for the warning about it.
    b->m->end_line = b->line_no;
    b->m->end_text = b->excerpt;
    b->m->later_lines = has_numbers;
    b->counting = b->max_lines == LLONG_MAX && b->keep;
    b->done = !b->counting;
    return;
  }
  if (clock_field != 0 && b->keep) b->m->line_numbers.push_back(b->line_no);
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

// Appends count values of the current line at once where they fit, else one at a time.
bool add_values(block_state* b, const double* v, long long count) {
  growing_array<double>& d = b->m->data;
  const size_t n = static_cast<size_t>(count);
  if (d.size + n <= static_cast<size_t>(INT_MAX) && d.size + n <= d.cap) {
    if (n > 0) memcpy(d.items.get() + d.size, v, n * sizeof(double));
    d.size += n;
    return true;
  }
  for (size_t j = 0; j < n; ++j) {
    if (!add_value(b, v[j])) return false;
  }
  return true;
}

// Room for the values of the whole file, guessed from the first block and the file's size with
// an eighth to spare: room that is never written costs no memory.
void reserve_values(block_state* b, FILE* file, const std::vector<segment>& segs, size_t len) {
  struct stat st;
  const int fd = fileno(file);
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || len == 0) return;
  size_t values = 0;
  for (const segment& g : segs) values += g.values.size;
  const double guess =
      static_cast<double>(values) * (static_cast<double>(st.st_size) / len) * 1.125;
  // Every number takes two bytes at least, with what ends it.
  const double most = std::min<double>(INT_MAX, static_cast<double>(st.st_size) / 2 + 1);
  const size_t want = static_cast<size_t>(std::min(guess, most));
  if (want > b->m->data.cap * 2) b->m->data.reserve(want);
}

void take_piece(block_state* b, const piece& pc, const double* values, const char* text_end) {
  if (!b->in_line) {
    begin_line(b, pc.comment);
    if (!pc.comment) quote_line(b, pc.begin, text_end);
  }
  if (!b->ignore) {
    if (b->lines == 0 && pc.comma) b->m->comma_after_number = true;
    b->blank = b->blank && pc.blank;
    b->numbers += pc.numbers;
    if (pc.decimal_comma && !b->counting) b->m->decimal_comma = true;
    if (b->keep && !b->counting && !add_values(b, values, pc.count)) return;
    b->count += pc.count;
    b->text = pc.text;
    b->ignore = pc.text || pc.nul;
  }
  if (pc.line_end) end_line(b);
}

// Appends a number that ended after the pieces before it; false when the block has ended.
bool take_number(block_state* b, double v) {
  if (b->keep && !b->counting && !add_value(b, v)) return false;
  ++b->count;
  return true;
}

// Reads numbers at the start of an unfinished word at the end of what has been read, as far as
// their reading cannot change with what follows; returns the bytes used. A long number that may
// go on is read on from its summary in the following blocks, and all the bytes are used.
size_t take_tail(block_state* b, const char* s, size_t n) {
  if (n == 0) return 0;
  if (!b->in_line) {
    begin_line(b, is_comment_start(s[0]));
    quote_line(b, s, s + n);
  }
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

// The unfinished field at the end of what has been read waits for more text, unless it is part
// of a comment; returns the bytes used.
size_t take_csv_tail(block_state* b, const char* s, size_t n, char separator) {
  if (n == 0) return 0;
  if (!b->in_line) {
    begin_line(b, is_csv_comment_start(s[0], separator));
    quote_line(b, s, s + n);
  }
  return b->ignore ? n : 0;
}

// Before the block: a UTF-8 byte-order mark is passed over, and with --csv or --names the
// comment lines and a line of names in front of it are taken. Returns where the block begins.
size_t take_front(block_state* b, const char* text, size_t n, bool eof) {
  size_t from = n >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
  if (!csv && !names_first) return from;
  for (;;) {
    const char* p = text + from;
    const char* nl = static_cast<const char*>(memchr(p, '\n', n - from));
    if (nl == nullptr && !eof) return from;  // a first line longer than a block is data
    const char* end = nl != nullptr ? nl : text + n;
    if (from < n && (csv ? is_csv_comment_start(*p, csv_separator) : is_comment_start(*p))) {
      ++b->file_lines;
      if (nl == nullptr) return n;
      from = static_cast<size_t>(nl - text) + 1;
      continue;
    }
    if (from >= n) return from;
    if (names_first || holds_text(p, end, csv_separator)) {
      b->m->names = csv ? split_fields(p, end, csv_separator) : split_words(p, end);
      ++b->file_lines;
      return nl != nullptr ? static_cast<size_t>(nl - text) + 1 : n;
    }
    return from;
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
    for (const segment& g : segs) block_values += keep_now ? g.values.size : 0;
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
          if (v != nullptr) v += pc.count;
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
