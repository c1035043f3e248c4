// Helpers of the robustness suites: listings, result checks against the DFT oracle, runs held
// at a fixed point of their messages, a large input, and tracing a run's system calls.
#pragma once

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

namespace fs = std::filesystem;

inline const char* const kExts[] = {".hre", ".him", ".hab", ".hth", ".hfq"};

inline std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// The names of the given inputs and, for each base name given, its five result files.
inline std::set<std::string> names(std::initializer_list<std::string> plain,
                                   std::initializer_list<std::string> result_bases = {}) {
  std::set<std::string> s(plain);
  for (const std::string& b : result_bases) {
    for (const char* e : kExts) s.insert(b + e);
  }
  return s;
}

inline bool wait_for(const std::function<bool()>& cond, double seconds) {
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (cond()) return true;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec + (now.tv_nsec - start.tv_nsec) * 1e-9 > seconds) return false;
    usleep(1000);
  }
}

inline long long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

using signals = std::vector<std::vector<double>>;  // each signal: its samples
using analytic = std::vector<std::vector<std::complex<double>>>;

// The analytic signal of each signal by the direct DFT sums.
inline analytic direct_analytic(const signals& x) {
  analytic y;
  for (const std::vector<double>& s : x) y.push_back(analytic_oracle(s));
  return y;
}

// Every line of a result file, parsed; false when the text is not lines of numbers joined by
// single spaces.
inline bool parse_result(const std::string& path, std::vector<std::vector<double>>* lines) {
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

inline double angle_gap(double a, double b) {
  return std::fabs(std::remainder(a - b, 2 * M_PI));
}

// The five result files of base (a path without extension) against the expected signals.
inline void expect_results(const std::string& base, const analytic& want, double tol,
                           double tstep = 1) {
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
inline bool complete(const std::string& path, size_t lines) {
  std::string text = read_text(path);
  return !text.empty() && text.back() == '\n' &&
         static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) == lines;
}

inline std::string sine_column(int samples, int signals_count) {
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
inline std::vector<double> tone(int n, int f) {
  std::vector<double> x(n);
  for (int k = 0; k < n; ++k) x[k] = cos(2 * M_PI * f * k / n);
  return x;
}

inline analytic tone_analytic(int n, int f) {
  analytic y(1, std::vector<std::complex<double>>(n));
  for (int k = 0; k < n; ++k) y[0][k] = std::polar(1.0, 2 * M_PI * f * k / n);
  return y;
}

inline std::string g17(double v) {
  char b[40];
  snprintf(b, sizeof b, "%.17g", v);
  return b;
}

// A run whose standard error is a one-page pipe already holding all but `room` bytes: it
// writes its first `room` bytes of messages, then blocks in its next write to standard error,
// at a point fixed by the message sequence.
struct blocked_run {
  pid_t pid = -1;
  int err = -1;  // the pipe's read end
  std::string filler;
};

inline bool start_blocked(const std::string& dir, const std::vector<std::string>& args, size_t room,
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
inline bool wait_blocked(const blocked_run& b) {
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
inline outcome finish_blocked(blocked_run* b) {
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

// After a failed write: none of the input's results is there (those finished before the failed
// one are not put in place either), and the message names the failed one.
inline void expect_stopped_at_write(const std::string& dir, const std::string& base,
                                    const outcome& r, const std::set<std::string>& others) {
  EXPECT_EQ(r.sig, 0);
  EXPECT_EQ(r.status, 1);
  int failed = -1;
  for (int t = 0; t < 5; ++t) {
    if (r.err == "Couldn't write " + base + kExts[t] + ".\n") failed = t;
  }
  ASSERT_GE(failed, 0) << r.err;
  EXPECT_EQ(listing(dir), others);
}

// Starts all runs together: each child waits on a pipe that is closed once all are forked.
inline std::vector<outcome> run_together(const std::string& dir,
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

inline bool wisdom_loads(const std::string& path) {
  fftw_forget_wisdom();
  bool ok = fftw_import_wisdom_from_filename(path.c_str()) == 1;
  fftw_forget_wisdom();
  return ok;
}

// "YYYY-MM-DD hh:mm:ss" at the start of line.
inline bool is_time_stamp(const std::string& line) {
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
inline bool has_valgrind_report(const std::string& text) {
  for (size_t at = text.find("=="); at != std::string::npos; at = text.find("==", at + 1)) {
    size_t end = at + 2;
    while (end < text.size() && isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end > at + 2 && text.compare(end, 2, "==") == 0) return true;
  }
  return false;
}

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0, nl;
  while ((nl = text.find('\n', start)) != std::string::npos) {
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start) + " (no newline)");
  return lines;
}

const int kBigSignals = 16, kBigSamples = 1 << 18;

// 16 signals of 2^18 samples, generated once: writing its results takes a few seconds.
inline const std::string& big_input() {
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

inline void place_big_input(const temp_dir& d) {
  if (link(big_input().c_str(), (d / "big.txt").c_str()) != 0) {
    fs::copy_file(big_input(), d / "big.txt");
  }
}

// Every result file left is whole, and the listing holds nothing else.
inline void expect_only_whole_results(const temp_dir& d, const std::string& base, size_t lines,
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

// Follows a traced child's system calls; when an openat returns a descriptor of a file whose
// name starts with prefix, sends sig while the child is still stopped there and lets it go:
// the signal arrives right after the file came into being. 1: sent; 0: the run ended first
// (*raw holds its wait status); -1: tracing is not possible here.
inline int signal_after_open(pid_t pid, const std::string& prefix, int sig, int* raw) {
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

// The hidden temporary file a result is written to before it is put in place, or "".
inline std::string temp_of(const std::string& dir, const std::string& result) {
  for (const std::string& n : listing(dir)) {
    if (n.rfind("." + result + ".", 0) == 0) return dir + "/" + n;
  }
  return "";
}
