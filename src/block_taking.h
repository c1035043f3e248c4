// The leading block as its pieces come in, in file order: its lines and their values, the
// unfinished word at the end of what has been read, and what stands in front of the block.
#pragma once

#include <stdio.h>

#include <vector>

#include "block_reader.h"
#include "block_segments.h"
#include "numscan.h"

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

// Ends the current line: a line of other count than the lines before ends the block, its values
// dropped (what follows is only counted, for the warning), and so does the line limit.
void end_line(block_state* b);
// Room for the values of the whole file, guessed from the first block and the file's size with
// an eighth to spare: room that is never written costs no memory.
void reserve_values(block_state* b, FILE* file, const std::vector<segment>& segs, size_t len);
// Takes one piece of a stretch, with its values, in file order.
void take_piece(block_state* b, const piece& pc, const double* values, const char* text_end);
// Appends a number that ended after the pieces before it; false when the block has ended.
bool take_number(block_state* b, double v);
// Reads numbers at the start of an unfinished word at the end of what has been read, as far as
// their reading cannot change with what follows; returns the bytes used. A long number that may
// go on is read on from its summary in the following blocks, and all the bytes are used.
size_t take_tail(block_state* b, const char* s, size_t n);
// The unfinished field at the end of what has been read waits for more text, unless it is part
// of a comment; returns the bytes used.
size_t take_csv_tail(block_state* b, const char* s, size_t n, char separator);
// Before the block: a UTF-8 byte-order mark is passed over, and with --csv or --names the
// comment lines and a line of names in front of it are taken. Returns where the block begins.
size_t take_front(block_state* b, const char* text, size_t n, bool eof);
