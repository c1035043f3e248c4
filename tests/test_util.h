// Helpers shared by the tests: scratch directories, files, running the built binary, and
// the numerical oracles with the checks of result files.
#pragma once

#include <stdio.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <complex>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The five result extensions, in the order they are written.
inline const char* const kExts[] = {".hre", ".him", ".hab", ".hth", ".hfq"};

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
long long file_size(const std::string& path);  // -1 when there is none
// The lines of text without their newlines; an unended last line is marked " (no newline)".
std::vector<std::string> split_lines(const std::string& text);
// "YYYY-MM-DD hh:mm:ss" at the start of line, as the run log writes it.
bool is_time_stamp(const std::string& line);

// The names in a directory, and the names of the given files with, for each base name given,
// its five result files.
std::set<std::string> listing(const std::string& dir);
std::set<std::string> names(std::initializer_list<std::string> files,
                            std::initializer_list<std::string> result_bases = {});
// The hidden temporary file a result is written to before it is put in place, or "".
std::string temp_of(const std::string& dir, const std::string& result);

// A temporary stdio stream holding text, positioned at its start.
FILE* text_file(const std::string& text);

// Polls cond every millisecond; false when it has not held within the time.
bool wait_for(const std::function<bool()>& cond, double seconds);
// Whether FFTW imports the wisdom file (and forgets it again).
bool wisdom_loads(const std::string& path);

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

// Starts all runs together in dir (each child waits until all are forked); their outcomes.
std::vector<outcome> run_together(const std::string& dir,
                                  const std::vector<std::vector<std::string>>& argvs);

// A run whose standard error is a one-page pipe already holding all but `room` bytes: it
// writes its first `room` bytes of messages, then blocks in its next write to standard error,
// at a point fixed by the message sequence.
struct blocked_run {
  pid_t pid = -1;
  int err = -1;  // the pipe's read end
  std::string filler;
};
bool start_blocked(const std::string& dir, const std::vector<std::string>& args, size_t room,
                   blocked_run* b, std::vector<int> ignored = {});
// True once the run is blocked as planned: the pipe is full and it is inside write(2, ...).
bool wait_blocked(const blocked_run& b);
// Drains standard error to its end and waits for the run; the filler is taken off.
outcome finish_blocked(blocked_run* b);
// What a run writes on standard error up to the transform's last progress mark.
inline const char kTransformMessages[] =
    "Checking size\nReading file...done\n 0%..49%..50%..99%..100%\n";

// Follows a traced child's system calls (child_opts::traced); when an openat returns a
// descriptor of a file whose name starts with prefix, sends sig while the child is still
// stopped there and lets it go: the signal arrives right after the file came into being.
// 1: sent; 0: the run ended first (*raw holds its wait status); -1: tracing is not possible.
int signal_after_open(pid_t pid, const std::string& prefix, int sig, int* raw);

// The DFT by its defining sum, in long double: sign -1 forward, +1 inverse, no scaling.
using lcvec = std::vector<std::complex<long double>>;
lcvec direct_dft(const lcvec& x, int sign);
// The analytic signal by direct DFT sums: one-sided spectrum (the zero and, for an even
// length, the middle bin kept once), then the scaled inverse.
std::vector<std::complex<double>> analytic_oracle(const std::vector<double>& x);

using signals = std::vector<std::vector<double>>;  // each signal: its samples
using analytic = std::vector<std::vector<std::complex<double>>>;
// The analytic signal of each signal by the direct DFT sums.
analytic direct_analytic(const signals& x);
// count signals of n samples drawn uniformly from (-bound, bound), the same for a seed.
signals random_signals(int count, int n, double bound, unsigned seed);
// cos(2 pi f n / N) printed exactly: its analytic signal is exp(i 2 pi f n / N).
std::vector<double> tone(int n, int f);
analytic tone_analytic(int n, int f);

// Inputs: signals sin(0.01 (k + 1) (i + 1)) (i + 1) in columns, with six decimals.
std::string sine_column(int samples, int signals_count);
// 16 signals of 2^18 samples in columns, written once: writing its results takes seconds.
// place_big_input links (or copies) it into d as big.txt.
constexpr int kBigSignals = 16, kBigSamples = 1 << 18;
const std::string& big_input();
void place_big_input(const temp_dir& d);
std::string g17(double v);  // "%.17g": the double read back exactly

// Every line of a result file, parsed; false when the text is not lines of numbers joined by
// single spaces.
bool parse_result(const std::string& path, std::vector<std::vector<double>>* lines);
// The five result files of base (a path without extension) against the expected signals:
// parts and envelope within tol, phase and frequency where the envelope is not tiny.
void expect_results(const std::string& base, const analytic& want, double tol, double tstep = 1);
// One result file is whole: the expected number of lines, the last one ended.
bool complete(const std::string& path, size_t lines);
// Every result of base left in d is whole, and the listing holds nothing else but allowed.
void expect_only_whole_results(const temp_dir& d, const std::string& base, size_t lines,
                               std::set<std::string> allowed);
