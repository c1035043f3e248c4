#include "block_source.h"

#include <string.h>
#include <sys/stat.h>

#include <algorithm>

#include "parallel.h"
#include "settings.h"

namespace {

// Room in front of a block read ahead for the word carried into it; a longer one moves it.
constexpr size_t kFront = 1 << 16;

// Reading ahead never waits on a pipe or a terminal for text that may not be needed.
bool regular_file(FILE* file) {
  struct stat st;
  const int fd = fileno(file);
  return fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

void make_room(std::vector<char>* b, size_t bytes, size_t* asked) {
  *asked = bytes;
  if (b->size() < bytes) b->resize(bytes);
}

}  // namespace

block_source::block_source(FILE* file, size_t block, size_t* asked)
    : file_(file), block_(block), asked_(asked), ahead_ok_(jobs > 1 && regular_file(file)) {}

size_t block_source::read_into(char* at, bool* error, bool* eof) {
  const size_t got = fread(at, 1, block_, file_);
  *error = false;
  *eof = false;
  if (got < block_) {
    *error = ferror(file_) != 0;
    *eof = feof(file_) != 0 || got == 0;
  }
  return got;
}

bool block_source::next() {
  // With reading ahead the buffers take turns, so that a block can be read behind the other.
  const int k = ahead_ok_ ? 1 - cur_ : cur_;
  std::vector<char>& b = buf_[k];
  size_t at, got;
  bool error, eof;
  if (ahead_) {
    ahead_ = false;
    got = ahead_got_;
    error = ahead_error_;
    eof = ahead_eof_;
    at = kFront;
    if (!error && carry_ > kFront) {
      make_room(&b, carry_ + got + 1, asked_);
      memmove(b.data() + carry_, b.data() + kFront, got);
      at = carry_;
    }
    if (!error && carry_ > 0)
      memcpy(b.data() + at - carry_, buf_[cur_].data() + carry_from_, carry_);
  } else {
    at = std::max(kFront, carry_);
    make_room(&b, at + block_ + 1, asked_);
    // The kept bytes may lie in this same buffer, where the block goes next.
    if (carry_ > 0) memmove(b.data() + at - carry_, buf_[cur_].data() + carry_from_, carry_);
    got = read_into(b.data() + at, &error, &eof);
  }
  if (error) return false;
  cur_ = k;
  text_ = b.data() + at - carry_;
  n_ = carry_ + got;
  eof_ = eof;
  return true;
}

void block_source::keep_tail(size_t bytes) {
  carry_ = bytes;
  carry_from_ = static_cast<size_t>(text_ + n_ - bytes - buf_[cur_].data());
}

void block_source::keep_carried() {
  carry_from_ = static_cast<size_t>(text_ - buf_[cur_].data());
}

void block_source::during_read_ahead(const std::function<void()>& work,
                                     const std::function<void()>& beside) {
  if (!ahead_ok_ || eof_) {
    work();
    return;
  }
  std::vector<char>& b = buf_[1 - cur_];
  make_room(&b, kFront + block_ + 1, asked_);
  // The work is part 0, on the caller's thread; what it throws leaves once the read is done.
  parallel_for(2, jobs, [&](long long first, long long last) {
    for (long long part = first; part < last; ++part) {
      if (part == 0) {
        work();
        continue;
      }
      ahead_got_ = read_into(b.data() + kFront, &ahead_error_, &ahead_eof_);
      if (beside) beside();
    }
  });
  ahead_ = true;
}
