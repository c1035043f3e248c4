// Kernel timings: scanning numbers, formatting values and the transform, beside the C library.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "anasig.h"
#include "loading.h"
#include "numfmt.h"
#include "numscan.h"
#include "settings.h"

namespace {

// Values as the tool meets them: "%.11g" text of signal-like numbers.
std::vector<double> sample_values(size_t n) {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> g(0, 1);
  std::vector<double> v(n);
  for (double& x : v) x = g(rng);
  return v;
}

std::string sample_line(size_t n) {
  std::string s;
  char buf[32];
  for (double v : sample_values(n)) {
    snprintf(buf, sizeof buf, "%.11g ", v);
    s += buf;
  }
  return s;
}

const size_t kNumbers = 4096;

void BM_scan_number(benchmark::State& state) {
  std::string line = sample_line(kNumbers);
  const char* end = line.c_str() + line.size();
  for (auto _ : state) {
    const char* s = line.c_str();
    double v;
    size_t n;
    while (scan_number(s, end, &v, &n) == 1) {
      benchmark::DoNotOptimize(v);
      s += n;
    }
  }
  state.SetItemsProcessed(state.iterations() * kNumbers);
}

// sscanf on each number alone: its cost without the quadratic rescan of a long line.
void BM_sscanf_per_number(benchmark::State& state) {
  std::vector<std::string> numbers;
  char buf[32];
  for (double v : sample_values(kNumbers)) {
    snprintf(buf, sizeof buf, "%.11g", v);
    numbers.push_back(buf);
  }
  for (auto _ : state) {
    for (const std::string& s : numbers) {
      double v;
      int n;
      sscanf(s.c_str(), "%lg%n", &v, &n);
      benchmark::DoNotOptimize(v);
    }
  }
  state.SetItemsProcessed(state.iterations() * kNumbers);
}

void BM_strtod(benchmark::State& state) {
  std::string line = sample_line(kNumbers);
  for (auto _ : state) {
    const char* s = line.c_str();
    for (size_t i = 0; i < kNumbers; ++i) {
      char* e;
      benchmark::DoNotOptimize(strtod(s, &e));
      s = e;
    }
  }
  state.SetItemsProcessed(state.iterations() * kNumbers);
}

void BM_format_g11(benchmark::State& state) {
  std::vector<double> v = sample_values(kNumbers);
  char buf[kG11Max];
  for (auto _ : state) {
    for (double x : v) benchmark::DoNotOptimize(format_g11(buf, x));
  }
  state.SetItemsProcessed(state.iterations() * kNumbers);
}

void BM_snprintf_g11(benchmark::State& state) {
  std::vector<double> v = sample_values(kNumbers);
  char buf[kG11Max];
  for (auto _ : state) {
    for (double x : v) benchmark::DoNotOptimize(snprintf(buf, sizeof buf, "%.11g", x));
  }
  state.SetItemsProcessed(state.iterations() * kNumbers);
}

// The whole transform of 16 signals, per sample.
void BM_anasig(benchmark::State& state) {
  const int rows = 16, cols = static_cast<int>(state.range(0));
  signal_matrix x, y;
  alloc_matrix(&x, rows, cols, "Couldn't malloc x(%lu bytes).\n",
               "Couldn't fftw_malloc x[0](%lu bytes).\n");
  alloc_matrix(&y, rows, cols, "Couldn't malloc y(%lu bytes).\n",
               "Couldn't fftw_malloc y[0](%lu bytes).\n");
  std::vector<double> v = sample_values(size_t(rows) * cols);
  for (int i = 0; i < rows; ++i)
    for (int k = 0; k < cols; ++k) {
      x.rowp()[i][k][0] = v[size_t(i) * cols + k];
      x.rowp()[i][k][1] = 0;
    }
  quiet = 1;
  for (auto _ : state) anasig(rows, cols, x.rowp(), y.rowp());
  state.SetItemsProcessed(state.iterations() * rows * cols);
}

}  // namespace

BENCHMARK(BM_scan_number);
BENCHMARK(BM_sscanf_per_number);
BENCHMARK(BM_strtod);
BENCHMARK(BM_format_g11);
BENCHMARK(BM_snprintf_g11);
BENCHMARK(BM_anasig)->Arg(1 << 16)->Arg(1 << 18);
BENCHMARK_MAIN();
