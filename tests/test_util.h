// Helpers shared by the tests: scratch directories, files, running the built binary, and
// the numerical oracles.
#pragma once

#include <stdio.h>

#include <complex>
#include <string>
#include <vector>

// A fresh directory under the system's temporary directory, removed with its contents.
struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

std::string read_text(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);

// A temporary stdio stream holding text, positioned at its start.
FILE* text_file(const std::string& text);

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
