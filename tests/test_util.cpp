#include "test_util.h"

#include <fcntl.h>
#include <math.h>
#include <signal.h>
#include <stdlib.h>
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

run_result run_anasig(const std::string& dir, const std::vector<std::string>& args,
                      const std::string& input) {
  temp_dir io;
  std::string out = io / "stdout", err = io / "stderr";
  // Standard input is a pipe, filled before the start: inputs must fit its buffer.
  int in[2];
  if (pipe(in) != 0) throw std::runtime_error("pipe failed");
  if (!input.empty() && write(in[1], input.data(), input.size()) != ssize_t(input.size()))
    throw std::runtime_error("input does not fit the pipe");
  close(in[1]);
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    int fi = in[0];
    int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fi < 0 || fo < 0 || fe < 0) _exit(127);
    dup2(fi, 0);
    dup2(fo, 1);
    dup2(fe, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(ANASIG_BIN, argv.data());
    _exit(127);
  }
  close(in[0]);
  run_result r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_text(out);
  r.err = read_text(err);
  return r;
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
