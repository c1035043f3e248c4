// The numerical oracles, generated inputs and checks of the result files the binary writes.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// The distance of two angles on the circle.
double angle_gap(double a, double b) {
  return std::fabs(std::remainder(a - b, 2 * M_PI));
}

}  // namespace

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

analytic direct_analytic(const signals& x) {
  analytic y;
  for (const std::vector<double>& s : x) y.push_back(analytic_oracle(s));
  return y;
}

std::vector<double> tone(int n, int f) {
  std::vector<double> x(n);
  for (int k = 0; k < n; ++k) x[k] = cos(2 * M_PI * f * k / n);
  return x;
}

analytic tone_analytic(int n, int f) {
  analytic y(1, std::vector<std::complex<double>>(n));
  for (int k = 0; k < n; ++k) y[0][k] = std::polar(1.0, 2 * M_PI * f * k / n);
  return y;
}

std::string sine_column(int samples, int signals_count) {
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

const std::string& big_input() {
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

void place_big_input(const temp_dir& d) {
  if (link(big_input().c_str(), (d / "big.txt").c_str()) != 0) {
    fs::copy_file(big_input(), d / "big.txt");
  }
}

std::string g17(double v) {
  char b[40];
  snprintf(b, sizeof b, "%.17g", v);
  return b;
}

bool parse_result(const std::string& path, std::vector<std::vector<double>>* lines) {
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

void expect_results(const std::string& base, const analytic& want, double tol, double tstep) {
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

bool complete(const std::string& path, size_t lines) {
  std::string text = read_text(path);
  return !text.empty() && text.back() == '\n' &&
         static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) == lines;
}

void expect_only_whole_results(const temp_dir& d, const std::string& base, size_t lines,
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
