// The text of a file block by block, each after the unfinished word carried from the one
// before; on a regular file the next block is read on another thread while this one is taken.
#pragma once

#include <stdio.h>

#include <functional>
#include <vector>

class block_source {
 public:
  // Blocks of `block` bytes; *asked is set to the bytes of each buffer before it is made.
  block_source(FILE* file, size_t block, size_t* asked);

  // The next block after the bytes kept from the last one; false on a read error.
  bool next();
  char* text() const { return text_; }  // the carried bytes, then the block; text()[size()] is room
  size_t size() const { return n_; }
  bool eof() const { return eof_; }

  // The last `bytes` of this text go in front of the next block.
  void keep_tail(size_t bytes);
  // The bytes carried into this text go in front of the next block again.
  void keep_carried();
  // Runs work() while the next block is read, where that can be: a regular file, more than one
  // thread, not at the end; then beside() runs on the reading thread, after the read (and not
  // at all without one). work() may throw; the read is done when this returns or throws.
  void during_read_ahead(const std::function<void()>& work,
                         const std::function<void()>& beside = nullptr);

 private:
  size_t read_into(char* at, bool* error, bool* eof);

  FILE* file_;
  size_t block_;
  size_t* asked_;
  bool ahead_ok_;
  std::vector<char> buf_[2];
  int cur_ = 0;  // the buffer of the current text
  char* text_ = nullptr;
  size_t n_ = 0;
  bool eof_ = false;
  size_t carry_ = 0, carry_from_ = 0;  // bytes kept, and where they start in buf_[cur_]
  // A block read ahead into the other buffer, behind room for the carried bytes.
  bool ahead_ = false, ahead_error_ = false, ahead_eof_ = false;
  size_t ahead_got_ = 0;
};
