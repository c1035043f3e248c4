#include "block_segments.h"

#include <string.h>

#include <new>

#include "csv.h"
#include "myfgets.h"
#include "numscan.h"

namespace {

// Whether the reading that stopped at p stopped at ",5" or ";5": a comma that is no separator.
bool comma_before_digit(const char* p) {
  if (*p != ',' && *p != ';') return false;
  ++p;
  while (*p == ' ' || *p == '\t') ++p;
  return *p >= '0' && *p <= '9';
}

// Keeps a piece a thread has read; false when there is no memory for it.
bool keep_piece(segment* g, const piece& pc) {
  try {
    g->pieces.push_back(pc);
    return true;
  } catch (const std::bad_alloc&) {
    g->no_memory = true;
    g->failed_size = (g->pieces.size() + 1) * 2 * sizeof(piece);
    return false;
  }
}

// Whether pc, read from a line start, holds nothing but the line's numbers and its newline.
bool plain_line(const piece& pc) {
  return pc.line_end && !pc.comment && !pc.text && !pc.nul;
}

// Keeps pc, read at a line start when `whole`; a whole plain line joins the lines before it
// where they are such lines of the same count and flags. `open` tells whether the last piece
// kept is such lines, and is kept up to date.
bool keep_line(segment* g, const piece& pc, bool whole, bool* open) {
  const bool plain = whole && plain_line(pc);
  if (plain && *open) {
    piece& run = g->pieces.back();
    if (pc.count == run.count && pc.numbers == run.numbers && pc.blank == run.blank &&
        pc.decimal_comma == run.decimal_comma) {
      ++run.repeat;
      return true;
    }
  }
  *open = plain;
  return keep_piece(g, pc);
}

}  // namespace

// The comment rule of delimited text: today's, less the separator.
bool is_csv_comment_start(char c, char separator) {
  return c != separator && is_comment_start(c);
}

// Reads the numbers of [begin, end), which starts after white space (or at the text's start)
// and ends after white space or at the end of the text, where a NUL byte stands: no number
// crosses either end. The scanner stops at a NUL byte, so each stretch it reads is ended by
// one, written over the newline or the white space that ends it.
void read_segment(segment* g, bool keep) {
  char* p = g->begin;
  bool line_start = g->at_line_start;
  bool open = false;
  while (p < g->end) {
    char* nl = static_cast<char*>(memchr(p, '\n', static_cast<size_t>(g->end - p)));
    char* stop = nl != nullptr ? nl : g->end;
    piece pc;
    pc.begin = p;
    pc.line_end = nl != nullptr;
    if (line_start && is_comment_start(*p)) {
      pc.comment = true;
    } else {
      char* nul = static_cast<char*>(memchr(p, '\0', static_cast<size_t>(stop - p)));
      if (nul == nullptr && stop > p && is_space(stop[-1]) && nl == nullptr) --stop;
      const char* end = nul != nullptr ? nul : stop;
      // The byte written over is put back, so that messages can quote the line.
      const char saved = *stop;
      if (nul == nullptr) *stop = '\0';
      const char* at = nullptr;
      const int r =
          read_numbers(p, end, keep ? &g->values : nullptr, &pc.count, &g->failed_size, &at);
      if (nul == nullptr) *stop = saved;
      if (r == -2) {
        g->no_memory = true;
        return;
      }
      pc.text = r == 0;
      pc.comma = pc.text && comma_before_digit(at);
      pc.nul = nul != nullptr;
    }
    if (!keep_line(g, pc, line_start, &open)) return;
    p = nl != nullptr ? nl + 1 : g->end;
    line_start = nl != nullptr;
  }
}

// The fields of [begin, end), which starts at a line start or after a separator and ends after
// a separator or newline, or at the end of the text: no field crosses either end. Every field is
// a value: its number, or NaN when it is missing or text.
void read_csv_segment(segment* g, bool keep, char separator) {
  const char* p = g->begin;
  bool line_start = g->at_line_start;
  bool open = false;
  while (p < g->end) {
    piece pc;
    pc.begin = p;
    if (line_start && is_csv_comment_start(*p, separator)) {
      const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(g->end - p)));
      pc.comment = true;
      pc.line_end = nl != nullptr;
      p = nl != nullptr ? nl + 1 : g->end;
    } else {
      for (;;) {
        const char* e = field_end(p, g->end, separator);
        double v;
        const field_kind kind = read_field(p, e, separator, &v, &pc.decimal_comma);
        for (const char* q = p; q < e && pc.blank; ++q)
          pc.blank = *q == ' ' || *q == '\t' || *q == '\r';
        ++pc.count;
        pc.numbers += kind == FIELD_NUMBER;
        if (keep && !g->values.push(v, &g->failed_size)) {
          g->no_memory = true;
          return;
        }
        if (e >= g->end) {
          p = e;
          break;
        }
        p = e + 1;
        if (*e == '\n') {
          pc.line_end = true;
          break;
        }
        if (p >= g->end) break;
      }
    }
    if (!keep_line(g, pc, line_start, &open)) return;
    line_start = pc.line_end;
  }
}
