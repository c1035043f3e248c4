#include "test_util.h"

#include <fcntl.h>
#include <grp.h>
#include <math.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef ANASIG_BIN
#define ANASIG_BIN "anasig"
#endif

temp_dir::temp_dir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "anasig-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = tmpl;
}

temp_dir::~temp_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

small_disk::small_disk(const char* size) : path(dir / "mnt") {
  if (mkdir(path.c_str(), 0755) != 0 ||
      mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) != 0) {
    error = strerror(errno);
    return;
  }
  mounted = true;
}

small_disk::~small_disk() {
  if (mounted) umount(path.c_str());
}

std::string printable(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

FILE* text_file(const std::string& text) {
  FILE* f = tmpfile();
  if (f == nullptr) throw std::runtime_error("tmpfile failed");
  fwrite(text.data(), 1, text.size(), f);
  rewind(f);
  return f;
}

std::string anasig_bin() {
  return ANASIG_BIN;
}

bool sanitizer_build() {
  return read_text(anasig_bin()).find("__asan_init") != std::string::npos;
}

pid_t spawn(const std::string& dir, const std::vector<std::string>& args, const child_opts& o) {
  std::string bin = o.bin.empty() ? anasig_bin() : o.bin;
  std::vector<std::string> full;
  if (o.prefix.empty()) {
    full = args;
  } else {
    full = o.prefix;
    full.push_back(bin);
    full.insert(full.end(), args.begin() + 1, args.end());
    bin = o.prefix[0];
  }
  std::vector<char*> argv;
  for (const std::string& a : full) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (o.gate_w >= 0) close(o.gate_w);
  if (o.gate >= 0) {
    char c;
    while (read(o.gate, &c, 1) > 0) {
    }
  }
  if (chdir(dir.c_str()) != 0) _exit(127);
  int fi = o.in_fd >= 0 ? o.in_fd : open("/dev/null", O_RDONLY);
  int fo = o.out_fd >= 0 ? o.out_fd : open(o.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int fe = o.err_fd >= 0 ? o.err_fd : open(o.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fi < 0 || fo < 0 || fe < 0) _exit(127);
  dup2(fi, 0);
  dup2(fo, 1);
  dup2(fe, 2);
  for (int fd : o.closed) close(fd);
  if (o.fd3 == 3) {
    fcntl(3, F_SETFD, 0);
  } else if (o.fd3 >= 0) {
    dup2(o.fd3, 3);
  }
  if (o.fsize != RLIM_INFINITY) {
    struct rlimit rl = {o.fsize, o.fsize};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(126);
  }
  if (o.data != RLIM_INFINITY) {
    struct rlimit rl = {o.data, o.data};
    if (setrlimit(RLIMIT_DATA, &rl) != 0) _exit(126);
  }
  // Whoever started the tests (a background job ignores SIGINT) must not decide for the run.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
  }
  for (int sig : o.ignored) signal(sig, SIG_IGN);
  if (o.as_nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
    _exit(126);
  }
  if (o.traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(125);
  execv(bin.c_str(), argv.data());
  _exit(127);
}

outcome finish(pid_t pid) {
  int st = 0;
  outcome r;
  if (waitpid(pid, &st, 0) != pid) return r;
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  if (WIFSIGNALED(st)) r.sig = WTERMSIG(st);
  return r;
}

outcome run(const std::string& dir, const std::vector<std::string>& args, child_opts o) {
  temp_dir io;
  bool own_out = o.out == "/dev/null" && o.out_fd < 0,
       own_err = o.err == "/dev/null" && o.err_fd < 0;
  if (own_out) o.out = io / "out";
  if (own_err) o.err = io / "err";
  outcome r = finish(spawn(dir, args, o));
  if (own_out) r.out = read_text(o.out);
  if (own_err) r.err = read_text(o.err);
  return r;
}

run_result run_anasig(const std::string& dir, const std::vector<std::string>& args,
                      const std::string& input) {
  // Standard input is a pipe, filled before the start: inputs must fit its buffer.
  int in[2];
  if (pipe(in) != 0) throw std::runtime_error("pipe failed");
  if (!input.empty() && write(in[1], input.data(), input.size()) != ssize_t(input.size()))
    throw std::runtime_error("input does not fit the pipe");
  close(in[1]);
  child_opts o;
  o.in_fd = in[0];
  outcome r = run(dir, args, o);
  close(in[0]);
  return run_result{r.sig != 0 ? 128 + r.sig : r.status, r.out, r.err};
}

lcvec direct_dft(const lcvec& x, int sign) {
  const size_t n = x.size();
  const long double w = 2 * acosl(-1) / n;
  lcvec out(n);
  for (size_t k = 0; k < n; ++k) {
    for (size_t j = 0; j < n; ++j)
      out[k] += x[j] * std::polar<long double>(1, sign * w * ((j * k) % n));
  }
  return out;
}

std::vector<std::complex<double>> analytic_oracle(const std::vector<double>& x) {
  const size_t n = x.size();
  lcvec spectrum = direct_dft(lcvec(x.begin(), x.end()), -1);
  for (size_t k = 1; k < n; ++k) {
    if (2 * k < n) spectrum[k] *= 2;
    if (2 * k > n) spectrum[k] = 0;
  }
  lcvec back = direct_dft(spectrum, 1);
  std::vector<std::complex<double>> out(n);
  for (size_t m = 0; m < n; ++m)
    out[m] = std::complex<double>(back[m] / static_cast<long double>(n));
  return out;
}
