#include "block_taking.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <new>
#include <vector>

#include "csv.h"
#include "myfgets.h"
#include "settings.h"

constexpr size_t kLookahead = 16;     // no reading of a number looks further past its end
constexpr size_t kDecidedTail = 64;   // a word this long without white space is decided
constexpr size_t kLongNumber = 4096;  // a number going on past this is read on, not carried

// Keeps the first 40 bytes of the line that starts at p, up to a line end or `end`.
static void quote_line(block_state* b, const char* p, const char* end) {
  // Three short searches rather than a byte at a time: this runs at every line.
  size_t n = std::min<size_t>(40, static_cast<size_t>(end - p));
  for (char stop : {'\n', '\r', '\0'}) {
    const void* at = memchr(p, stop, n);
    if (at != nullptr) n = static_cast<size_t>(static_cast<const char*>(at) - p);
  }
  memcpy(b->excerpt, p, n);
  b->excerpt[n] = '\0';
}

static void begin_line(block_state* b, bool comment) {
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
static bool add_value(block_state* b, double v) {
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
static bool add_values(block_state* b, const double* v, long long count) {
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
  // Twice as much and a little more where it can be had, for the spectra that are made in the
  // values' block once they are placed; what the values do not take is only reserved until then.
  if (want > b->m->data.cap * 2 && !b->m->data.reserve(2 * want + 8)) b->m->data.reserve(want);
}

// Takes one line of a piece, or the part of a line it holds.
static void take_line(block_state* b, const piece& pc, const double* values, const char* text_end) {
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

// Takes the k lines alike that follow a run's first line at once, where that is what taking them
// one by one would do: the block goes on past them and they add only values and line numbers.
// Their quotes are not needed: a line that is not the first and keeps the count is never quoted.
static bool take_alike_at_once(block_state* b, const piece& pc, const double* values, long long k) {
  growing_array<double>& d = b->m->data;
  const size_t n = static_cast<size_t>(k * pc.count);
  const bool values_now = b->keep && !b->counting;
  if (b->done || b->counting || b->in_line || b->expected != pc.count || b->m->first_line == 0 ||
      (csv && pc.blank) || b->lines + k >= b->max_lines || b->lines + k > INT_MAX ||
      (values_now && (d.size + n > d.cap || d.size + n > INT_MAX)))
    return false;
  if (values_now) add_values(b, values, k * pc.count);  // they fit, so they go in at once
  if (clock_field != 0 && b->keep)
    for (long long j = 1; j <= k; ++j) b->m->line_numbers.push_back(b->file_lines + j);
  b->file_lines += k;
  b->line_no = b->file_lines;
  b->lines += k;
  b->line_values = d.size - (values_now ? static_cast<size_t>(pc.count) : 0);
  b->count = pc.count;
  b->numbers = pc.numbers;
  b->blank = pc.blank;
  // None of these lines had text after its numbers.
  for (long long j = 0; b->trace && j < k; ++j) {
    if (!b->m->text_after.push(false, &b->m->failed_size)) {
      b->status = SCAN_NO_MEMORY;
      b->done = true;
      break;
    }
  }
  return true;
}

void take_piece(block_state* b, const piece& pc, const double* values, const char* text_end) {
  take_line(b, pc, values, text_end);
  if (pc.repeat == 1) return;
  const double* next = values != nullptr ? values + pc.count : nullptr;
  if (take_alike_at_once(b, pc, next, pc.repeat - 1)) return;
  // One by one: each line begins after the newline of the one before. (A newline in a quoted
  // field of delimited text puts that early, but only for the quote, which no line after a
  // run's first is ever given.)
  piece line = pc;
  line.repeat = 1;
  for (long long j = 1; j < pc.repeat && !b->done; ++j) {
    line.begin = static_cast<const char*>(memchr(line.begin, '\n', text_end - line.begin)) + 1;
    take_line(b, line, next, text_end);
    if (next != nullptr) next += pc.count;
  }
}

bool take_number(block_state* b, double v) {
  if (b->keep && !b->counting && !add_value(b, v)) return false;
  ++b->count;
  return true;
}

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

size_t take_csv_tail(block_state* b, const char* s, size_t n, char separator) {
  if (n == 0) return 0;
  if (!b->in_line) {
    begin_line(b, is_csv_comment_start(s[0], separator));
    quote_line(b, s, s + n);
  }
  return b->ignore ? n : 0;
}

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
