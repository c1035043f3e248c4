// Results appear whole or not at all, whatever stops the run and whatever the run starts with:
// killed runs, failed re-runs, closed standard descriptors, links, FIFOs and devices as names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;

// Started in the background with no output kept; finish() waits for it.
pid_t start(const std::string& dir, const std::vector<std::string>& args) {
  return spawn(dir, args, child_opts{});
}

// Exit status, or 128 + the signal that ended the run.
int wait_status(pid_t pid) {
  outcome r = finish(pid);
  return r.sig != 0 ? 128 + r.sig : r.status;
}

// A run with the given standard descriptors closed.
outcome run_closed(const std::string& dir, const std::vector<std::string>& args,
                   std::vector<int> closed) {
  child_opts o;
  o.closed = closed;
  return run(dir, args, o);
}

// The hidden temporary files of results in dir.
std::vector<std::string> temporaries(const std::string& dir) {
  std::vector<std::string> t;
  for (const std::string& n : listing(dir)) {
    if (n[0] == '.') t.push_back(n);
  }
  return t;
}

std::string columns(int samples, int signals, double scale) {
  std::string text;
  char b[64];
  for (int k = 0; k < samples; ++k) {
    for (int i = 0; i < signals; ++i) {
      snprintf(b, sizeof b, i == 0 ? "%.9g" : " %.9g", scale * cos(0.003 * k * (i + 1) + i));
      text += b;
    }
    text += '\n';
  }
  return text;
}

double monotonic() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// Killed at any moment by any signal, every result name holds its previous content or the
// whole new result; a catchable signal also leaves no temporary file.
TEST(WholeResults, StoppedAtAnyMoment) {
  temp_dir ref, d;
  const std::string old_input = columns(50, 4, 1), new_input = columns(150000, 4, 2);
  write_file(ref / "s.txt", old_input);
  ASSERT_EQ(run(ref.path, {"anasig", "--quiet", "s.txt"}).status, 0);
  std::vector<std::string> old_results, new_results;
  for (const char* e : kExts) old_results.push_back(read_text(ref / "s" + e));
  write_file(ref / "s.txt", new_input);
  double t0 = monotonic();
  ASSERT_EQ(run(ref.path, {"anasig", "--quiet", "s.txt"}).status, 0);
  double full = monotonic() - t0;
  for (const char* e : kExts) new_results.push_back(read_text(ref / "s" + e));

  const int sigs[] = {SIGKILL, SIGQUIT, SIGUSR1, SIGALRM, SIGXCPU, SIGKILL, SIGTERM, SIGPIPE};
  std::mt19937 rng(12345);
  write_file(d / "s.txt", new_input);
  int replaced = 0, kept = 0;
  for (int round = 0; round < 20; ++round) {
    const int sig = sigs[round % 8];
    SCOPED_TRACE("round " + std::to_string(round) + ", " + strsignal(sig));
    for (int t = 0; t < 5; ++t) write_file(d / "s" + kExts[t], old_results[t]);
    pid_t pid = start(d.path, {"anasig", "--quiet", "s.txt"});
    const double moment = std::uniform_real_distribution<>(0.2, 1.5)(rng) * full;
    usleep(static_cast<useconds_t>(moment * 1e6));
    kill(pid, sig);
    int status = wait_status(pid);
    EXPECT_TRUE(status == 0 || status == 128 + sig) << status;
    // A run that ended before the signal took less than that: the later moments are taken from
    // it, so that a first run slowed by other tests does not put every moment past the end.
    if (status == 0) full = std::min(full, moment);
    for (int t = 0; t < 5; ++t) {
      std::string now = read_text(d / "s" + kExts[t]);
      bool is_new = now == new_results[t];
      EXPECT_TRUE(is_new || now == old_results[t]) << kExts[t] << ": " << now.size() << " bytes";
      is_new ? ++replaced : ++kept;
    }
    std::vector<std::string> left = temporaries(d.path);
    if (sig != SIGKILL) {
      EXPECT_TRUE(left.empty()) << left[0];
    }
    for (const std::string& n : left) unlink((d / n).c_str());
  }
  // The moments chosen catch runs before, during and after the results are put in place.
  EXPECT_GT(replaced, 0);
  EXPECT_GT(kept, 0);
}

// A re-run that fills the disk, or finds no inode left, leaves the earlier five results as they
// were and no temporary file, also under names too long for a short-string buffer; the message
// names the result that did not fit.
TEST(WholeResults, FailedRerunKeepsEarlierResults) {
  const std::string base = "a-recording-with-a-long-name";
  struct disk_case {
    const char* options;  // of the tmpfs, after its size
    int samples;          // of the re-run's input
    const char* message;
  };
  // Eight inodes hold the folder, the input, the run log and five results, or five temporary
  // files while they are written: a re-run has no inode for its first temporary file.
  for (const disk_case& c : {disk_case{"96k", 1500, "Couldn't write "},
                             disk_case{"1m,nr_inodes=8", 40, "Couldn't open "}}) {
    SCOPED_TRACE(c.options);
    small_disk disk(c.options);
    if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs: " << disk.error;
    const std::string mnt = disk.path;
    write_file(mnt + "/" + base + ".txt", columns(40, 1, 1));
    ASSERT_EQ(run(mnt, {"anasig", "--quiet", base + ".txt"}).status, 0);
    std::vector<std::string> before;
    for (const char* e : kExts) before.push_back(read_text(mnt + "/" + base + e));
    write_file(mnt + "/" + base + ".txt", columns(c.samples, 1, 2));
    outcome r = run(mnt, {"anasig", "--quiet", base + ".txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind(c.message + base + ".h", 0), 0u) << r.err;
    for (int t = 0; t < 5; ++t)
      EXPECT_EQ(read_text(mnt + "/" + base + kExts[t]), before[t]) << kExts[t];
    EXPECT_EQ(temporaries(mnt), std::vector<std::string>{});
  }
}

// Copies re-running inputs of one name into one folder at once leave the whole set of one run
// or of the other, never a mix.
TEST(WholeResults, RacingCopiesLeaveWholeSets) {
  temp_dir d;
  for (const char* f : {"a", "b", "out"}) ASSERT_EQ(mkdir((d / f).c_str(), 0755), 0);
  write_file(d / "a/s.txt", "1\n0\n-1\n0\n");
  write_file(d / "b/s.txt", "2\n0\n-2\n0\n");
  const std::vector<std::string> a = {"anasig", "-#", "--output-dir=out", "a/s.txt"};
  const std::vector<std::string> b = {"anasig", "-#", "--output-dir=out", "b/s.txt"};
  int mixed = 0, rounds = 0;
  for (; rounds < 300 && mixed == 0; ++rounds) {
    pid_t pa = start(d.path, a), pb = start(d.path, b);
    ASSERT_EQ(wait_status(pa), 0);
    ASSERT_EQ(wait_status(pb), 0);
    // The envelope of 2cos is 2 and of cos 1; every result tells its run apart.
    const bool from_b = read_text(d / "out/s.hab") == "2\n2\n2\n2\n";
    const char* want_re = from_b ? "2\n0\n-2\n0\n" : "1\n0\n-1\n0\n";
    const char* want_im = from_b ? "0\n2\n0\n-2\n" : "0\n1\n0\n-1\n";
    mixed += read_text(d / "out/s.hre") != want_re || read_text(d / "out/s.him") != want_im;
  }
  EXPECT_EQ(mixed, 0) << "in round " << rounds;
}

// Started with standard descriptors closed, no result takes one of them: the results are those
// of a normal run, and a run without standard output says so and ends with status 1.
TEST(WholeResults, ClosedStandardDescriptors) {
  temp_dir ref;
  write_file(ref / "w.txt", "1\n0\n-1\n0\n");
  ASSERT_EQ(run(ref.path, {"anasig", "w.txt"}).status, 0);
  for (int mask = 1; mask < 8; ++mask) {
    std::vector<int> closed;
    for (int fd = 0; fd < 3; ++fd) {
      if (mask & (1 << fd)) closed.push_back(fd);
    }
    SCOPED_TRACE("closed mask " + std::to_string(mask));
    temp_dir d;
    write_file(d / "w.txt", "1\n0\n-1\n0\n");
    const bool no_stdout = mask & 2;
    outcome r = run_closed(d.path, {"anasig", "w.txt"}, closed);
    EXPECT_EQ(r.status, no_stdout ? 1 : 0);
    if (!(mask & 4)) {
      const std::string lost = "Couldn't write standard output.\n";
      bool reported =
          r.err.size() >= lost.size() && r.err.substr(r.err.size() - lost.size()) == lost;
      EXPECT_EQ(reported, no_stdout) << r.err;
    }
    for (const char* e : kExts) EXPECT_EQ(read_text(d / "w" + e), read_text(ref / "w" + e)) << e;
    EXPECT_EQ(listing(d.path), listing(ref.path));
  }
}

// Links, FIFOs and devices as result names, and a FIFO as the run log.
TEST(WholeResults, SpecialResultNames) {
  {
    SCOPED_TRACE("links to a file and to nothing");
    temp_dir d;
    write_file(d / "s.txt", "1\n0\n-1\n0\n");
    ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
    write_file(d / "t/re", "old\n");
    ASSERT_EQ(chmod((d / "t/re").c_str(), 0640), 0);
    ASSERT_EQ(symlink("t/re", (d / "s.hre").c_str()), 0);
    ASSERT_EQ(symlink("t/new-im", (d / "s.him").c_str()), 0);
    ASSERT_EQ(run(d.path, {"anasig", "--quiet", "s.txt"}).status, 0);
    EXPECT_EQ(read_text(d / "t/re"), "1\n0\n-1\n0\n");
    EXPECT_EQ(read_text(d / "t/new-im"), "0\n1\n0\n-1\n");
    struct stat st;
    ASSERT_EQ(lstat((d / "s.hre").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat((d / "t/re").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(listing(d / "t"), (std::set<std::string>{"re", "new-im"}));
  }
  {
    SCOPED_TRACE("a link to a file, with a later result that fails");
    temp_dir d;
    write_file(d / "s.txt", "1\n0\n-1\n0\n");
    write_file(d / "target", "old\n");
    ASSERT_EQ(symlink("target", (d / "s.hre").c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", (d / "s.hfq").c_str()), 0);
    outcome r = run(d.path, {"anasig", "--quiet", "s.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Couldn't write s.hfq.\n");
    EXPECT_EQ(read_text(d / "target"), "old\n");
    EXPECT_EQ(listing(d.path),
              (std::set<std::string>{"s.txt", "target", "s.hre", "s.hfq", "logfile"}));
  }
  {
    SCOPED_TRACE("FIFOs");
    temp_dir d;
    write_file(d / "s.txt", "1\n0\n-1\n0\n");
    ASSERT_EQ(mkfifo((d / "s.hre").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo((d / "logfile").c_str(), 0644), 0);
    double t0 = monotonic();
    outcome r = run(d.path, {"anasig", "--quiet", "s.txt"});
    EXPECT_LT(monotonic() - t0, 1.0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "No logfile entry\nCouldn't open s.hre for writing.\n  No such device or address\n");
    EXPECT_EQ(listing(d.path), (std::set<std::string>{"s.txt", "s.hre", "logfile"}));
    // With a reader, the FIFO gets the result as it is written.
    int fd = open((d / "s.hre").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    pid_t pid = start(d.path, {"anasig", "--quiet", "--none", "--re", "s.txt"});
    // Read until the writer has come and gone.
    std::string got;
    char buf[256];
    for (int i = 0; i < 5000; ++i) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
      if (n == 0 && !got.empty()) break;
      if (n <= 0) usleep(1000);
    }
    close(fd);
    EXPECT_EQ(wait_status(pid), 0);
    EXPECT_EQ(got, "1\n0\n-1\n0\n");
  }
}

// The envelope of values whose squares overflow or underflow: hypot of the two parts, never
// inf or 0.
TEST(WholeResults, EnvelopeOfExtremeValues) {
  for (double scale : {1e160, 1e-160, 1e300, 1e-300}) {
    SCOPED_TRACE(scale);
    temp_dir d;
    char text[200];
    snprintf(text, sizeof text, "%.17g\n%.17g\n%.17g\n%.17g\n", 3 * scale, -4 * scale, 5 * scale,
             1 * scale);
    write_file(d / "s.txt", text);
    ASSERT_EQ(run(d.path, {"anasig", "--quiet", "s.txt"}).status, 0);
    FILE* re = fopen((d / "s.hre").c_str(), "r");
    FILE* im = fopen((d / "s.him").c_str(), "r");
    FILE* ab = fopen((d / "s.hab").c_str(), "r");
    ASSERT_TRUE(re && im && ab);
    double a, b, m;
    int lines = 0;
    while (fscanf(re, "%lg", &a) == 1 && fscanf(im, "%lg", &b) == 1 && fscanf(ab, "%lg", &m) == 1) {
      ++lines;
      EXPECT_TRUE(isfinite(m) && m > 0) << m;
      EXPECT_NEAR(m / hypot(a, b), 1, 1e-9);
    }
    EXPECT_EQ(lines, 4);
    fclose(re);
    fclose(im);
    fclose(ab);
  }
}

// Operands whose results land on the same names are named in a warning, also when quiet.
TEST(WholeResults, OperandsWithTheSameResultNames) {
  temp_dir d;
  ASSERT_EQ(mkdir((d / "sub").c_str(), 0755), 0);
  for (const char* n : {"a.txt", "a.csv", "sub/a.txt"}) write_file(d / n, "1\n2\n");
  outcome r = run(d.path, {"anasig", "--quiet", "a.txt", "sub/a.txt", "a.csv", "./a"});
  EXPECT_EQ(r.status, 1);  // ./a does not exist
  EXPECT_EQ(r.err,
            "Warning: results of a.csv replace those of a.txt\n"
            "Warning: results of ./a replace those of a.csv\n"
            "Couldn't open ./a.\n  No such file or directory\n");
  r = run(d.path, {"anasig", "--none", "a.txt", "a.csv"});
  EXPECT_EQ(r.err.find("replace"), std::string::npos);
}

// Peak resident memory of a running child, in KiB, from its status.
long peak_kib(pid_t pid) {
  std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

// Endless input that is a comment, or text after the numbers of a line, is read without being
// kept: memory stays as small as at the start while the run goes on.
TEST(WholeResults, EndlessLinesKeepMemoryBounded) {
  if (sanitizer_build()) GTEST_SKIP() << "a sanitizer build keeps memory of its own";
  temp_dir d;
  ASSERT_EQ(mkfifo((d / "junk").c_str(), 0644), 0);
  for (const char* input : {"/dev/zero", "junk"}) {
    SCOPED_TRACE(input);
    pid_t pid = start(d.path, {"anasig", "--quiet", input});
    int fd = -1;
    if (input[0] == 'j') {
      fd = open((d / "junk").c_str(), O_WRONLY);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(write(fd, "1 2 ", 4), 4);
      std::string x(1 << 20, 'x');
      for (int i = 0; i < 400; ++i) ASSERT_EQ(write(fd, x.data(), x.size()), ssize_t(x.size()));
    } else {
      usleep(1500000);
    }
    long peak = peak_kib(pid);
    kill(pid, SIGKILL);
    if (fd >= 0) close(fd);
    wait_status(pid);
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 48 << 10) << "KiB";
  }
}

}  // namespace
