// Hostile and unusual inputs to the built binary: every run ends in results or a clear message
// with status 1, never a signal, never a partial result file.
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

const char kScanMessage[] = "Checking size\n";

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
      // The message, then its reason on a line of its own.
      EXPECT_EQ(r.err.rfind("No data in in.txt.\n  ", 0), 0u) << r.err;
      EXPECT_EQ(listing(d.path), names({"in.txt", "logfile"}));
    } else {
      EXPECT_EQ(r.status, 0);
      // Where the block ends before the text does, a warning says so.
      EXPECT_TRUE(r.err.empty() || r.err.rfind("Warning: in.txt: the matrix ends at line ", 0) == 0)
          << r.err;
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
    EXPECT_EQ(r.err,
              "Warning: in.txt: 1 signals hold NaN or infinite samples, so all their results are "
              "NaN; --gaps transforms the finite stretches\n");
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
      for (const std::string& l : split_lines(r.err))
        EXPECT_EQ(l.rfind("Warning: g.bin: ", 0), 0u) << l;
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
      EXPECT_EQ(r.err.rfind("No data in g.bin.\n  ", 0), 0u);
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
      {"missing",
       [](const temp_dir&) {},
       "none.txt",
       "Couldn't open none.txt.\n  No such file or directory\n",
       {}},
      {"directory",
       [](const temp_dir& d) { mkdir((d / "dir").c_str(), 0755); },
       "dir",
       "Couldn't read dir.\n",
       {"dir"}},
      {"/dev/null",
       [](const temp_dir&) {},
       "/dev/null",
       "No data in /dev/null.\n  no line holds numbers: the file is empty or all comments\n",
       {}},
      {"dangling symlink",
       [](const temp_dir& d) { symlink("nowhere", (d / "dang.txt").c_str()); },
       "dang.txt",
       "Couldn't open dang.txt.\n  No such file or directory\n",
       {"dang.txt"}},
      {"symlink loop",
       [](const temp_dir& d) {
         symlink("loop2", (d / "loop1").c_str());
         symlink("loop1", (d / "loop2").c_str());
       },
       "loop1",
       "Couldn't open loop1.\n  Too many levels of symbolic links\n",
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
    EXPECT_EQ(r.err,
              "Couldn't open /dev/fd/3.hre for writing.\n  No such file or directory\n"
              "  (results of a pipe need --output-dir=DIR)\n");
    EXPECT_EQ(listing(d.path), names({"logfile"}));
  }
  {
    SCOPED_TRACE("standard input from a pipe");
    temp_dir d;
    run_result r = run_anasig(d.path, {"anasig", "--quiet", "/dev/fd/0"}, "1\n2\n");
    EXPECT_EQ(r.status, 1);
    // Refused before it is read: nothing beside a pipe can take its results.
    EXPECT_EQ(r.out, "Using timestep=1\n");
    EXPECT_EQ(r.err,
              "Couldn't open /dev/fd/0.hre for writing.\n  No such file or directory\n"
              "  (results of a pipe need --output-dir=DIR)\n");
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
    EXPECT_EQ(r.err, "Couldn't open " + over + ".hre for writing.\n  File name too long\n");
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
