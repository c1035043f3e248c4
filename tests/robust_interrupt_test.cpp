// Interrupted, starved and checked runs of the built binary: a signal or a lack of memory leaves
// no partial file, and valgrind finds nothing.
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

// Valgrind marks its own lines "==PID==".
bool has_valgrind_report(const std::string& text) {
  for (size_t at = text.find("=="); at != std::string::npos; at = text.find("==", at + 1)) {
    size_t end = at + 2;
    while (end < text.size() && isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end > at + 2 && text.compare(end, 2, "==") == 0) return true;
  }
  return false;
}

}  // namespace

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

// The same for every file the run creates, the temporary wisdom file included: the child is
// traced, and the signal is sent the moment the open returns.
TEST(RobustInterrupt, SignalRightAfterAFileIsCreated) {
  struct create_case {
    const char* prefix;
    int sig;
    bool wisdom;
  };
  const create_case cases[] = {
      {".anasig.fftw3.", SIGTERM, true}, {".anasig.fftw3.", SIGINT, true},
      {".s.hre.", SIGINT, false},        {".s.hab.", SIGHUP, true},
      {".s.hfq.", SIGTERM, false},
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
      if (n.rfind(".anasig.fftw3.", 0) == 0) unlink((d / n).c_str());
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
      // One message, and at most its reason on the lines after it.
      std::vector<std::string> lines = split_lines(r.err);
      EXPECT_TRUE(!lines.empty() && lines[0].rfind("Couldn't ", 0) == 0) << r.err;
      for (size_t k = 1; k < lines.size(); ++k) EXPECT_EQ(lines[k].rfind("  ", 0), 0u) << r.err;
    }
    finished = r.status == 0;
    expect_only_whole_results(d, "m", 4096, names({"m.txt", "logfile"}));
    for (const char* e : kExts) unlink((d / "m" + e).c_str());
    if (::testing::Test::HasFailure()) return;  // the first failing stage is enough
  }
  EXPECT_TRUE(finished) << "no run had enough memory after " << steps << " steps";
  EXPECT_GT(failed, 0);
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
  // A failure after two results are complete, under names no short-string buffer holds.
  write_file(d / "a-recording-with-a-long-name.txt", sine_column(300, 3));
  ASSERT_EQ(mkdir((d / "a-recording-with-a-long-name.hab").c_str(), 0755), 0);
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
      {{"anasig", "--quiet", "a-recording-with-a-long-name.txt"}, 1},
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
  EXPECT_EQ(listing(d.path),
            names({"s.txt", "row.txt", "empty.txt", "logfile", "anasig.fftw3",
                   "a-recording-with-a-long-name.txt", "a-recording-with-a-long-name.hab"},
                  {"s", "row"}));
}
