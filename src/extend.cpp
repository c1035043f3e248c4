#include "extend.h"

#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <map>
#include <memory>
#include <vector>

#include "alloc.h"
#include "dbg_printf.h"
#include "derivative.h"
#include "fatal.h"
#include "fft.h"
#include "fft_threads.h"
#include "matrix.h"
#include "parallel.h"
#include "settings.h"

namespace {

// Complex values in one work block: large batches for speed, bounded memory (64 MiB).
constexpr long long kWorkValues = 1 << 22;

// One stretch of samples transformed as a signal: row, first sample, length.
struct stretch {
  int row;
  int start;
  int len;
};

bool finite(const fftw_complex v) {
  return isfinite(v[0]) && isfinite(v[1]);
}

// The extended signal: the samples, then zeros or a mirror up to len. The mirror joins the
// signal to itself at both ends: the first half of the added samples is the end backwards, the
// second half the start backwards (the end takes the larger half of an odd count), so that a
// smooth length needs no jump at either end. For len = 2n it is the whole signal backwards.
void fill(fftw_complex* b, const fftw_complex* s, int n, int len, int pad) {
  memcpy(b, s, sizeof(fftw_complex) * n);
  if (pad == PAD_MIRROR) {
    const int added = len - n;
    // A smooth length is below 3n, so neither half is longer than the signal.
    const int from_end = std::min((added + 1) / 2, n);
    const int from_start = std::min(added - from_end, n);
    for (int k = 0; k < from_end; ++k) {
      b[n + k][0] = s[n - 1 - k][0];
      b[n + k][1] = s[n - 1 - k][1];
    }
    for (int k = 0; k < from_start; ++k) {
      b[len - 1 - k][0] = s[k][0];
      b[len - 1 - k][1] = s[k][1];
    }
  } else if (len > n) {
    memset(b + n, 0, sizeof(fftw_complex) * (len - n));
  }
}

// The stretches to transform; with gaps the non-finite samples become NaN in y right away.
std::vector<stretch> find_stretches(int gaps, int rows, int cols, fftw_complex** x,
                                    fftw_complex** y) {
  std::vector<stretch> s;
  if (!gaps) {
    for (int i = 0; i < rows; ++i) s.push_back({i, 0, cols});
    return s;
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int i = 0; i < rows; ++i) {
    int k = 0;
    while (k < cols) {
      if (!finite(x[i][k])) {
        y[i][k][0] = y[i][k][1] = nan;
        ++k;
        continue;
      }
      int start = k;
      while (k < cols && finite(x[i][k])) ++k;
      s.push_back({i, start, k - start});
    }
  }
  return s;
}

}  // namespace

long long smooth_length(long long n) {
  for (long long m = std::max(n, 1LL);; ++m) {
    long long r = m;
    for (long long p : {2, 3, 5, 7})
      while (r % p == 0) r /= p;
    if (r == 1) return m;
  }
}

long long extended_length(long long n, int pad) {
  if (pad == PAD_ZERO || pad == PAD_MIRROR) return smooth_length(2 * n);
  return n;
}

bool extended_transform_wanted(int pad, int gaps, int rows, int cols, fftw_complex** x) {
  if (pad != PAD_NONE) return true;
  if (!gaps) return false;
  for (int i = 0; i < rows; ++i)
    for (int k = 0; k < cols; ++k)
      if (!finite(x[i][k])) return true;
  return false;
}

namespace {

// The batches: stretches of one length, at most kWorkValues values a batch (or one stretch).
struct batch {
  size_t first;
  int howmany, n, len;
};

// A worker's buffer: a block of its own, or the values' room.
struct work_buffer {
  fftw_block block;
  c_array<double> room;
  fftw_complex* at = nullptr;
  fftw_complex* get() const { return at; }
};

// Everything a padded or gap transform plans before it runs: the stretches sorted by length,
// their batches, a buffer for each worker that runs, a plan pair for each length and batch
// size, and the one-sided weights of each length.
struct extended_run {
  int pad;
  std::vector<stretch> all;
  std::vector<batch> batches;
  int workers = 1;
  std::vector<work_buffer> bufs;
  std::map<std::pair<int, int>, std::pair<plan_ptr, plan_ptr>> plans;
  std::map<int, std::vector<double>> weights;
  // With the derivative: a second buffer for each worker, and the derivative's weights.
  std::vector<fftw_block> dbufs;
  std::map<int, std::vector<double>> dweights;
  // With bands: the spectrum of every batch, kept for all bands.
  std::vector<fftw_block> spectra;
  // The first batch is already in its buffer (spectra[0], or else bufs[0]).
  bool first_filled = false;

  const std::pair<plan_ptr, plan_ptr>& plan(const batch& bt) const {
    return plans.at({bt.len, bt.howmany});
  }
  // The extended signals of batch i into buf for pass t of the forward transform, unless they are
  // there already.
  void fill_for(size_t i, int t, fftw_complex** x, fftw_complex* buf) const {
    if (i > 0 || t > 0 || !first_filled) fill_batch(batches[i], x, buf);
  }
  // The extended signals of a batch, one after another from buf.
  void fill_batch(const batch& bt, fftw_complex** x, fftw_complex* buf) const {
    for (int j = 0; j < bt.howmany; ++j) {
      const stretch& s = all[bt.first + j];
      fill(buf + static_cast<size_t>(j) * bt.len, x[s.row] + s.start, bt.n, bt.len, pad);
    }
  }
  // The inverse of a weighted batch in buf, scaled into y; only the signals' own samples.
  void finish_batch(const batch& bt, fftw_complex** y, fftw_complex* buf) const {
    fftw_execute_dft(plan(bt).second.get(), buf, buf);
    // On the threads when this is the only batch (inside a worker it stays on that one).
    const long long n = static_cast<long long>(bt.howmany) * bt.n;
    parallel_for(n, threads_for_values(n, jobs), [&](long long first, long long last) {
      each_row_part(first, last, bt.n, [&](long long j, long long k0, long long k1) {
        const stretch& s = all[bt.first + static_cast<size_t>(j)];
        scale_samples(y[s.row] + s.start + k0, buf + j * bt.len + k0, k1 - k0, bt.len);
      });
    });
  }
  // Runs each(batch index, worker buffer, worker) for every batch, whole batches shared between the
  // workers; every batch is transformed by the same plan whichever worker takes it.
  template <typename F>
  void each_batch(F&& each) {
    std::atomic<size_t> next{0};
    parallel_for(workers, workers, [&](long long w0, long long w1) {
      for (long long w = w0; w < w1; ++w) {
        for (size_t i; (i = next++) < batches.size();)
          each(i, bufs[static_cast<size_t>(w)].get(), static_cast<size_t>(w));
      }
    });
  }
};

// Prints the transform's trace and first mark, makes the stretches, batches, buffers (and with
// bands the spectra), plans and weights, and ends the planning.
void prepare(extended_run* r, int pad, int gaps, int rows, int cols, fftw_complex** x,
             fftw_complex** y, bool derivative, bool bands, double interval) {
  trace_transform(rows, cols);
  progress(" 0%");
  r->pad = pad;
  r->all = find_stretches(gaps, rows, cols, x, y);
  std::vector<stretch>& all = r->all;
  // Stretches of one length share their plans and are transformed in batches.
  std::stable_sort(all.begin(), all.end(),
                   [](const stretch& a, const stretch& b) { return a.len < b.len; });
  std::vector<batch>& batches = r->batches;
  size_t largest = 0;
  for (size_t g = 0; g < all.size();) {
    const int n = all[g].len;
    size_t g_end = g;
    while (g_end < all.size() && all[g_end].len == n) ++g_end;
    const long long ext = extended_length(n, pad);
    if (ext > INT_MAX) fatal("Couldn't make the forward FFT plan for 1 x %lld values\n", ext);
    const int len = static_cast<int>(ext);
    const long long count = static_cast<long long>(g_end - g);
    const int size = static_cast<int>(std::clamp(kWorkValues / len, 1LL, count));
    for (size_t c = g; c < g_end; c += size) {
      batches.push_back({c, static_cast<int>(std::min<size_t>(size, g_end - c)), n, len});
      largest = std::max(largest, static_cast<size_t>(batches.back().howmany) * len);
    }
    g = g_end;
  }
  // Batches are independent: each worker takes whole batches into a buffer of its own.
  // Buffers are made only for the workers that run.
  const int threads = timing ? 1 : threads_for_values(static_cast<long long>(rows) * cols, jobs);
  r->workers = std::max(1, parallel_workers(static_cast<long long>(batches.size()), threads));
  // The first is made in the values' room where it fits, on the pages the values took.
  for (int t = 0; t < r->workers; ++t) {
    work_buffer& b = r->bufs.emplace_back();
    if (t == 0) b.room = take_room(largest, &b.at);
    if (b.room == nullptr) {
      b.block = alloc_complex(largest, "Couldn't fftw_malloc %lu bytes\n");
      b.at = b.block.get();
    }
  }
  for (int t = 0; derivative && t < r->workers; ++t)
    r->dbufs.push_back(alloc_complex(largest, "Couldn't fftw_malloc %lu bytes\n"));
  if (bands) {
    for (const batch& bt : batches)
      r->spectra.push_back(alloc_complex(static_cast<size_t>(bt.howmany) * bt.len,
                                         "Couldn't fftw_malloc %lu bytes\n"));
  }
  auto weigh = [&] {
    for (const batch& bt : batches) {
      std::vector<double>& h = r->weights[bt.len];
      if (!h.empty()) continue;
      h.resize(static_cast<size_t>(bt.len));
      one_sided_weights(h.data(), bt.len);
      if (derivative) {
        std::vector<double>& d = r->dweights[bt.len] = h;
        derivative_weights(d.data(), bt.len, interval);
      }
    }
  };
  // FFTW plans on one thread only, and all plans are made here.
  auto plan = [&] {
    for (const batch& bt : batches) {
      auto& p = r->plans[{bt.len, bt.howmany}];
      if (p.first != nullptr) continue;
      fftw_complex* b = r->bufs[0].get();
      // One batch has the threads to itself; with more, each runs on one.
      const int on = batches.size() == 1 ? long_transform_threads(bt.howmany, bt.len, jobs) : 1;
      p.first = make_plan_on_threads(bt.howmany, bt.len, b, b, FFTW_FORWARD, on);
      p.second = make_plan_on_threads(bt.howmany, bt.len, b, b, FFTW_BACKWARD, on);
    }
  };
  if (batches.size() != 1) {
    weigh();
    plan();
  } else {
    // One long signal: planning a length of large factors works out twiddles for about as many
    // values (some 40 ms for two million), while the other threads would wait. The signal is
    // weighed and extended into its buffer meanwhile; a plan made without measuring reads no
    // array, and the weights and the extension call nothing of FFTW.
    // Planning is part 0, on the caller's thread, where a plan that fails may end the file.
    fftw_complex* first = bands ? r->spectra[0].get() : r->bufs[0].get();
    parallel_for(2, threads, [&](long long part, long long end) {
      for (; part < end; ++part) {
        if (part == 0) {
          plan();
          continue;
        }
        weigh();
        r->fill_batch(batches[0], x, first);
      }
    });
    r->first_filled = true;
  }
  planning_end();
}

}  // namespace

void anasig_extended(int pad, int gaps, int rows, int cols, fftw_complex** x, fftw_complex** y,
                     fftw_complex** dz, double interval) {
  extended_run r;
  prepare(&r, pad, gaps, rows, cols, x, y, dz != nullptr, false, interval);
  const int repeats = timing ? 100000 : 1;
  r.each_batch([&](size_t i, fftw_complex* buf, size_t w) {
    const batch& bt = r.batches[i];
    for (int t = 0; t < repeats; ++t) {
      // Refilled each time: the transform works in place.
      r.fill_for(i, t, x, buf);
      fftw_execute_dft(r.plan(bt).first.get(), buf, buf);
    }
    if (dz != nullptr) {
      const std::vector<double>& d = r.dweights.at(bt.len);
      fftw_complex* dbuf = r.dbufs[w].get();
      weight_spectra_i(dbuf, buf, bt.howmany, bt.len, d.data(), jobs);
      r.finish_batch(bt, dz, dbuf);
    }
    weight_spectra(buf, buf, bt.howmany, bt.len, r.weights.at(bt.len).data(), jobs);
    r.finish_batch(bt, y, buf);
  });
  progress("..49%");
  if (debug) dbg__printf(__FILE__, __LINE__, "rows=%d cols=%d\n", rows, cols);
  progress("..50%");
  progress("..99%");
  progress("..100%\n");
}

band_pass extended_bands(int pad, int gaps, int rows, int cols, fftw_complex** x, fftw_complex** y,
                         fftw_complex** dz, double interval) {
  auto r = std::make_shared<extended_run>();
  prepare(r.get(), pad, gaps, rows, cols, x, y, false, true, interval);
  const int repeats = timing ? 100000 : 1;
  r->each_batch([&](size_t i, fftw_complex*, size_t) {
    const batch& bt = r->batches[i];
    fftw_complex* z = r->spectra[i].get();
    for (int t = 0; t < repeats; ++t) {
      r->fill_for(i, t, x, z);
      fftw_execute_dft(r->plan(bt).first.get(), z, z);
    }
  });
  progress("..100%\n");
  return [r, y, dz, interval](const band& b) {
    // The band's weights for each length, and its derivative's.
    std::map<int, std::vector<double>> h = r->weights, d;
    for (auto& [len, w] : h) {
      apply_band_gain(b, w.data(), len, interval);
      if (dz == nullptr) continue;
      d[len] = w;
      derivative_weights(d[len].data(), len, interval);
    }
    r->each_batch([&](size_t i, fftw_complex* buf, size_t) {
      const batch& bt = r->batches[i];
      const std::vector<double>& w = h.at(bt.len);
      const fftw_complex* z = r->spectra[i].get();
      if (dz != nullptr) {
        weight_spectra_i(buf, z, bt.howmany, bt.len, d.at(bt.len).data(), jobs);
        r->finish_batch(bt, dz, buf);
      }
      weight_spectra(buf, z, bt.howmany, bt.len, w.data(), jobs);
      r->finish_batch(bt, y, buf);
    });
  };
}
