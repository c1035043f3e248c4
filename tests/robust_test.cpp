// Hostile inputs, output faults, concurrent and interrupted runs of the built binary: every run
// ends in results or a clear message with status 1, never a signal, never a partial result file.
#include <ctype.h>
#include <fcntl.h>
#include <fftw3.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;

const char* const kExts[] = {".hre", ".him", ".hab", ".hth", ".hfq"};

std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// The names of the given inputs and, for each base name given, its five result files.
std::set<std::string> names(std::initializer_list<std::string> plain,
                            std::initializer_list<std::string> result_bases = {}) {
  std::set<std::string> s(plain);
  for (const std::string& b : result_bases) {
    for (const char* e : kExts) s.insert(b + e);
  }
  return s;
}

std::string printable(const std::string& s) {
  std::string r;
  for (unsigned char c : s) {
    if (c >= 32 && c < 127) {
      r += static_cast<char>(c);
    } else {
      char b[8];
      snprintf(b, sizeof b, "\\x%02x", c);
      r += b;
    }
  }
  return r;
}

bool wait_for(const std::function<bool()>& cond, double seconds) {
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (cond()) return true;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec + (now.tv_nsec - start.tv_nsec) * 1e-9 > seconds) return false;
    usleep(1000);
  }
}

long long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

using signals = std::vector<std::vector<double>>;  // each signal: its samples
using analytic = std::vector<std::vector<std::complex<double>>>;

// The analytic signal of each signal by the direct DFT sums.
analytic direct_analytic(const signals& x) {
  analytic y;
  for (const std::vector<double>& s : x) y.push_back(analytic_oracle(s));
  return y;
}

// Every line of a result file, parsed; false when the text is not lines of numbers joined by
// single spaces.
bool parse_result(const std::string& path, std::vector<std::vector<double>>* lines) {
  std::string text = read_text(path);
  lines->clear();
  if (!text.empty() && text.back() != '\n') return false;
  const char* p = text.c_str();
  const char* end = p + text.size();
  while (p < end) {
    std::vector<double> line;
    for (;;) {
      char* stop;
      double v = strtod(p, &stop);
      if (stop == p || *p == ' ' || *p == '\n') return false;
      line.push_back(v);
      p = stop;
      if (*p == '\n') break;
      if (*p != ' ') return false;
      ++p;
    }
    ++p;
    lines->push_back(std::move(line));
  }
  return true;
}

double angle_gap(double a, double b) {
  return std::fabs(std::remainder(a - b, 2 * M_PI));
}

// The five result files of base (a path without extension) against the expected signals.
void expect_results(const std::string& base, const analytic& want, double tol, double tstep = 1) {
  const size_t m = want.size(), n = want[0].size();
  double scale = 0;
  for (const auto& s : want) {
    for (auto v : s) scale = std::max(scale, std::abs(v));
  }
  const double big = 1e-4 * scale;  // phases are checked where the envelope is not tiny
  for (int t = 0; t < 5; ++t) {
    const std::string path = base + kExts[t];
    std::vector<std::vector<double>> got;
    if (!parse_result(path, &got)) {
      ADD_FAILURE() << printable(path) << " is not lines of numbers";
      continue;
    }
    if (got.size() != n) {
      ADD_FAILURE() << printable(path) << ": " << got.size() << " lines, want " << n;
      continue;
    }
    for (size_t k = 0; k < n; ++k) {
      if (got[k].size() != m) {
        ADD_FAILURE() << printable(path) << " line " << k << ": " << got[k].size() << " values";
        break;
      }
      bool bad = false;
      for (size_t i = 0; i < m && !bad; ++i) {
        const std::complex<double> y = want[i][k];
        const double v = got[k][i];
        switch (t) {
          case 0:
            bad = !(std::fabs(v - y.real()) <= tol);
            break;
          case 1:
            bad = !(std::fabs(v - y.imag()) <= tol);
            break;
          case 2:
            bad = !(std::fabs(v - std::abs(y)) <= tol);
            break;
          case 3:
            bad = std::abs(y) > big && !(angle_gap(v, std::arg(y)) <= 1e-6);
            break;
          case 4:
            if (k == 0) {
              bad = v != 0;
            } else {
              const std::complex<double> prev = want[i][k - 1];
              bad = !(std::fabs(v * tstep) < 2 * M_PI + 1e-9) ||
                    (std::abs(y) > big && std::abs(prev) > big &&
                     !(angle_gap(v * tstep, std::arg(y) - std::arg(prev)) <= 1e-6));
            }
            break;
        }
        if (bad) {
          ADD_FAILURE() << printable(path) << " line " << k << " signal " << i << ": " << v
                        << ", want " << y;
        }
      }
      if (bad) break;
    }
  }
}

// One result file is whole: the expected number of lines, the last one ended.
bool complete(const std::string& path, size_t lines) {
  std::string text = read_text(path);
  return !text.empty() && text.back() == '\n' &&
         static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) == lines;
}

std::string sine_column(int samples, int signals_count) {
  std::string text;
  char b[64];
  for (int k = 0; k < samples; ++k) {
    for (int i = 0; i < signals_count; ++i) {
      snprintf(b, sizeof b, i == 0 ? "%.6f" : " %.6f", sin(0.01 * (k + 1) * (i + 1)) * (i + 1));
      text += b;
    }
    text += '\n';
  }
  return text;
}

// cos(2 pi f n / N) printed exactly: its analytic signal is exp(i 2 pi f n / N).
std::vector<double> tone(int n, int f) {
  std::vector<double> x(n);
  for (int k = 0; k < n; ++k) x[k] = cos(2 * M_PI * f * k / n);
  return x;
}

analytic tone_analytic(int n, int f) {
  analytic y(1, std::vector<std::complex<double>>(n));
  for (int k = 0; k < n; ++k) y[0][k] = std::polar(1.0, 2 * M_PI * f * k / n);
  return y;
}

std::string g17(double v) {
  char b[40];
  snprintf(b, sizeof b, "%.17g", v);
  return b;
}

}  // namespace

// Content that is odd but well defined: each gives its results, or "No data" and status 1.
TEST(RobustInput, ContentEdgeCases) {
  struct input_case {
    const char* label;
    std::string content;
    signals want;  // empty: no data
  };
  const std::string nul_start("\0 7 7 7\n1 2\n3 4\n", 16);
  const std::string nul_mid("1 2\0 9\n3 4\n", 11);
  const input_case cases[] = {
      {"empty", "", {}},
      {"comments only", "# a\n; b\n! c\n", {}},
      {"blank lines only", "\n  \n\t\n", {}},
      {"text first", "x 1 2\n3 4\n", {}},
      {"high bytes only", "\x80\xff\xfe\x9f\n\xc3\x28\n", {}},
      {"NUL at line start is a comment", nul_start, {{1, 3}, {2, 4}}},
      {"NUL mid-line ends the line", nul_mid, {{1, 3}, {2, 4}}},
      {"CRLF", "1 2\r\n3 4\r\n5 6\r\n", {{1, 3, 5}, {2, 4, 6}}},
      {"no final newline", "1 2\n3 4\n5 6", {{1, 3, 5}, {2, 4, 6}}},
      {"tabs and comments", "# h\n1\t2\n; x\n3\t 4\n", {{1, 3}, {2, 4}}},
      {"ragged: block ends at the third line", "1 2\n3 4\n5\n7 8\n", {{1, 3}, {2, 4}}},
      {"ragged: first line alone is one signal", "1 2 3\n4 5\n", {{1, 2, 3}}},
      {"blank line ends the block", "1\n2\n\n3\n", {{1, 2}}},
      {"hex floats", "0x1p3\n0x10\n-0x1.8p1\n", {{8, 16, -3}}},
      {"trailing text", "1 2 # r\n3 4 x\n", {{1, 3}, {2, 4}}},
  };
  for (const input_case& c : cases) {
    SCOPED_TRACE(c.label);
    temp_dir d;
    write_file(d / "in.txt", c.content);
    outcome r = run(d.path, {"anasig", "--quiet", "in.txt"});
    EXPECT_EQ(r.sig, 0);
    if (c.want.empty()) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "No data in in.txt.\n");
      EXPECT_EQ(listing(d.path), names({"in.txt", "logfile"}));
    } else {
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(listing(d.path), names({"in.txt", "logfile"}, {"in"}));
      expect_results(d / "in", direct_analytic(c.want), 1e-9);
    }
  }
}

// Overflowing, infinite and NaN samples are numbers: the run ends normally, the signal that
// holds one is non-finite, and the other signal is untouched.
TEST(RobustInput, NonFiniteValues) {
  for (const char* bad : {"1e999", "-1e999", "inf", "-Infinity", "nan", "NAN(123)"}) {
    SCOPED_TRACE(bad);
    temp_dir d;
    write_file(d / "in.txt", std::string("1 ") + bad + "\n2 2\n3 3\n4 4\n");
    outcome r = run(d.path, {"anasig", "--quiet", "in.txt"});
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing(d.path), names({"in.txt", "logfile"}, {"in"}));
    analytic good = direct_analytic({{1, 2, 3, 4}});
    for (int t = 0; t < 5; ++t) {
      std::vector<std::vector<double>> got;
      ASSERT_TRUE(parse_result(d / "in" + kExts[t], &got)) << kExts[t];
      ASSERT_EQ(got.size(), 4u);
      for (size_t k = 0; k < 4; ++k) {
        ASSERT_EQ(got[k].size(), 2u);
        const double expected[3] = {good[0][k].real(), good[0][k].imag(), std::abs(good[0][k])};
        if (t < 3) {
          EXPECT_NEAR(got[k][0], expected[t], 1e-9) << kExts[t] << " line " << k;
        }
      }
    }
    // The sample itself stays non-finite in the real part.
    std::vector<std::vector<double>> re;
    ASSERT_TRUE(parse_result(d / "in.hre", &re));
    EXPECT_FALSE(std::isfinite(re[0][1]));
  }
}

// Random bytes: whatever they happen to hold, the run gives whole results of the shape it
// reports, or says there is no data; never a crash or a partial file.
TEST(RobustInput, BinaryGarbageHasADefinedOutcome) {
  std::mt19937 rng(20240601);
  int with_results = 0, without = 0;
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    std::string bytes(1 + rng() % 6000, '\0');
    // Half the rounds use bytes that are mostly digits and separators, so that some blocks form.
    const char alphabet[] = "0123456789 \n\t.-+eE#\r";
    for (char& c : bytes) {
      c = round % 2 == 0 ? static_cast<char>(rng()) : alphabet[rng() % (sizeof alphabet - 1)];
    }
    temp_dir d;
    write_file(d / "g.bin", bytes);
    outcome r = run(d.path, {"anasig", "--quiet", "g.bin"});
    ASSERT_EQ(r.sig, 0);
    if (r.status == 0) {
      ++with_results;
      int lines = 0, values = 0;
      ASSERT_EQ(sscanf(r.out.c_str(), "Using timestep=1\n%d rows, %d columns", &lines, &values), 2)
          << r.out;
      size_t samples = lines == 1 ? values : lines, sigs = lines == 1 ? 1 : values;
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(listing(d.path), names({"g.bin", "logfile"}, {"g"}));
      for (const char* e : kExts) {
        std::vector<std::vector<double>> got;
        ASSERT_TRUE(parse_result(d / "g" + e, &got)) << e;
        ASSERT_EQ(got.size(), samples) << e;
        for (const auto& line : got) ASSERT_EQ(line.size(), sigs) << e;
      }
    } else {
      ++without;
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "No data in g.bin.\n");
      EXPECT_EQ(listing(d.path), names({"g.bin", "logfile"}));
    }
  }
  // Both outcomes must have been exercised, or the rounds test less than they claim.
  EXPECT_GT(with_results, 0);
  EXPECT_GT(without, 0);
}

// A 10 MiB line is one signal; a million short lines are one signal of a million samples.
TEST(RobustInput, VeryLongLineAndMillionLines) {
  {
    temp_dir d;
    const int n = 1000, f = 3;
    std::vector<double> x = tone(n, f);
    std::string text;
    for (double v : x) {
      std::string num = g17(v);
      text += num + std::string(10490 - num.size(), ' ');
    }
    text += '\n';
    ASSERT_GT(text.size(), 10u << 20);
    write_file(d / "line.txt", text);
    outcome r = run(d.path, {"anasig", "--quiet", "line.txt"});
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Using timestep=1\n1 rows, 1000 columns\n");
    EXPECT_EQ(listing(d.path), names({"line.txt", "logfile"}, {"line"}));
    expect_results(d / "line", tone_analytic(n, f), 1e-9);
  }
  {
    // 3, 1, 3, 1, ...: a constant plus the Nyquist tone, both their own analytic signal.
    temp_dir d;
    const int n = 1000000;
    std::string text;
    for (int k = 0; k < n; ++k) text += k % 2 == 0 ? "3\n" : "1\n";
    write_file(d / "mil.txt", text);
    outcome r = run(d.path, {"anasig", "--quiet", "mil.txt"});
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing(d.path), names({"mil.txt", "logfile"}, {"mil"}));
    analytic want(1, std::vector<std::complex<double>>(n));
    for (int k = 0; k < n; ++k) want[0][k] = k % 2 == 0 ? 3 : 1;
    expect_results(d / "mil", want, 1e-8);
  }
}

// Operands that are not plain files: a FIFO is read like a file; the others end with a clear
// message and status 1, and nothing written.
TEST(RobustInput, SpecialFiles) {
  struct special_case {
    const char* label;
    std::function<void(const temp_dir&)> setup;
    std::string operand;
    std::string err;
    std::set<std::string> left;  // besides the logfile
  };
  const special_case cases[] = {
      {"missing", [](const temp_dir&) {}, "none.txt", "Couldn't open none.txt.\n", {}},
      {"directory",
       [](const temp_dir& d) { mkdir((d / "dir").c_str(), 0755); },
       "dir",
       "Couldn't read dir.\n",
       {"dir"}},
      {"/dev/null", [](const temp_dir&) {}, "/dev/null", "No data in /dev/null.\n", {}},
      {"dangling symlink",
       [](const temp_dir& d) { symlink("nowhere", (d / "dang.txt").c_str()); },
       "dang.txt",
       "Couldn't open dang.txt.\n",
       {"dang.txt"}},
      {"symlink loop",
       [](const temp_dir& d) {
         symlink("loop2", (d / "loop1").c_str());
         symlink("loop1", (d / "loop2").c_str());
       },
       "loop1",
       "Couldn't open loop1.\n",
       {"loop1", "loop2"}},
  };
  for (const special_case& c : cases) {
    SCOPED_TRACE(c.label);
    temp_dir d;
    c.setup(d);
    outcome r = run(d.path, {"anasig", "--quiet", c.operand});
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    std::set<std::string> want = c.left;
    want.insert("logfile");
    EXPECT_EQ(listing(d.path), want);
  }

  {
    SCOPED_TRACE("FIFO with a writer");
    temp_dir d;
    ASSERT_EQ(mkfifo((d / "ff").c_str(), 0644), 0);
    const std::string fifo = d / "ff";
    pid_t writer = fork();
    if (writer == 0) {
      signal(SIGPIPE, SIG_IGN);
      int fd = open(fifo.c_str(), O_WRONLY);
      for (int i = 0; fd >= 0 && i < 100; ++i) {
        if (write(fd, "1 2\n", 4) != 4) break;
      }
      _exit(0);
    }
    outcome r = run(d.path, {"anasig", "--quiet", "ff"});
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing(d.path), names({"ff", "logfile"}, {"ff"}));
  }
  {
    SCOPED_TRACE("process substitution");
    temp_dir d;
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ASSERT_EQ(write(p[1], "1\n2\n3\n", 6), 6);
    close(p[1]);
    child_opts o;
    o.fd3 = p[0];
    outcome r = run(d.path, {"anasig", "--quiet", "/dev/fd/3"}, o);
    close(p[0]);
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Couldn't open /dev/fd/3.hre for writing.\n");
    EXPECT_EQ(listing(d.path), names({"logfile"}));
  }
  {
    SCOPED_TRACE("standard input from a pipe");
    temp_dir d;
    run_result r = run_anasig(d.path, {"anasig", "--quiet", "/dev/fd/0"}, "1\n2\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Using timestep=1\n2 rows, 1 columns\n");
    EXPECT_EQ(r.err, "Couldn't open /dev/fd/0.hre for writing.\n");
    EXPECT_EQ(listing(d.path), names({"logfile"}));
  }
}

// Names with spaces, newlines, a leading dash or bytes that are not UTF-8 are names like others.
TEST(RobustInput, AwkwardNames) {
  struct name_case {
    std::string file;     // as created
    std::string operand;  // as given
    std::string base;     // the result files' name without extension
  };
  const name_case cases[] = {
      {"a b.txt", "a b.txt", "a b"},
      {"a\nb.txt", "a\nb.txt", "a\nb"},
      {"-x.txt", "-x.txt", "-x"},  // after "--"
      {"-y.txt", "./-y.txt", "-y"},
      {"\xff\xfe\x80.txt", "\xff\xfe\x80.txt", "\xff\xfe\x80"},
      {"noext", "noext", "noext"},
      {"a.b.c", "a.b.c", "a.b"},
      {" lead*,.dat", " lead*,.dat", " lead*,"},
  };
  const signals x = {{1, 2, 5, 4, 3}, {0, 1, 0, -1, 0}};
  const analytic want = direct_analytic(x);
  for (const name_case& c : cases) {
    SCOPED_TRACE(printable(c.file));
    temp_dir d;
    write_file(d / c.file, "1 0\n2 1\n5 0\n4 -1\n3 0\n");
    outcome r = run(d.path, {"anasig", "--quiet", "--", c.operand});
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing(d.path), names({c.file, "logfile"}, {c.base}));
    expect_results(d / c.base, want, 1e-9);
  }
}

// A result name of 256 bytes cannot be created; one of 255 can. A result path past PATH_MAX
// is refused before anything is opened.
TEST(RobustInput, OverlongNames) {
  {
    temp_dir d;
    const std::string fits(251, 'm'), over(252, 'n');
    write_file(d / (fits + ".t"), "1\n2\n");
    write_file(d / (over + ".t"), "1\n2\n");
    outcome ok = run(d.path, {"anasig", "--quiet", fits + ".t"});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.err, "");
    outcome r = run(d.path, {"anasig", "--quiet", over + ".t"});
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Couldn't open " + over + ".hre for writing.\n");
    EXPECT_EQ(listing(d.path), names({fits + ".t", over + ".t", "logfile"}, {fits}));
  }
  {
    temp_dir d;
    write_file(d / "xx.t", "1\n2\n");
    std::string path;
    for (int i = 0; i < 2045; ++i) path += "./";
    path += "xx.t";  // 4094 bytes: it opens, but the result path needs 4096 plus the NUL
    outcome r = run(d.path, {"anasig", "--quiet", path});
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Path too long: " + path + "\n");
    EXPECT_EQ(listing(d.path), names({"xx.t", "logfile"}));
  }
}

namespace {

// A run whose standard error is a one-page pipe already holding all but `room` bytes: it
// writes its first `room` bytes of messages, then blocks in its next write to standard error,
// at a point fixed by the message sequence.
struct blocked_run {
  pid_t pid = -1;
  int err = -1;  // the pipe's read end
  std::string filler;
};

bool start_blocked(const std::string& dir, const std::vector<std::string>& args, size_t room,
                   blocked_run* b, std::vector<int> ignored = {}) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return false;
  if (fcntl(p[1], F_SETPIPE_SZ, 4096) != 4096) {
    close(p[0]);
    close(p[1]);
    return false;
  }
  b->filler.assign(4096 - room, 'x');
  if (write(p[1], b->filler.data(), b->filler.size()) != ssize_t(b->filler.size())) return false;
  child_opts o;
  o.err_fd = p[1];
  o.ignored = std::move(ignored);
  b->pid = spawn(dir, args, o);
  close(p[1]);
  b->err = p[0];
  return true;
}

// True once the run is blocked as planned: the pipe is full and it is inside write(2, ...).
bool wait_blocked(const blocked_run& b) {
  const std::string sys = "/proc/" + std::to_string(b.pid) + "/syscall";
  return wait_for(
      [&] {
        int queued = 0;
        return ioctl(b.err, FIONREAD, &queued) == 0 && queued == 4096 &&
               read_text(sys).rfind("1 0x2 ", 0) == 0;
      },
      60);
}

// Drains standard error to its end and waits for the run; the filler is taken off.
outcome finish_blocked(blocked_run* b) {
  std::string err;
  char buf[65536];
  ssize_t got;
  while ((got = read(b->err, buf, sizeof buf)) > 0) err.append(buf, got);
  close(b->err);
  outcome r = finish(b->pid);
  if (err.compare(0, b->filler.size(), b->filler) == 0) {
    r.err = err.substr(b->filler.size());
  } else {
    r.err = "(filler lost) " + err;
  }
  return r;
}

const char kScanMessage[] = "Checking size\n";
const char kTransformMessages[] = "Checking size\nReading file...done\n 0%..49%..50%..99%..100%\n";

}  // namespace

// The file changes after the size scan. The file is read once, also with --debug, so the run
// gives the results of the file as scanned. The run is held after the scan by a full standard
// error.
TEST(RobustInput, FileChangedAfterTheSizeScan) {
  struct change_case {
    const char* label;
    std::function<void(const std::string&)> change;
    bool changes_block;
  };
  const int lines = 20000;
  const change_case cases[] = {
      {"unchanged", [](const std::string&) {}, false},
      {"truncated", [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 60000), 0); }, true},
      {"emptied", [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 0), 0); }, true},
      {"a number more on the first line",
       [](const std::string& p) {
         int fd = open(p.c_str(), O_WRONLY);
         ASSERT_EQ(pwrite(fd, "1 2 3\n", 6, 0), 6);
         close(fd);
       },
       true},
      {"a number less on a later line",
       [](const std::string& p) {
         int fd = open(p.c_str(), O_WRONLY);
         ASSERT_EQ(pwrite(fd, "10 x\n", 5, 6 * 15000), 5);
         close(fd);
       },
       true},
      {"lines appended after the block",
       [](const std::string& p) {
         FILE* f = fopen(p.c_str(), "a");
         fputs("\n7 7\n7 7\n", f);
         fclose(f);
       },
       false},
  };
  analytic want(2, std::vector<std::complex<double>>(lines));
  for (int k = 0; k < lines; ++k) want[0][k] = 10, want[1][k] = 20;
  for (bool debug : {false, true}) {
    for (const change_case& c : cases) {
      SCOPED_TRACE(std::string(c.label) + (debug ? ", --debug" : ""));
      temp_dir d;
      std::string text;
      for (int i = 0; i < lines; ++i) text += "10 20\n";
      write_file(d / "s.txt", text);
      std::vector<std::string> args = {"anasig"};
      if (debug) args.push_back("--debug");
      args.push_back("s.txt");
      blocked_run b;
      if (!start_blocked(d.path, args, strlen(kScanMessage), &b)) {
        GTEST_SKIP() << "cannot set up a one-page pipe";
      }
      bool blocked = wait_blocked(b);
      if (blocked) c.change(d / "s.txt");
      outcome r = finish_blocked(&b);
      ASSERT_TRUE(blocked) << "the run never stopped after the size scan";
      EXPECT_EQ(r.sig, 0);
      ASSERT_EQ(r.err.rfind(kScanMessage, 0), 0u) << r.err.substr(0, 200);
      {
        EXPECT_EQ(r.status, 0);
        if (!debug) {
          EXPECT_EQ(r.err.rfind(kTransformMessages, 0), 0u) << r.err;
        }
        EXPECT_EQ(listing(d.path), names({"s.txt", "logfile"}, {"s"}));
        expect_results(d / "s", want, 1e-8);
      }
    }
  }
}

namespace {

// After a failed write: none of the input's results is there (those finished before the failed
// one are not put in place either), and the message names the failed one.
void expect_stopped_at_write(const std::string& dir, const std::string& base, const outcome& r,
                             const std::set<std::string>& others) {
  EXPECT_EQ(r.sig, 0);
  EXPECT_EQ(r.status, 1);
  int failed = -1;
  for (int t = 0; t < 5; ++t) {
    if (r.err == "Couldn't write " + base + kExts[t] + ".\n") failed = t;
  }
  ASSERT_GE(failed, 0) << r.err;
  EXPECT_EQ(listing(dir), others);
}

}  // namespace

// A disk that fills up: the file being written is removed, the earlier operand's results stay.
TEST(RobustOutput, FullDisk) {
  small_disk disk("64k");
  if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs: " << disk.error;
  const std::string mnt = disk.path;
  write_file(mnt + "/a.txt", "1\n2\n3\n");
  write_file(mnt + "/s.txt", sine_column(2000, 1));
  outcome r = run(mnt, {"anasig", "--quiet", "a.txt", "s.txt"});
  std::set<std::string> others = names({"a.txt", "s.txt", "logfile"}, {"a"});
  expect_stopped_at_write(mnt, "s", r, others);
  expect_results(mnt + "/a", direct_analytic({{1, 2, 3}}), 1e-9);
}

// A size limit on files: the write fails with EFBIG, reported like a full disk.
TEST(RobustOutput, FileSizeLimit) {
  temp_dir d;
  write_file(d / "a.txt", "1\n2\n3\n");
  write_file(d / "s.txt", sine_column(2000, 1));
  child_opts o;
  o.fsize = 20000;
  outcome r = run(d.path, {"anasig", "--quiet", "a.txt", "s.txt"}, o);
  expect_stopped_at_write(d.path, "s", r, names({"a.txt", "s.txt", "logfile"}, {"a"}));
  expect_results(d / "a", direct_analytic({{1, 2, 3}}), 1e-9);
}

// Result names taken by something that cannot hold a result: what is there stays, and no
// result of the input is put in place.
TEST(RobustOutput, UnwritableResultNames) {
  struct name_case {
    const char* label;
    int taken;  // which result name is taken
    std::function<void(const std::string& path)> take;
    bool open_fails;  // else the writes fail
  };
  const name_case cases[] = {
      {"real part is a symlink to /dev/full", 0,
       [](const std::string& p) { ASSERT_EQ(symlink("/dev/full", p.c_str()), 0); }, false},
      {"phase is a symlink to /dev/full", 3,
       [](const std::string& p) { ASSERT_EQ(symlink("/dev/full", p.c_str()), 0); }, false},
      {"imaginary part is a directory", 1,
       [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0755), 0); }, true},
      {"envelope is a symlink into a missing directory", 2,
       [](const std::string& p) { ASSERT_EQ(symlink("nodir/x", p.c_str()), 0); }, true},
  };
  for (const name_case& c : cases) {
    SCOPED_TRACE(c.label);
    temp_dir d;
    write_file(d / "s.txt", sine_column(50, 2));
    const std::string taken = std::string("s") + kExts[c.taken];
    c.take(d / taken);
    struct stat before;
    ASSERT_EQ(lstat((d / taken).c_str(), &before), 0);
    outcome r = run(d.path, {"anasig", "--quiet", "s.txt"});
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, (c.open_fails ? "Couldn't open " : "Couldn't write ") + taken +
                         (c.open_fails ? " for writing.\n" : ".\n"));
    EXPECT_EQ(listing(d.path), names({"s.txt", "logfile", taken}));
    struct stat after;
    ASSERT_EQ(lstat((d / taken).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
  }
  struct stat full;
  ASSERT_EQ(stat("/dev/full", &full), 0);
  EXPECT_TRUE(S_ISCHR(full.st_mode));
}

// Permissions, as an unprivileged user (root would pass every check): a read-only directory,
// an unreadable input, a read-only result file and a read-only current directory.
TEST(RobustOutput, PermissionsAsAnotherUser) {
  temp_dir d;
  ASSERT_EQ(chmod(d.path.c_str(), 0755), 0);
  // A copy of the binary, so that every directory above it can be entered.
  const std::string bin = d / "anasig";
  std::error_code ec;
  fs::copy_file(anasig_bin(), bin, ec);
  ASSERT_FALSE(ec) << ec.message();
  ASSERT_EQ(chmod(bin.c_str(), 0755), 0);
  child_opts o;
  o.bin = bin;
  o.as_nobody = true;
  outcome probe = run(d.path, {"anasig", "--version"}, o);
  if (probe.status != 0) GTEST_SKIP() << "cannot run as nobody: " << probe.status;

  auto make_dir = [&](const std::string& name, mode_t mode) {
    ASSERT_EQ(mkdir((d / name).c_str(), mode), 0);
    ASSERT_EQ(chmod((d / name).c_str(), mode), 0);
  };
  const std::string input = sine_column(20, 1);
  make_dir("ro", 0755);
  write_file(d / "ro/s.txt", input);
  make_dir("w", 0777);
  {
    SCOPED_TRACE("read-only directory");
    outcome r = run(d / "w", {"anasig", "--quiet", "../ro/s.txt"}, o);
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Couldn't open ../ro/s.hre for writing.\n");
    EXPECT_EQ(listing(d / "ro"), names({"s.txt"}));
    EXPECT_EQ(listing(d / "w"), names({"logfile"}));
  }
  {
    SCOPED_TRACE("read-only current directory");
    outcome r = run(d / "ro", {"anasig", "--quiet", "s.txt"}, o);
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No logfile entry\nCouldn't open s.hre for writing.\n");
    EXPECT_EQ(listing(d / "ro"), names({"s.txt"}));
  }
  {
    SCOPED_TRACE("unreadable input");
    make_dir("u", 0777);
    write_file(d / "u/s.txt", input);
    ASSERT_EQ(chmod((d / "u/s.txt").c_str(), 0600), 0);
    outcome r = run(d / "u", {"anasig", "--quiet", "s.txt"}, o);
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Couldn't open s.txt.\n");
    EXPECT_EQ(listing(d / "u"), names({"s.txt", "logfile"}));
  }
  {
    SCOPED_TRACE("read-only result file");
    make_dir("f", 0777);
    write_file(d / "f/s.txt", input);
    write_file(d / "f/s.him", "old\n");
    ASSERT_EQ(chmod((d / "f/s.him").c_str(), 0444), 0);
    outcome r = run(d / "f", {"anasig", "--quiet", "s.txt"}, o);
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Couldn't open s.him for writing.\n");
    EXPECT_EQ(listing(d / "f"), names({"s.txt", "logfile", "s.him"}));
    EXPECT_EQ(read_text(d / "f/s.him"), "old\n");
  }
  {
    SCOPED_TRACE("writable result in a read-only directory: written in place");
    write_file(d / "ro/s.hre", "old\n");
    ASSERT_EQ(chmod((d / "ro/s.hre").c_str(), 0666), 0);
    outcome r = run(d / "w", {"anasig", "--quiet", "--none", "--re", "../ro/s.txt"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(complete(d / "ro/s.hre", 20));
    EXPECT_EQ(listing(d / "ro"), names({"s.txt", "s.hre"}));
  }
}

namespace {

// Starts all runs together: each child waits on a pipe that is closed once all are forked.
std::vector<outcome> run_together(const std::string& dir,
                                  const std::vector<std::vector<std::string>>& argvs) {
  temp_dir io;
  int gate[2];
  if (pipe2(gate, O_CLOEXEC) != 0) return {};
  std::vector<pid_t> pids;
  for (size_t i = 0; i < argvs.size(); ++i) {
    child_opts o;
    o.gate = gate[0];
    o.gate_w = gate[1];
    o.out = io / ("out" + std::to_string(i));
    o.err = io / ("err" + std::to_string(i));
    pids.push_back(spawn(dir, argvs[i], o));
  }
  close(gate[1]);
  close(gate[0]);
  std::vector<outcome> rs;
  for (size_t i = 0; i < pids.size(); ++i) {
    outcome r = finish(pids[i]);
    r.out = read_text(io / ("out" + std::to_string(i)));
    r.err = read_text(io / ("err" + std::to_string(i)));
    rs.push_back(r);
  }
  return rs;
}

bool wisdom_loads(const std::string& path) {
  fftw_forget_wisdom();
  bool ok = fftw_import_wisdom_from_filename(path.c_str()) == 1;
  fftw_forget_wisdom();
  return ok;
}

// "YYYY-MM-DD hh:mm:ss" at the start of line.
bool is_time_stamp(const std::string& line) {
  const char shape[] = "dddd-dd-dd dd:dd:dd";
  if (line.size() < sizeof shape - 1) return false;
  for (size_t i = 0; i + 1 < sizeof shape; ++i) {
    if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i]) {
      return false;
    }
  }
  return true;
}

// Valgrind marks its own lines "==PID==".
bool has_valgrind_report(const std::string& text) {
  for (size_t at = text.find("=="); at != std::string::npos; at = text.find("==", at + 1)) {
    size_t end = at + 2;
    while (end < text.size() && isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end > at + 2 && text.compare(end, 2, "==") == 0) return true;
  }
  return false;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0, nl;
  while ((nl = text.find('\n', start)) != std::string::npos) {
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start) + " (no newline)");
  return lines;
}

}  // namespace

// 32 copies at once in one directory, on one input and on 32, with and without --wisdom.
TEST(RobustConcurrency, ThirtyTwoRunsInOneDirectory) {
  const int kRuns = 32;
  for (bool wisdom : {false, true}) {
    for (bool same : {true, false}) {
      SCOPED_TRACE(std::string(same ? "one input" : "32 inputs") + (wisdom ? ", --wisdom" : ""));
      temp_dir d;
      std::vector<std::vector<std::string>> argvs;
      std::vector<std::string> bases;
      std::vector<analytic> wants;
      std::set<std::string> want_names = names({"logfile"});
      for (int i = 0; i < kRuns; ++i) {
        if (same && i > 0) {
          bases.push_back(bases[0]);
        } else {
          // One tone per input, each of another length, so that every run plans anew.
          char name[16];
          snprintf(name, sizeof name, "in%02d", i);
          const int n = 64 + 8 * i, f = 1 + i % 5;
          std::string text;
          for (double v : tone(n, f)) text += g17(v) + "\n";
          write_file(d / name + ".txt", text);
          bases.push_back(name);
          wants.push_back(tone_analytic(n, f));
          want_names.insert(bases.back() + ".txt");
          for (const char* e : kExts) want_names.insert(bases.back() + e);
        }
        std::vector<std::string> args = {"anasig", "--quiet"};
        if (wisdom) args.push_back("--wisdom");
        args.push_back(bases.back() + ".txt");
        argvs.push_back(args);
      }
      std::vector<outcome> rs = run_together(d.path, argvs);
      ASSERT_EQ(rs.size(), size_t(kRuns));
      for (int i = 0; i < kRuns; ++i) {
        EXPECT_EQ(rs[i].sig, 0) << i;
        EXPECT_EQ(rs[i].status, 0) << i;
        EXPECT_EQ(rs[i].err, "") << i;
      }
      std::vector<std::string> log = split_lines(read_text(d / "logfile"));
      EXPECT_EQ(log.size(), size_t(kRuns));
      const std::string args = std::string(" anasig --quiet") + (wisdom ? " --wisdom" : "") + " ";
      std::multiset<std::string> logged, run_bases(bases.begin(), bases.end());
      for (const std::string& line : log) {
        // "YYYY-MM-DD hh:mm:ss anasig --quiet [--wisdom ]inNN.txt"
        const size_t at = 19 + args.size();
        if (is_time_stamp(line) && line.compare(19, args.size(), args) == 0 &&
            line.size() == at + 8 && line.compare(at + 4, 4, ".txt") == 0) {
          logged.insert(line.substr(at, 4));
        } else {
          ADD_FAILURE() << "log line: " << printable(line);
        }
      }
      EXPECT_EQ(logged, run_bases);
      for (size_t k = 0; k < wants.size(); ++k)
        expect_results(d / bases[same ? 0 : k], wants[k], 1e-9);
      if (wisdom) {
        want_names.insert("anasig.fftw3");
        EXPECT_TRUE(wisdom_loads(d / "anasig.fftw3"));
        outcome again = run(d.path, {"anasig", "--quiet", "--wisdom", bases[0] + ".txt"});
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.err, "");
        EXPECT_TRUE(wisdom_loads(d / "anasig.fftw3"));
      }
      // Exactly these names: no temporary wisdom file, no stray result.
      EXPECT_EQ(listing(d.path), want_names);
    }
  }
}

namespace {

const int kBigSignals = 16, kBigSamples = 1 << 18;

// 16 signals of 2^18 samples, generated once: writing its results takes a few seconds.
const std::string& big_input() {
  static temp_dir dir;
  static std::string path;
  if (path.empty()) {
    std::string text;
    text.reserve(size_t(kBigSamples) * kBigSignals * 4);
    char b[16];
    for (int k = 0; k < kBigSamples; ++k) {
      for (int i = 0; i < kBigSignals; ++i) {
        snprintf(b, sizeof b, i == 0 ? "%d" : " %d", (k * (i + 3)) % 97);
        text += b;
      }
      text += '\n';
    }
    path = dir / "big.txt";
    write_file(path, text);
  }
  return path;
}

void place_big_input(const temp_dir& d) {
  if (link(big_input().c_str(), (d / "big.txt").c_str()) != 0) {
    fs::copy_file(big_input(), d / "big.txt");
  }
}

// Every result file left is whole, and the listing holds nothing else.
void expect_only_whole_results(const temp_dir& d, const std::string& base, size_t lines,
                               std::set<std::string> allowed) {
  for (const char* e : kExts) allowed.insert(base + e);
  for (const std::string& n : listing(d.path)) {
    EXPECT_TRUE(allowed.count(n) == 1) << "left behind: " << printable(n);
  }
  for (const char* e : kExts) {
    if (file_exists(d / base + e)) {
      EXPECT_TRUE(complete(d / base + e, lines))
          << e << " is partial: " << file_size(d / base + e) << " bytes";
    }
  }
}

}  // namespace

// A signal while a result file grows: the process dies of it, the file is gone, the files
// finished before it are whole.
// The hidden temporary file a result is written to before it is put in place, or "".
std::string temp_of(const std::string& dir, const std::string& result) {
  for (const std::string& n : listing(dir)) {
    if (n.rfind("." + result + ".", 0) == 0) return dir + "/" + n;
  }
  return "";
}

TEST(RobustInterrupt, SignalWhileWriting) {
  struct signal_case {
    int sig;
    int ext;  // the result file that is growing when the signal comes
  };
  for (signal_case c : {signal_case{SIGINT, 0}, signal_case{SIGTERM, 3}, signal_case{SIGHUP, 1}}) {
    SCOPED_TRACE(strsignal(c.sig));
    temp_dir d;
    place_big_input(d);
    pid_t pid = spawn(d.path, {"anasig", "--quiet", "big.txt"}, child_opts{});
    const std::string result = std::string("big") + kExts[c.ext];
    std::string growing;
    long long seen = 0;
    bool ok = wait_for([&] { return !(growing = temp_of(d.path, result)).empty(); }, 60) &&
              wait_for([&] { return (seen = file_size(growing)) > 0; }, 30) &&
              wait_for([&] { return file_size(growing) > seen; }, 30);
    kill(pid, c.sig);
    outcome r = finish(pid);
    ASSERT_TRUE(ok) << kExts[c.ext] << " never grew";
    EXPECT_EQ(r.sig, c.sig);
    EXPECT_EQ(r.status, -1);
    // Nothing is put in place before every result is complete, and no temporary file stays.
    EXPECT_EQ(listing(d.path), names({"big.txt", "logfile"}));
  }
}

// A signal just after a result file is created, before it is tracked or written: the run is
// held in its "Writing ..." message, which comes right after the file is opened.
TEST(RobustInterrupt, SignalRightAfterAResultIsOpened) {
  const char* const writing[] = {"Writing re...", "Writing im...", "Writing abs...",
                                 "Writing theta...", "Writing freq..."};
  struct open_case {
    int ext;
    int sig;
    bool earlier_results;  // complete earlier results, which must stay as they are
  };
  for (open_case c :
       {open_case{0, SIGINT, false}, open_case{3, SIGTERM, false}, open_case{1, SIGHUP, true}}) {
    SCOPED_TRACE(std::string(writing[c.ext]) + " " + strsignal(c.sig));
    temp_dir d;
    write_file(d / "s.txt", sine_column(100, 2));
    if (c.earlier_results) {
      ASSERT_EQ(run(d.path, {"anasig", "--quiet", "s.txt"}).status, 0);
    }
    std::string before = kTransformMessages;
    for (int t = 0; t < c.ext; ++t) before += std::string(writing[t]) + "done\n";
    blocked_run b;
    if (!start_blocked(d.path, {"anasig", "s.txt"}, before.size(), &b)) {
      GTEST_SKIP() << "cannot set up a one-page pipe";
    }
    bool blocked = wait_blocked(b);
    const std::string opened = d / "s" + kExts[c.ext];
    bool created = !temp_of(d.path, std::string("s") + kExts[c.ext]).empty();
    kill(b.pid, c.sig);
    outcome r = finish_blocked(&b);
    ASSERT_TRUE(blocked) << "the run never stopped before " << writing[c.ext];
    EXPECT_TRUE(created);
    EXPECT_EQ(r.sig, c.sig);
    EXPECT_EQ(r.err.rfind(before, 0), 0u) << r.err;
    EXPECT_EQ(file_exists(opened), c.earlier_results);
    expect_only_whole_results(d, "s", 100, names({"s.txt", "logfile"}));
    for (int t = 0; t < 5; ++t) EXPECT_EQ(file_exists(d / "s" + kExts[t]), c.earlier_results);
  }
}

// A signal the caller ignores (nohup, a background job) stays ignored: the run goes on to the
// end and its results are whole.
TEST(RobustInterrupt, IgnoredSignalsStayIgnored) {
  for (int sig : {SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    temp_dir d;
    write_file(d / "s.txt", sine_column(100, 2));
    blocked_run b;
    if (!start_blocked(d.path, {"anasig", "s.txt"}, strlen(kTransformMessages), &b, {sig})) {
      GTEST_SKIP() << "cannot set up a one-page pipe";
    }
    bool blocked = wait_blocked(b);
    kill(b.pid, sig);
    outcome r = finish_blocked(&b);
    ASSERT_TRUE(blocked);
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(listing(d.path), names({"s.txt", "logfile"}, {"s"}));
    for (const char* e : kExts) EXPECT_TRUE(complete(d / "s" + e, 100)) << e;
  }
}

namespace {

// Follows a traced child's system calls; when an openat returns a descriptor of a file whose
// name starts with prefix, sends sig while the child is still stopped there and lets it go:
// the signal arrives right after the file came into being. 1: sent; 0: the run ended first
// (*raw holds its wait status); -1: tracing is not possible here.
int signal_after_open(pid_t pid, const std::string& prefix, int sig, int* raw) {
  int st = 0;
  if (waitpid(pid, &st, 0) != pid) return -1;
  if (!WIFSTOPPED(st)) {
    *raw = st;
    return WIFEXITED(st) && WEXITSTATUS(st) == 125 ? -1 : 0;
  }
  if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) {
    return -1;
  }
  unsigned long long nr = ~0ULL;
  long deliver = 0;
  for (;;) {
    if (ptrace(PTRACE_SYSCALL, pid, nullptr, deliver) != 0) return -1;
    deliver = 0;
    if (waitpid(pid, &st, 0) != pid) return -1;
    if (!WIFSTOPPED(st)) {
      *raw = st;
      return 0;
    }
    if (WSTOPSIG(st) != (SIGTRAP | 0x80)) {
      deliver = WSTOPSIG(st);  // an ordinary signal: pass it on
      continue;
    }
    struct __ptrace_syscall_info info;
    memset(&info, 0, sizeof info);
    if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0) return -1;
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
      nr = info.entry.nr;
    } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && nr == SYS_openat && !info.exit.is_error) {
      char target[PATH_MAX];
      const std::string fd =
          "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(info.exit.rval);
      ssize_t n = readlink(fd.c_str(), target, sizeof target - 1);
      if (n > 0) {
        target[n] = '\0';
        const char* slash = strrchr(target, '/');
        if (strncmp(slash != nullptr ? slash + 1 : target, prefix.c_str(), prefix.size()) == 0) {
          kill(pid, sig);
          ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
          return 1;
        }
      }
    }
  }
}

}  // namespace

// The same for every file the run creates, the temporary wisdom file included: the child is
// traced, and the signal is sent the moment the open returns.
TEST(RobustInterrupt, SignalRightAfterAFileIsCreated) {
  struct create_case {
    const char* prefix;
    int sig;
    bool wisdom;
  };
  const create_case cases[] = {
      {"anasig.fftw3.", SIGTERM, true}, {"anasig.fftw3.", SIGINT, true}, {".s.hre.", SIGINT, false},
      {".s.hab.", SIGHUP, true},        {".s.hfq.", SIGTERM, false},
  };
  for (const create_case& c : cases) {
    SCOPED_TRACE(std::string(c.prefix) + " " + strsignal(c.sig));
    temp_dir d;
    write_file(d / "s.txt", sine_column(64, 2));
    std::vector<std::string> args = {"anasig", "--quiet"};
    if (c.wisdom) args.push_back("--wisdom");
    args.push_back("s.txt");
    child_opts o;
    o.traced = true;
    pid_t pid = spawn(d.path, args, o);
    int raw = 0;
    int sent = signal_after_open(pid, c.prefix, c.sig, &raw);
    if (sent < 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      GTEST_SKIP() << "cannot trace a child here";
    }
    ASSERT_EQ(sent, 1) << "no file " << c.prefix << " was created; status " << raw;
    outcome r = finish(pid);
    EXPECT_EQ(r.sig, c.sig);
    std::set<std::string> allowed = names({"s.txt", "logfile"});
    if (c.wisdom) allowed.insert("anasig.fftw3");
    expect_only_whole_results(d, "s", 64, allowed);
    if (file_exists(d / "anasig.fftw3")) {
      EXPECT_TRUE(wisdom_loads(d / "anasig.fftw3"));
    }
  }
}

// A signal during the size scan, which is where the input is read: nothing is written yet, and
// nothing is left.
TEST(RobustInterrupt, SignalWhileTheInputIsRead) {
  temp_dir d, io;
  place_big_input(d);
  child_opts o;
  o.err = io / "err";
  pid_t pid = spawn(d.path, {"anasig", "big.txt"}, o);
  bool scanning = wait_for([&] { return read_text(o.err) == "Checking size\n"; }, 60);
  usleep(20000);
  const std::string err = read_text(o.err);
  kill(pid, SIGINT);
  outcome r = finish(pid);
  ASSERT_TRUE(scanning) << read_text(o.err);
  EXPECT_EQ(err, "Checking size\n") << "the scan ended too soon to be interrupted";
  EXPECT_EQ(r.sig, SIGINT);
  EXPECT_EQ(listing(d.path), names({"big.txt", "logfile"}));
}

// --wisdom --timing repeats the forward FFT for seconds; a signal then leaves no temporary
// wisdom file, and the wisdom written before the repeats is whole. Early signals at staggered
// times may fall on the wisdom export itself.
TEST(RobustInterrupt, SignalDuringWisdomAndTiming) {
  {
    temp_dir d, io;
    std::string text;
    for (int k = 0; k < 4096; ++k)
      text += std::to_string(k % 13) + " " + std::to_string(k % 7) + "\n";
    write_file(d / "t.txt", text);
    child_opts o;
    o.err = io / "err";
    pid_t pid = spawn(d.path, {"anasig", "--wisdom", "--timing", "t.txt"}, o);
    bool timing = wait_for([&] { return read_text(o.err).find(" 0%") != std::string::npos; }, 60);
    kill(pid, SIGINT);
    outcome r = finish(pid);
    ASSERT_TRUE(timing) << read_text(o.err);
    EXPECT_EQ(r.sig, SIGINT);
    EXPECT_EQ(listing(d.path), names({"t.txt", "logfile", "anasig.fftw3"}));
    EXPECT_TRUE(wisdom_loads(d / "anasig.fftw3"));
  }
  temp_dir d;
  std::string text;
  for (int k = 0; k < 512; ++k) text += std::to_string(k % 11) + " " + std::to_string(k % 5) + "\n";
  write_file(d / "s.txt", text);
  int killed = 0;
  for (int i = 0; i < 16; ++i) {
    SCOPED_TRACE(i);
    pid_t pid = spawn(d.path, {"anasig", "--quiet", "--wisdom", "s.txt"}, child_opts{});
    usleep(500 * i);
    kill(pid, SIGTERM);
    outcome r = finish(pid);
    EXPECT_TRUE(r.sig == SIGTERM || r.status == 0) << r.sig << " " << r.status;
    killed += r.sig == SIGTERM;
    expect_only_whole_results(d, "s", 512, names({"s.txt", "logfile", "anasig.fftw3"}));
    if (file_exists(d / "anasig.fftw3")) {
      EXPECT_TRUE(wisdom_loads(d / "anasig.fftw3"));
    }
    // What was left is reported once, not again by every later round.
    for (const std::string& n : listing(d.path)) {
      if (n.rfind("anasig.fftw3.", 0) == 0) unlink((d / n).c_str());
    }
    for (const char* e : kExts) {
      if (file_exists(d / "s" + e) && !complete(d / "s" + e, 512)) unlink((d / "s" + e).c_str());
    }
  }
  EXPECT_GT(killed, 0);
}

// Memory running out at every stage in turn: the data limit rises from the least the program
// starts with up to what the run needs, in small steps. Each run ends with a message and
// status 1, or with whole results; never with a signal, never with a partial result file.
TEST(RobustMemory, RunningOutAtEveryStage) {
  if (sanitizer_build()) GTEST_SKIP() << "a sanitizer build maps its shadow memory as data";
  temp_dir d;
  write_file(d / "m.txt", sine_column(4096, 4));
  child_opts o;
  rlim_t start = 0;
  for (rlim_t kib = 128; kib <= (256u << 10) && start == 0; kib += 128) {
    o.data = kib << 10;
    if (run(d.path, {"anasig", "--version"}, o).status == 0) start = o.data;
  }
  if (start == 0) GTEST_SKIP() << "the program does not start under any limit tried";
  int failed = 0, steps = 0;
  bool finished = false;
  for (rlim_t limit = start; limit < start + (64u << 20) && !finished; limit += 32u << 10) {
    SCOPED_TRACE(std::to_string(limit >> 10) + " KiB");
    ++steps;
    o.data = limit;
    outcome r = run(d.path, {"anasig", "--quiet", "m.txt"}, o);
    EXPECT_EQ(r.sig, 0) << r.err;
    EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
    if (r.status == 1) {
      ++failed;
      EXPECT_TRUE(r.err.rfind("Couldn't ", 0) == 0 && r.err.find('\n') == r.err.size() - 1)
          << r.err;
    }
    finished = r.status == 0;
    expect_only_whole_results(d, "m", 4096, names({"m.txt", "logfile"}));
    for (const char* e : kExts) unlink((d / "m" + e).c_str());
    if (::testing::Test::HasFailure()) return;  // the first failing stage is enough
  }
  EXPECT_TRUE(finished) << "no run had enough memory after " << steps << " steps";
  EXPECT_GT(failed, 0);
}

// Exit status is 0 or 1 on every path that is not a signal (xargs and parallel treat 255
// specially); an earlier operand's results stay when a later one fails.
TEST(RobustExit, StatusIsZeroOrOne) {
  temp_dir d;
  write_file(d / "ok.txt", "1 2\n3 4\n5 6\n");
  write_file(d / "empty.txt", "");
  write_file(d / "garbage", std::string("\x01\x02\xff 1 2\n\0\0", 9));
  mkdir((d / "dir").c_str(), 0755);
  const std::vector<std::vector<std::string>> cases = {
      {"anasig"},
      {"anasig", "--bogus", "ok.txt"},
      {"anasig", "-i"},
      {"anasig", "-i", "0", "ok.txt"},
      {"anasig", "-i", "abc", "ok.txt"},
      {"anasig", "-f", "0", "ok.txt"},
      {"anasig", "-f", "1e-400", "ok.txt"},
      {"anasig", "-f", "inf", "ok.txt"},
      {"anasig", "--help"},
      {"anasig", "--version"},
      {"anasig", "missing.txt"},
      {"anasig", "dir"},
      {"anasig", "empty.txt"},
      {"anasig", "--debug", "garbage"},
      {"anasig", "--none", "ok.txt"},
      {"anasig", "-i", "-1e308", "--timestep=nan", "ok.txt"},
      {"anasig", "ok.txt", "ok.txt"},
  };
  for (const auto& args : cases) {
    std::string label;
    for (const std::string& a : args) label += " " + a;
    SCOPED_TRACE(label);
    outcome r = run(d.path, args);
    EXPECT_EQ(r.sig, 0);
    EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
  }
  for (const char* e : kExts) ASSERT_EQ(unlink((d / "ok" + e).c_str()), 0);
  outcome r = run(d.path, {"anasig", "--quiet", "ok.txt", "missing.txt", "empty.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Couldn't open missing.txt.\n");
  expect_results(d / "ok", direct_analytic({{1, 3, 5}, {2, 4, 6}}), 1e-9);
}

// Standard output that cannot be written: reported once, at exit, with status 1.
TEST(RobustExit, LostStandardOutput) {
  temp_dir d;
  write_file(d / "ok.txt", "1 2\n3 4\n5 6\n");
  write_file(d / "empty.txt", "");
  const std::string lost = "Couldn't write standard output.\n";
  child_opts full;
  full.out = "/dev/full";
  {
    outcome r = run(d.path, {"anasig", "--quiet", "ok.txt"}, full);
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, lost);
    expect_results(d / "ok", direct_analytic({{1, 3, 5}, {2, 4, 6}}), 1e-9);
  }
  for (const char* opt : {"--version", "--help"}) {
    outcome r = run(d.path, {"anasig", opt}, full);
    EXPECT_EQ(r.sig, 0) << opt;
    EXPECT_EQ(r.status, 1) << opt;
    EXPECT_EQ(r.err, lost) << opt;
  }
  {
    outcome r = run(d.path, {"anasig", "--quiet", "empty.txt"}, full);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No data in empty.txt.\n" + lost);
  }
  {
    // A pipe nobody reads, with SIGPIPE ignored as a caller may have done: EPIPE, status 1.
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    close(p[0]);
    child_opts o;
    o.out_fd = p[1];
    o.ignored = {SIGPIPE};
    outcome r = run(d.path, {"anasig", "--quiet", "ok.txt"}, o);
    close(p[1]);
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, lost);
  }
}

// Representative runs under valgrind: no memory errors, so the status is the tool's own.
TEST(RobustValgrind, RunsAreClean) {
  if (access("/usr/bin/valgrind", X_OK) != 0) GTEST_SKIP() << "no valgrind";
  // Valgrind cannot run a sanitizer build.
  if (sanitizer_build()) GTEST_SKIP() << "sanitizer build";
  temp_dir d;
  write_file(d / "s.txt", sine_column(300, 3));
  write_file(d / "row.txt", "1 2 3 4 5 6 7 8 9 10\n");
  write_file(d / "empty.txt", "# nothing\n");
  struct vg_case {
    std::vector<std::string> args;
    int status;
  };
  const vg_case cases[] = {
      {{"anasig", "s.txt"}, 0},
      {{"anasig", "--quiet", "--wisdom", "s.txt", "row.txt"}, 0},
      {{"anasig", "--quiet", "--wisdom", "--data-in-rows", "s.txt"}, 0},
      {{"anasig", "--debug", "row.txt"}, 0},
      {{"anasig", "--quiet", "row.txt", "empty.txt"}, 1},
      {{"anasig", "--quiet", "missing.txt"}, 1},
  };
  child_opts o;
  o.prefix = {"/usr/bin/valgrind", "--error-exitcode=99", "--leak-check=no", "-q"};
  for (const vg_case& c : cases) {
    std::string label;
    for (const std::string& a : c.args) label += " " + a;
    SCOPED_TRACE(label);
    outcome r = run(d.path, c.args, o);
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_FALSE(has_valgrind_report(r.err)) << r.err;
  }
}
