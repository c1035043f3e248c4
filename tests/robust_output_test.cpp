// Output faults, permissions, concurrent runs and exit status of the built binary: what is
// written is whole, what fails says so, with status 0 or 1.
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
    // The message, and for a name that cannot be opened the system's reason after it.
    const std::vector<std::string> lines = split_lines(r.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], (c.open_fails ? "Couldn't open " : "Couldn't write ") + taken +
                            (c.open_fails ? " for writing." : "."));
    EXPECT_EQ(lines.size() > 1, c.open_fails) << r.err;
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
  std::filesystem::copy_file(anasig_bin(), bin, ec);
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
    EXPECT_EQ(r.err,
              "Couldn't open ../ro/s.hre for writing.\n  Permission denied\n"
              "  (--output-dir=DIR writes the results elsewhere)\n");
    EXPECT_EQ(listing(d / "ro"), names({"s.txt"}));
    EXPECT_EQ(listing(d / "w"), names({"logfile"}));
  }
  {
    SCOPED_TRACE("read-only current directory");
    outcome r = run(d / "ro", {"anasig", "--quiet", "s.txt"}, o);
    EXPECT_EQ(r.sig, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "No logfile entry\nCouldn't open s.hre for writing.\n  Permission denied\n"
              "  (--output-dir=DIR writes the results elsewhere)\n");
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
    EXPECT_EQ(r.err, "Couldn't open s.txt.\n  Permission denied\n");
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
    EXPECT_EQ(r.err, "Couldn't open s.him for writing.\n  Permission denied\n");
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

// A signal while a result file grows: the process dies of it, nothing is put in place.

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
  EXPECT_EQ(r.err, "Couldn't open missing.txt.\n  No such file or directory\n");
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
    EXPECT_EQ(
        r.err,
        "No data in empty.txt.\n  no line holds numbers: the file is empty or all comments\n" +
            lost);
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
