// Helpers shared by the tests: scratch directories, files, running the built binary, and
// the numerical oracles.
#pragma once

#include <stdio.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <complex>
#include <string>
#include <string_view>
#include <vector>

// A fresh directory under the system's temporary directory, removed with its contents.
struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// A small tmpfs mounted in a fresh directory, for full disks; unmounted before the directory
// goes. mounted is false where mounting is not allowed.
struct small_disk {
  temp_dir dir;
  std::string path;
  bool mounted = false;
  std::string error;
  explicit small_disk(const char* size);
  ~small_disk();
};

std::string read_text(const std::string& path);
// s with backslashes doubled and every byte outside printable ASCII as \xNN, for messages.
std::string printable(std::string_view s);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);

// A temporary stdio stream holding text, positioned at its start.
FILE* text_file(const std::string& text);

// The binary under test, and whether it is a sanitizer build (which maps terabytes of shadow
// memory and cannot run under valgrind).
std::string anasig_bin();
bool sanitizer_build();

// How a child is started; everything is prepared before fork, so the child only calls
// async-signal-safe functions.
struct child_opts {
  std::vector<std::string> prefix;  // a wrapper (valgrind) run with the binary's path after it
  std::string bin;                  // the binary; empty: anasig_bin()
  std::string out = "/dev/null", err = "/dev/null";
  int out_fd = -1;          // a descriptor to use as standard output instead of out
  int err_fd = -1;          // a descriptor to use as standard error instead of err
  int fd3 = -1;             // a descriptor passed on as fd 3
  int in_fd = -1;           // standard input instead of /dev/null
  std::vector<int> closed;  // standard descriptors closed before exec
  int gate = -1;            // the child waits for end of file on it before exec
  int gate_w = -1;          // the gate's write end, closed in the child
  bool as_nobody = false;
  std::vector<int> ignored;  // signals the child starts with ignored; all others are default
  bool traced = false;       // stops at exec for the parent to trace it
  rlim_t fsize = RLIM_INFINITY;
  rlim_t data = RLIM_INFINITY;  // heap and private mappings, not the stack
};

// Starts the binary (args[0] is its argv[0]) in dir; nothing is done in the child but
// async-signal-safe calls.
pid_t spawn(const std::string& dir, const std::vector<std::string>& args, const child_opts& o);

struct outcome {
  int status = -1;  // exit status, or -1 when killed
  int sig = 0;      // the signal that killed it, or 0
  std::string out, err;
};
// Waits for the child; out and err are left empty.
outcome finish(pid_t pid);
// Runs to the end with both streams captured (unless o names files or descriptors for them).
outcome run(const std::string& dir, const std::vector<std::string>& args, child_opts o = {});

struct run_result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs the binary in dir with argv[0] = args[0]; feeds `input` to its standard input.
run_result run_anasig(const std::string& dir, const std::vector<std::string>& args,
                      const std::string& input = "");

// The DFT by its defining sum, in long double: sign -1 forward, +1 inverse, no scaling.
using lcvec = std::vector<std::complex<long double>>;
lcvec direct_dft(const lcvec& x, int sign);
// The analytic signal by direct DFT sums: one-sided spectrum (the zero and, for an even
// length, the middle bin kept once), then the scaled inverse.
std::vector<std::complex<double>> analytic_oracle(const std::vector<double>& x);
