#include "fft_threads.h"

#include <stdlib.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "parallel.h"

namespace {

// A plan as FFTW prints it: "(name child ...)" with a codelet's name in quotes as a leaf.
struct step {
  std::string name;
  std::vector<step> parts;
  bool operator==(const step&) const = default;
};

// Reads one step at *p; false on text that is not a plan.
bool read_step(const char** p, step* s) {
  auto skip = [&] {
    while (**p == ' ' || **p == '\n' || **p == '\t') ++*p;
  };
  skip();
  if (**p == '"') {
    const char* end = strchr(*p + 1, '"');
    if (end == nullptr) return false;
    s->name.assign(*p, end + 1);
    *p = end + 1;
    return true;
  }
  if (**p != '(') return false;
  const char* q = ++*p;
  while (*q != '\0' && *q != ' ' && *q != '\n' && *q != ')') ++q;
  s->name.assign(*p, q);
  *p = q;
  for (;;) {
    skip();
    if (**p == ')') {
      ++*p;
      return !s->name.empty();
    }
    if (**p == '\0') return false;
    s->parts.emplace_back();
    if (!read_step(p, &s->parts.back())) return false;
  }
}

bool starts(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// The two numbers of a name ending "-x<a>/<b>" after `prefix`; false when it does not end so.
bool count_and_tail(const std::string& name, const char* prefix, long* a, long* b) {
  const char* p = name.c_str() + strlen(prefix);
  char* end;
  *a = strtol(p, &end, 10);
  if (end == p || *end != '/') return false;
  p = end + 1;
  *b = strtol(p, &end, 10);
  return end != p && *end == '\0';
}

bool all_alike(const std::vector<step>& parts, size_t n) {
  for (size_t i = 1; i < n; ++i)
    if (!(parts[i] == parts[0])) return false;
  return true;
}

// Rewrites a step into the serial plan it stands for, as far as it can tell; a step it cannot
// read stays as it is, and then no serial plan matches it.
void merge_threads(step* s) {
  for (step& part : s->parts) merge_threads(&part);
  long k, tail;
  if (starts(s->name, "rdft-rank0")) {
    // Copies and transposes: however they are tiled or split, they only move values.
    s->name = "rdft-rank0";
    s->parts.clear();
  } else if (starts(s->name, "rdft-thr-vrank>=1-x")) {
    bool moves = !s->parts.empty();
    for (const step& part : s->parts) moves = moves && part == step{"rdft-rank0", {}};
    if (moves) *s = step{"rdft-rank0", {}};
  } else if (starts(s->name, "dft-thr-ct-dit-x") || starts(s->name, "dft-thr-ct-dif-x")) {
    // The twiddle step's loop split into k plans of one kind, then the child transform.
    const std::string kind = s->name.substr(11, 3);  // "dit" or "dif"
    if (!count_and_tail(s->name, ("dft-thr-ct-" + kind + "-x").c_str(), &k, &tail) || k < 2 ||
        s->parts.size() != static_cast<size_t>(k) + 1 || !all_alike(s->parts, k))
      return;
    s->name = "dft-ct-" + kind + "/" + std::to_string(tail);
    s->parts.erase(s->parts.begin() + 1, s->parts.begin() + k);
  } else if (starts(s->name, "dft-thr-vrank>=1-x")) {
    // A loop over transforms split into k loops of one transform; a loop of one prints bare.
    if (!count_and_tail(s->name, "dft-thr-vrank>=1-x", &k, &tail) ||
        s->parts.size() != static_cast<size_t>(k))
      return;
    long total = 0, dim = tail;
    std::vector<step> bodies;
    for (const step& part : s->parts) {
      long n = 1, d = tail;
      if (starts(part.name, "dft-vrank>=1-x") && part.parts.size() == 1 &&
          count_and_tail(part.name, "dft-vrank>=1-x", &n, &d)) {
        bodies.push_back(part.parts[0]);
      } else {
        bodies.push_back(part);
      }
      if (bodies.size() > 1 && d != dim) return;
      dim = d;
      total += n;
    }
    if (!all_alike(bodies, bodies.size())) return;
    *s = step{"dft-vrank>=1-x" + std::to_string(total) + "/" + std::to_string(dim), {bodies[0]}};
  }
}

// FFTW's loops on the run's threads, one job after another within each thread's range.
void run_loop(void* (*work)(char*), char* jobs, size_t size, int count, void*) {
  parallel_for(count, count, [&](long long first, long long last) {
    for (long long j = first; j < last; ++j) work(jobs + j * size);
  });
}

struct text_deleter {
  void operator()(char* p) const { free(p); }
};

std::string printed(fftw_plan p) {
  std::unique_ptr<char, text_deleter> text(fftw_sprint_plan(p));
  return text == nullptr ? std::string() : std::string(text.get());
}

bool threads_ready = false;

}  // namespace

void threaded_planning_begin() {
  static const bool ready = [] {
    if (fftw_init_threads() == 0) return false;
    fftw_threads_set_callback(run_loop, nullptr);
    return true;
  }();
  threads_ready = ready;
}

bool same_steps(const char* serial, const char* threaded) {
  step s, t;
  if (!read_step(&serial, &s) || !read_step(&threaded, &t)) return false;
  merge_threads(&s);
  merge_threads(&t);
  return s == t;
}

plan_ptr make_plan_on_threads(int howmany, int len, fftw_complex* in, fftw_complex* out, int sign,
                              int threads, int* taken) {
  int on = 1;
  if (taken == nullptr) taken = &on;
  *taken = 1;
  plan_ptr serial = make_plan(howmany, len, in, out, sign);
  if (threads <= 1 || !threads_ready) return serial;
  fftw_plan_with_nthreads(threads);
  int n[1] = {len};
  plan_ptr split(fftw_plan_many_dft(1, n, howmany, in, nullptr, 1, len, out, nullptr, 1, len, sign,
                                    FFTW_ESTIMATE));
  fftw_plan_with_nthreads(1);
  if (split == nullptr) return serial;
  // The twiddles the serial plan worked out are shared with the threaded one while both exist.
  if (!same_steps(printed(serial.get()).c_str(), printed(split.get()).c_str())) return serial;
  *taken = threads;
  return split;
}
