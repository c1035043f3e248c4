// Wisdom files: sound ones are imported, anything else is skipped, and no damage ends the process.
#include "wisdom.h"

#include <fcntl.h>
#include <fftw3.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct shape {
  int n;
  int batch;
  unsigned flags;
};
// Measured shapes leave wisdom that a later measured plan would use; estimated ones are what
// the tool itself plans.
const shape kShapes[] = {
    {16, 1, FFTW_MEASURE}, {12, 3, FFTW_MEASURE}, {100, 1, FFTW_ESTIMATE}, {7, 2, FFTW_ESTIMATE}};

struct fftw_deleter {
  void operator()(fftw_complex* p) const { fftw_free(p); }
  void operator()(fftw_plan_s* p) const { fftw_destroy_plan(p); }
  void operator()(char* p) const { free(p); }
};
using block_ptr = std::unique_ptr<fftw_complex[], fftw_deleter>;
using plan_ptr = std::unique_ptr<fftw_plan_s, fftw_deleter>;

block_ptr alloc_block(size_t n) {
  return block_ptr(fftw_alloc_complex(n));
}

plan_ptr plan_many(const shape& s, fftw_complex* in, fftw_complex* out, int sign, unsigned flags) {
  int n[1] = {s.n};
  return plan_ptr(
      fftw_plan_many_dft(1, n, s.batch, in, nullptr, 1, s.n, out, nullptr, 1, s.n, sign, flags));
}

std::string export_wisdom() {
  std::unique_ptr<char, fftw_deleter> w(fftw_export_wisdom_to_string());
  return w ? std::string(w.get()) : std::string();
}

// Wisdom as the library writes it for all test shapes, both directions; none stays loaded.
const std::string& real_wisdom() {
  static const std::string text = [] {
    fftw_forget_wisdom();
    for (const shape& s : kShapes) {
      const size_t total = static_cast<size_t>(s.n) * s.batch;
      block_ptr a = alloc_block(total), b = alloc_block(total);
      for (int sign : {FFTW_FORWARD, FFTW_BACKWARD}) plan_many(s, a.get(), b.get(), sign, s.flags);
    }
    std::string w = export_wisdom();
    fftw_forget_wisdom();
    return w;
  }();
  return text;
}

double input_re(int j, int b) {
  return std::sin(0.37 * j + 1.1 * b) + 0.25 * j / 7.0;
}
double input_im(int j, int b) {
  return std::cos(0.91 * j - 0.4 * b);
}

// Direct DFT of the test input: the oracle for every planned transform.
std::vector<std::complex<long double>> direct_dft(const shape& s, int sign) {
  std::vector<std::complex<long double>> out;
  for (int b = 0; b < s.batch; ++b) {
    lcvec in(s.n);
    for (int j = 0; j < s.n; ++j) in[j] = std::complex<long double>(input_re(j, b), input_im(j, b));
    lcvec batch = ::direct_dft(in, sign);
    out.insert(out.end(), batch.begin(), batch.end());
  }
  return out;
}

// The direct DFTs of all shapes, forward then backward; made before any child is forked.
const std::vector<std::vector<std::complex<long double>>>& references() {
  static const auto refs = [] {
    std::vector<std::vector<std::complex<long double>>> r;
    for (const shape& s : kShapes) {
      for (int sign : {FFTW_FORWARD, FFTW_BACKWARD}) r.push_back(direct_dft(s, sign));
    }
    return r;
  }();
  return refs;
}

// Plans, runs and checks every test shape: 0 when all agree with the direct DFT within 1e-12
// relative, 2 when one does not, 3 when a plan the tool would make could not be made.
int transforms_check() {
  size_t ref = 0;
  for (const shape& s : kShapes) {
    const size_t total = static_cast<size_t>(s.n) * s.batch;
    block_ptr in = alloc_block(total), out = alloc_block(total);
    for (int sign : {FFTW_FORWARD, FFTW_BACKWARD}) {
      const std::vector<std::complex<long double>>& want = references()[ref++];
      long double scale = 0;
      for (const auto& w : want) scale = std::max(scale, std::abs(w));
      std::vector<plan_ptr> plans;
      plans.push_back(plan_many(s, in.get(), out.get(), sign, FFTW_ESTIMATE));
      if (plans.back() == nullptr) return 3;
      // Exists only when the imported wisdom covers the shape: runs the wisdom's own choice.
      plan_ptr wise = plan_many(s, in.get(), out.get(), sign, s.flags | FFTW_WISDOM_ONLY);
      if (wise != nullptr) plans.push_back(std::move(wise));
      for (const plan_ptr& p : plans) {
        for (int b = 0; b < s.batch; ++b) {
          for (int j = 0; j < s.n; ++j) {
            in[static_cast<size_t>(b) * s.n + j][0] = input_re(j, b);
            in[static_cast<size_t>(b) * s.n + j][1] = input_im(j, b);
          }
        }
        fftw_execute(p.get());
        for (size_t i = 0; i < total; ++i) {
          const std::complex<long double> got(out[i][0], out[i][1]);
          if (std::abs(got - want[i]) > 1e-12L * scale) return 2;
        }
      }
    }
  }
  return 0;
}

struct child_result {
  bool signaled = false;
  int sig = 0;
  int code = -1;
};

// Runs fn in a child process (a stuck child gets SIGALRM): how it ended.
child_result in_child(const std::function<int()>& fn) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(20);
    _exit(fn());
  }
  child_result r;
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return r;
  r.signaled = WIFSIGNALED(status);
  r.sig = r.signaled ? WTERMSIG(status) : 0;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// The tool's sequence in a child: checked import, then planning and running transforms.
// Exit code: the import's result, or 10 + the transform failure.
child_result import_and_transform(const std::string& path) {
  references();
  return in_child([&path] {
    const int imported = import_wisdom_checked(path.c_str());
    const int bad = transforms_check();
    return bad != 0 ? 10 + bad : imported;
  });
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

std::vector<std::string> split_words(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// Wisdom text with word `word` of line `line` replaced (entry lines keep their indent).
std::string with_word(const std::string& text, size_t line, size_t word, const std::string& v) {
  std::vector<std::string> lines = lines_of(text);
  std::vector<std::string> w = split_words(lines.at(line));
  w.at(word) = v;
  std::string l = line == 0 ? "" : "  ";
  for (size_t i = 0; i < w.size(); ++i) l += (i ? " " : "") + w[i];
  lines[line] = l;
  return join_lines(lines);
}

// Index of the first entry line (line 0 is the header).
size_t first_entry(const std::string& text) {
  std::vector<std::string> lines = lines_of(text);
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    if (lines[i].rfind("  (", 0) == 0) return i;
  }
  return 0;
}

// Damage made by hand where FFTW 3.3 itself aborts: 20-bit flags, 9-bit impatience.
std::vector<std::string> aborting_damage(const std::string& base) {
  const size_t e = first_entry(base);
  std::vector<std::string> out;
  for (size_t word : {2, 3}) {
    for (const char* v : {"#x100000", "#xfffffff", "#xffffffff", "#x-1", "#xx1bff", "#x31bff0"}) {
      out.push_back(with_word(base, e, word, v));
    }
  }
  std::string timeout = with_word(with_word(base, e, 0, "(TIMEOUT"), e, 1, "0");
  for (const char* v : {"#x200", "#xffffffff"}) out.push_back(with_word(timeout, e, 4, v));
  return out;
}

struct sweep_counts {
  int trials = 0;
  int imported = 0;
  int died = 0;
  int wrong = 0;
};

// Writes each text to the wisdom file and runs the tool's sequence on it in a child.
sweep_counts sweep(const temp_dir& d, const std::vector<std::string>& texts) {
  sweep_counts c;
  const std::string path = d / "anasig.fftw3";
  for (const std::string& t : texts) {
    write_file(path, t);
    child_result r = import_and_transform(path);
    ++c.trials;
    if (r.signaled) {
      ++c.died;
      ADD_FAILURE() << "child died by signal " << r.sig << " on:\n" << t;
    } else if (r.code >= 10) {
      ++c.wrong;
      ADD_FAILURE() << "transform failure " << r.code - 10 << " after importing:\n" << t;
    } else if (r.code == 1) {
      ++c.imported;
    } else if (r.code != 0) {
      ADD_FAILURE() << "child ended with " << r.code << " on:\n" << t;
    }
  }
  return c;
}

// Single-byte changes of text to per_position of chars at every position, rotating through
// chars so that each is tried all over the text; all of them when per_position is chars' size.
std::vector<std::string> byte_changes(const std::string& text, const std::string& chars,
                                      size_t per_position) {
  std::vector<std::string> out;
  for (size_t i = 0; i < text.size(); ++i) {
    for (size_t k = 0; k < per_position; ++k) {
      const char ch = chars[(i * per_position + k) % chars.size()];
      if (ch == text[i]) continue;
      std::string m = text;
      m[i] = ch;
      out.push_back(m);
    }
  }
  return out;
}

// Edge values in every numeric field of the header and of the first entry.
std::vector<std::string> field_edges(const std::string& base) {
  const char* const hex[] = {"#x0",         "#x1",   "#xfffff",           "#x100000",
                             "#x1ff",       "#x200", "#x7fffffff",        "#xffffffff",
                             "#x100000000", "#x-1",  "#x00031bff",        "#xFFFFF",
                             "#x",          "#xg",   "#x1234567890abcdef"};
  const char* const dec[] = {"0",     "1",          "-1", "+1", "007",
                             "99999", "2147483648", "x",  "",   "99999999999999999999"};
  std::vector<std::string> out;
  const size_t e = first_entry(base);
  for (size_t word = 1; word <= 8; ++word) {
    if (word == 1) {
      for (const char* v : dec) out.push_back(with_word(base, e, word, v));
    } else {
      // The last word carries the entry's closing parenthesis.
      for (const char* v : hex)
        out.push_back(with_word(base, e, word, v + std::string(word == 8 ? ")" : "")));
    }
  }
  for (size_t word = 2; word <= 5; ++word) {
    for (const char* v : hex) out.push_back(with_word(base, 0, word, v));
  }
  for (const char* v :
       {"(fftw-3.3.9", "(fftw-3.3.1000", "(fftw-3.4.0", "(fftw-3.3.", "(fftwf-3.3.10"})
    out.push_back(with_word(base, 0, 0, v));
  return out;
}

}  // namespace

TEST(Wisdom, RealWisdomIsImportedAndSurvivesARoundTrip) {
  temp_dir d;
  const std::string& base = real_wisdom();
  ASSERT_GT(lines_of(base).size(), 3u) << base;
  const std::string path = d / "anasig.fftw3";
  write_file(path, base);

  fftw_forget_wisdom();
  EXPECT_EQ(import_wisdom_checked(path.c_str()), 1);
  // Measured shapes can now be planned from wisdom alone: the entries really arrived.
  for (const shape& s : kShapes) {
    if (s.flags != FFTW_MEASURE) continue;
    const size_t total = static_cast<size_t>(s.n) * s.batch;
    block_ptr a = alloc_block(total), b = alloc_block(total);
    EXPECT_NE(plan_many(s, a.get(), b.get(), FFTW_FORWARD, FFTW_MEASURE | FFTW_WISDOM_ONLY),
              nullptr)
        << s.n << "x" << s.batch;
  }
  const std::string again = export_wisdom();
  std::vector<std::string> want = lines_of(base), got = lines_of(again);
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, want);

  // What the library writes back after our import is taken again.
  write_file(path, again);
  fftw_forget_wisdom();
  EXPECT_EQ(import_wisdom_checked(path.c_str()), 1);

  // No entries, and a TIMEOUT entry at the largest impatience, are still sound wisdom.
  const std::vector<std::string> lines = lines_of(base);
  write_file(path, lines.front() + "\n)\n");
  fftw_forget_wisdom();
  EXPECT_EQ(import_wisdom_checked(path.c_str()), 1);
  const size_t e = first_entry(base);
  write_file(path,
             with_word(with_word(with_word(base, e, 0, "(TIMEOUT"), e, 1, "0"), e, 4, "#x1ff"));
  fftw_forget_wisdom();
  EXPECT_EQ(import_wisdom_checked(path.c_str()), 1);
  fftw_forget_wisdom();
}

TEST(Wisdom, WhatIsNotASoundFileIsSkipped) {
  temp_dir d;
  const std::string& base = real_wisdom();
  fftw_forget_wisdom();
  EXPECT_EQ(import_wisdom_checked(nullptr), 0);
  EXPECT_EQ(import_wisdom_checked((d / "missing").c_str()), 0);
  EXPECT_EQ(import_wisdom_checked(d.path.c_str()), 0);  // a directory
  write_file(d / "empty", "");
  EXPECT_EQ(import_wisdom_checked((d / "empty").c_str()), 0);
  write_file(d / "text", "hello\n");
  EXPECT_EQ(import_wisdom_checked((d / "text").c_str()), 0);
  // Layout the library would never write: other whitespace, a second block, a lost newline.
  for (const std::string& t :
       {std::string(" ") + base, base + "\n", base + base, base.substr(0, base.size() - 1),
        with_word(base, first_entry(base), 1, "00")}) {
    write_file(d / "odd", t);
    EXPECT_EQ(import_wisdom_checked((d / "odd").c_str()), 0) << t;
  }
  // A FIFO in the file's place must neither block the run nor be read.
  ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0600), 0);
  child_result fifo = in_child([&d] { return import_wisdom_checked((d / "fifo").c_str()); });
  EXPECT_FALSE(fifo.signaled) << "signal " << fifo.sig;
  EXPECT_EQ(fifo.code, 0);
  EXPECT_EQ(export_wisdom(), lines_of(base).front() + "\n)\n");
}

TEST(Wisdom, SizeLimitIsSixteenMebibytes) {
  temp_dir d;
  const std::string& base = real_wisdom();
  const std::string header = lines_of(base).front() + "\n";
  const size_t e = first_entry(base);
  // Entries with a 1..5-digit first flag, to build a sound file of any length.
  std::vector<std::string> entry;
  for (const char* l : {"#x1", "#x12", "#x123", "#x1234", "#x12345"})
    entry.push_back(lines_of(with_word(base, e, 2, l))[e] + "\n");
  auto sound_text = [&](size_t size) {
    const size_t body = size - header.size() - 2, len5 = entry[4].size();
    const size_t count = (body + len5 - 1) / len5, deficit = count * len5 - body;
    std::string text = header;
    text.reserve(size);
    for (size_t i = 0; i < count; ++i) {
      if (i < deficit / 4) {
        text += entry[0];
      } else if (i == deficit / 4) {
        text += entry[4 - deficit % 4];
      } else {
        text += entry[4];
      }
    }
    return text + ")\n";
  };
  const size_t cap = 16u << 20;
  const std::string path = d / "anasig.fftw3";
  for (size_t size : {cap, cap + 1}) {
    const std::string text = sound_text(size);
    ASSERT_EQ(text.size(), size);
    write_file(path, text);
    fftw_forget_wisdom();
    EXPECT_EQ(import_wisdom_checked(path.c_str()), size == cap ? 1 : 0) << size;
  }
  fftw_forget_wisdom();
}

TEST(Wisdom, DamageThatAbortsTheLibraryIsSkipped) {
  temp_dir d;
  const std::vector<std::string> damage = aborting_damage(real_wisdom());
  const std::string path = d / "anasig.fftw3";
  for (const std::string& t : damage) {
    write_file(path, t);
    child_result checked = import_and_transform(path);
    EXPECT_FALSE(checked.signaled) << "signal " << checked.sig << " on:\n" << t;
    EXPECT_EQ(checked.code, 0) << t;
    // The library's own import dies on this text, so the case is not a vacuous one.
    if (strncmp(fftw_version, "fftw-3.3.", 9) == 0) {
      child_result raw = in_child([&t] {
        // The library's assertion message is expected here, not wanted in the test log.
        const int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) dup2(null_fd, 2);
        return fftw_import_wisdom_from_string(t.c_str());
      });
      EXPECT_TRUE(raw.signaled && raw.sig == SIGABRT) << fftw_version << " took:\n" << t;
    }
  }
}

TEST(Wisdom, NoTruncationOrByteChangeEndsTheRun) {
  temp_dir d;
  const std::string& base = real_wisdom();
  std::vector<std::string> cut;
  for (size_t n = 0; n < base.size(); ++n) cut.push_back(base.substr(0, n));
  sweep_counts c = sweep(d, cut);
  EXPECT_EQ(c.imported, 0) << "a truncated file was imported";
  EXPECT_EQ(c.trials, static_cast<int>(base.size()));

  sweep_counts m = sweep(d, byte_changes(base, "0123456789abcdefx#() -\nZgX+", 4));
  sweep_counts f = sweep(d, field_edges(base));
  // Changes inside hashes and in-range flags stay sound and are taken; their transforms were
  // checked against the direct DFT like all others.
  EXPECT_GT(m.imported, m.trials / 10);
  EXPECT_GT(f.imported, 0);
  EXPECT_LT(f.imported, f.trials);
  RecordProperty("truncations", c.trials);
  RecordProperty("byte_changes", m.trials);
  RecordProperty("byte_changes_imported", m.imported);
  RecordProperty("field_edges", f.trials);
  RecordProperty("field_edges_imported", f.imported);
}

// The full sweep, for a run by hand (--gtest_also_run_disabled_tests): every byte to each of
// many characters, several minutes.
TEST(Wisdom, DISABLED_EveryByteChangeEndsNoRun) {
  temp_dir d;
  const std::string& base = real_wisdom();
  const std::string chars = "0123456789abcdefABCDEFxX()# -+_\n\tghnqtvzGZ.\x01";
  sweep_counts m = sweep(d, byte_changes(base, chars, chars.size()));
  RecordProperty("byte_changes", m.trials);
  RecordProperty("byte_changes_imported", m.imported);
}
