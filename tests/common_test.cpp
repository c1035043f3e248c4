// Counting numbers on a line and the size scan of a matrix file.
#include "common.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "settings.h"
#include "test_util.h"

namespace {

std::string shape(const std::string& text) {
  FILE* f = text_file(text);
  int rows = -7, cols = -7;
  int st = mxsize(f, &rows, &cols);
  long pos = ftell(f);
  fclose(f);
  if (st != SCAN_OK) return "status " + std::to_string(st);
  if (pos != 0) return "not rewound";
  return std::to_string(rows) + "x" + std::to_string(cols);
}

}  // namespace

TEST(Common, Checkline) {
  EXPECT_EQ(checkline(""), 0);
  EXPECT_EQ(checkline("\n"), 0);
  EXPECT_EQ(checkline("1 2 3\n"), 3);
  EXPECT_EQ(checkline("\t1\t-2.5e3  +.5 \r\n"), 3);
  EXPECT_EQ(checkline("1,2,3\n"), 1);
  EXPECT_EQ(checkline("1 2 x 3\n"), 2);
  EXPECT_EQ(checkline("inf nan -1e999 0x1p3 1e\n"), 5);
  EXPECT_EQ(checkline(" # 1 2\n"), 0);
}

TEST(Common, SizeScanOfTheLeadingBlock) {
  EXPECT_EQ(shape("1 2 3\n4 5 6\n"), "2x3");
  EXPECT_EQ(shape("# header\n1 2\n; note\n3 4\n! end\n"), "2x2");
  EXPECT_EQ(shape("1 2\n3 4\n\n5 6\n"), "2x2");
  EXPECT_EQ(shape("1 2\n3 4 5\n"), "1x2");
  EXPECT_EQ(shape("1 2 # a remark\n3 4 x\n"), "2x2");
  EXPECT_EQ(shape(" # indented\n1 2\n"), "1x0");
  EXPECT_EQ(shape(""), "0x0");
  EXPECT_EQ(shape("# only\n# comments\n"), "0x0");
  EXPECT_EQ(shape("1 2\n3 4"), "2x2");
  EXPECT_EQ(shape("1,2,3\n4,5,6\n"), "2x1");
  EXPECT_EQ(shape("1\t2\r\n3\t4\r\n"), "2x2");
  // A line that starts with a NUL byte is a comment; a NUL later ends the line's text.
  EXPECT_EQ(shape(std::string("1 2\n\0 junk\n3 4\0 5\n", 19)), "2x2");
}

TEST(Common, SizeScanReadsLinesOfAnyLength) {
  // Longer than any fixed line buffer: one line, not several pieces.
  std::string line;
  for (int i = 0; i < 2000000; ++i) line += "1.5 ";
  line += "\n";
  EXPECT_EQ(shape(line + line), "2x2000000");
}

TEST(Common, SizeScanFailures) {
  FILE* dir = fopen("/", "r");
  ASSERT_NE(dir, nullptr);
  int rows, cols;
  EXPECT_EQ(mxsize(dir, &rows, &cols), SCAN_READ_ERROR);
  fclose(dir);
  FILE* p = popen("printf '1\\n2\\n'", "r");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(mxsize(p, &rows, &cols), SCAN_NO_REWIND);
  EXPECT_EQ(rows, 2);
  pclose(p);
}

TEST(Common, OneReadKeepsTheBlockOfAPipe) {
  FILE* p = popen("printf '# c\\n1 2 x\\n3 4\\n5\\n6 7\\n'", "r");
  ASSERT_NE(p, nullptr);
  matrix_text m;
  EXPECT_EQ(scan_matrix(p, &m, true), SCAN_OK);
  pclose(p);
  EXPECT_EQ(m.lines, 2);
  EXPECT_EQ(m.values, 2);
  ASSERT_EQ(m.data.size, 4u);
  EXPECT_EQ(std::vector<double>(m.data.items.get(), m.data.items.get() + 4),
            (std::vector<double>{1, 2, 3, 4}));
  ASSERT_EQ(m.text_after.size, 2u);
  EXPECT_EQ(m.text_after.items[0], 1);
  EXPECT_EQ(m.text_after.items[1], 0);
}

TEST(Common, Fname) {
  EXPECT_STREQ(fname("data/sig.old.txt"), "sig.old");
  EXPECT_STREQ(fname("C:\\runs\\run7"), "run7");
  EXPECT_STREQ(fname(".profile"), "");
}

namespace {

// The leading block as one reading from the start finds it, line by line with sscanf: lines
// of numbers, comments, text and NUL bytes after numbers, blank lines.
struct oracle_block {
  int lines = 0, values = 0;
  std::vector<double> data;
  std::vector<unsigned char> text_after;
};
oracle_block read_by_lines(const std::string& text) {
  oracle_block o;
  long long expected = -1;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl + 1 - at);
    at = nl == std::string::npos ? text.size() : nl + 1;
    if (line[0] == '#' || line[0] == ';' || line[0] == '!' || line[0] == '\0') continue;
    const char* s = line.c_str();  // ends at the first NUL byte
    std::vector<double> got;
    double v;
    int n = 0, r;
    // sscanf measures its whole string at each call: it is given the next word alone, or the
    // rest of the line for a number that may go on past it.
    char word[80];
    for (;;) {
      while (isspace(static_cast<unsigned char>(*s))) ++s;
      snprintf(word, sizeof word, "%.79s", s);
      if ((r = sscanf(word, "%lg%n", &v, &n)) == 1 && n > 60) r = sscanf(s, "%lg%n", &v, &n);
      if (r != 1) break;
      got.push_back(v);
      s += n;
    }
    if (expected != -1 && static_cast<long long>(got.size()) != expected) break;
    expected = static_cast<long long>(got.size());
    ++o.lines;
    o.data.insert(o.data.end(), got.begin(), got.end());
    o.text_after.push_back(r == 0);
  }
  o.values = static_cast<int>(expected < 0 ? 0 : expected);
  return o;
}

}  // namespace

// Texts of several blocks, cut into stretches for threads at white space, give the block of one
// reading from the start: numbers, comments and ignored text that cross every kind of cut.
TEST(Common, ReadingInBlocksOnThreadsIsOneReading) {
  std::mt19937 rng(99);
  const std::string words[] = {"1",   "-2.5", "3e-3", "1e", "0x1p3", "inf", "nan",
                               "+.5", "7.",   "1-1",  "x",  "#",     "abc"};
  // 0, 1, 2: one short, very long or middling numbers a line (2 without the last newline);
  // 3: text after the numbers that may end the block; 4: ignored text after a NUL byte across
  // cuts; 5: comment lines where the cuts fall; 6: numbers without white space between them,
  // comments and ignored text longer than a block; 7: numbers longer than a block (digits,
  // leading zeros, fractions, exponents, hexadecimal) and what follows them in the same word.
  for (int shape = 0; shape < 8; ++shape) {
    SCOPED_TRACE(shape);
    const int per_line = shape == 0 || shape == 5 ? 1 : shape == 1 ? 150000 : 3 + shape;
    std::string text;
    int long_lines = 0;
    while (text.size() < (shape >= 6 ? 24u << 20 : shape == 1 ? 9u << 20 : 6u << 20)) {
      const int kind = static_cast<int>(rng() % 40);
      if (shape == 7) {
        // Three numbers a line, the second one or the last two long, most of them of ordinary
        // values; every third line crosses two or three blocks.
        const bool crossing = ++long_lines % 3 == 0;
        const size_t len = 1 + rng() % (crossing ? 5 << 20 : 3 << 19) + (crossing ? 4 << 20 : 0);
        const std::string run(len, "0123456789"[kind % 10]), zeros(len, '0'),
            n = std::to_string(len);
        auto long_number = [&](int k) {
          return k % 7 == 0   ? "-" + run + "e-" + n
                 : k % 7 == 1 ? "0." + zeros + "25e" + std::to_string(len + 1)
                 : k % 7 == 2 ? "7." + run + "e-0" + run[0]
                 : k % 7 == 3 ? "1e" + zeros + "5"
                 : k % 7 == 4 ? "1e-" + run + "9"
                 : k % 7 == 5 ? "0x1" + std::string(len, 'f') + "p-" + std::to_string(4 * len)
                              : "+7." + zeros + "1E+";
        };
        text += std::to_string(kind) + " " + long_number(long_lines);
        text += kind % 3 == 0 ? "-5" : kind % 3 == 1 ? " " + long_number(long_lines + 1) : "\t.5";
        text += kind % 4 == 0 ? " x" : kind % 4 == 1 ? "x" : "";
        if (kind % 5 == 0) text += std::string(1, '\0') + "1 2 3";
        text += '\n';
        continue;
      }
      if (shape == 6) {
        if (kind < 14) {
          text += "#" + std::string(rng() % (5 << 20), 'c') + "\n";
          continue;
        }
        text += "1" + std::string(2 * 300000, '1');
        for (size_t k = text.size() - 2 * 300000; k < text.size(); k += 2) text[k] = '-';
        if (kind % 3 == 0) text += " x" + std::string(rng() % (5 << 20), 'x');
        if (kind % 3 == 1) text += std::string(1, '\0') + std::string(rng() % (5 << 20), 'y');
        text += '\n';
        continue;
      }
      if (shape == 5 && kind < 20) {
        text += kind % 2 ? "; c\n" : std::string(1, '\0') + "1 2\n";
        continue;
      }
      for (int j = 0; j < per_line; ++j) {
        if (j > 0) text += (rng() % 5 == 0) ? "\t" : " ";
        text += std::to_string(static_cast<int>(rng() % 100000) - 50000) + "." +
                std::to_string(rng() % 1000);
      }
      if (shape == 3 && kind == 1) text += " " + words[rng() % 13] + " " + words[rng() % 13];
      if (shape == 4 && kind < 3) text += " " + words[10 + rng() % 3] + " " + words[rng() % 13];
      if (shape == 4 && kind >= 15 && kind < 18) {
        text += std::string(1, '\0');
        for (int j = 0; j < 30000; ++j) text += " 5 6";
      }
      if (shape == 5 && kind == 20) text += "\r";
      text += '\n';
    }
    if (shape == 2) text.pop_back();  // a last line without its newline
    oracle_block want = read_by_lines(text);
    for (int threads : {1, 2, 5}) {
      SCOPED_TRACE(threads);
      const int saved = jobs;
      jobs = threads;
      FILE* f = text_file(text);
      matrix_text m;
      int st = scan_matrix(f, &m, true);
      fclose(f);
      jobs = saved;
      EXPECT_EQ(st, SCAN_OK);
      EXPECT_EQ(m.lines, want.lines);
      EXPECT_EQ(m.values, want.values);
      ASSERT_EQ(m.data.size, want.data.size());
      EXPECT_TRUE(std::equal(want.data.begin(), want.data.end(), m.data.items.get(),
                             [](double a, double b) { return memcmp(&a, &b, 8) == 0; }));
      ASSERT_EQ(m.text_after.size, want.text_after.size());
      EXPECT_TRUE(
          std::equal(want.text_after.begin(), want.text_after.end(), m.text_after.items.get()));
    }
  }
}

// Words far longer than a block are read in time proportional to their length: four times as
// long takes at most five times as long (a number carried whole from block to block and read
// again from its start took about sixteen).
static double cpu_seconds() {
  struct timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

TEST(Common, LongWordsTakeLinearTime) {
  // A sanitizer's shadow memory and quarantine take time of their own that grows with the text.
  if (sanitizer_build()) GTEST_SKIP() << "timing is for the optimised build";
  const char* const shapes[] = {"7", "0.0", "1e0", "1e-9", "0xf", "x"};
  for (const char* shape : shapes) {
    SCOPED_TRACE(shape);
    double best[2] = {1e9, 1e9};
    for (int size = 0; size < 2; ++size) {
      const size_t len = (size_t{16} << 20) << (2 * size);
      std::string text = shape + std::string(len, shape[strlen(shape) - 1]) + "5\n";
      FILE* f = text_file(text);
      text.clear();
      for (int round = 0; round < 3; ++round) {
        fseek(f, 0, SEEK_SET);
        matrix_text m;
        // The process's CPU time, which other work on the machine does not lengthen.
        const double t0 = cpu_seconds();
        EXPECT_EQ(scan_matrix(f, &m, false), SCAN_OK);
        best[size] = std::min(best[size], cpu_seconds() - t0);
        EXPECT_EQ(m.lines, 1);
      }
      fclose(f);
    }
    EXPECT_LT(best[1], 5 * best[0]) << best[0] << " s, four times as long: " << best[1] << " s";
  }
}

// With --csv a quote anywhere in a block lets it be cut only at line ends, so a line longer than
// a block is carried whole into the next: whether the next block was read ahead on another
// thread or after, the reading is the same, and it holds every field.
TEST(Common, CsvLinesCarriedAcrossBlocksReadAlike) {
  std::string text;
  const int lines = 5, fields = 300000;  // about 2.5 MiB a line
  for (int i = 0; i < lines; ++i) {
    text += "\"" + std::to_string(i) + "\"";
    for (int j = 1; j < fields; ++j) text += "," + std::to_string(i * fields + j) + ".5";
    text += '\n';
  }
  const int saved_jobs = jobs, saved_csv = csv;
  csv = 1;
  matrix_text m[2];
  for (int threads : {1, 2}) {
    jobs = threads;
    FILE* f = text_file(text);
    EXPECT_EQ(scan_matrix(f, &m[threads - 1], true), SCAN_OK);
    fclose(f);
  }
  jobs = saved_jobs;
  csv = saved_csv;
  for (const matrix_text& r : m) {
    EXPECT_EQ(r.lines, lines);
    EXPECT_EQ(r.values, fields);
    ASSERT_EQ(r.data.size, size_t{lines} * fields);
    for (int i = 0; i < lines; ++i)
      for (int j = 1; j < fields; j += 997)
        ASSERT_EQ(r.data.items[static_cast<size_t>(i) * fields + j], i * fields + j + 0.5)
            << i << " " << j;
  }
  EXPECT_EQ(memcmp(m[0].data.items.get(), m[1].data.items.get(), m[0].data.size * sizeof(double)),
            0);
}

// The room for the values is guessed from the first block, here two numbers and a comment: the
// values outgrow it again and again while the next block is read and the room it will take is
// faulted in, which must then never reach past the room or into a block given up.
TEST(Common, ValuesOutgrowTheirRoomWhileTheNextBlockIsRead) {
  std::string text = "-1 -2\n#" + std::string((4 << 20) - 100, 'c') + "\n";
  const int lines = 1200000;  // about 16 MB
  for (int i = 0; i < lines; ++i) text += std::to_string(i) + " 0.5\n";
  const int saved = jobs;
  jobs = 2;
  FILE* f = text_file(text);
  matrix_text m;
  EXPECT_EQ(scan_matrix(f, &m, true), SCAN_OK);
  fclose(f);
  jobs = saved;
  ASSERT_EQ(m.data.size, size_t{2} * (lines + 1));
  EXPECT_EQ(m.data.items[1], -2);
  for (int i = 0; i < lines; ++i) {
    ASSERT_EQ(m.data.items[2 * size_t(i) + 2], i) << i;
    ASSERT_EQ(m.data.items[2 * size_t(i) + 3], 0.5) << i;
  }
}

// A reading that ends at a line limit ends there whether or not the block after it was read
// ahead: the lines up to the limit, every value in its place.
TEST(Common, LineLimitEndsTheReadingWithABlockReadAhead) {
  std::string text;
  const int lines = 1500000, limit = 1000003;  // about 21 MB, the limit in the third block
  for (int i = 0; i < lines; ++i) text += std::to_string(i) + " 0.5\n";
  for (int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    const int saved = jobs;
    jobs = threads;
    FILE* f = text_file(text);
    matrix_text m;
    EXPECT_EQ(scan_matrix(f, &m, false, limit), SCAN_OK);
    fclose(f);
    jobs = saved;
    EXPECT_EQ(m.lines, limit);
    EXPECT_EQ(m.values, 2);
    ASSERT_EQ(m.data.size, size_t{2} * limit);
    for (int i = 0; i < limit; i += 4999) ASSERT_EQ(m.data.items[2 * size_t(i)], i) << i;
    EXPECT_EQ(m.data.items[2 * size_t(limit) - 2], limit - 1);
  }
}
