// Threads for the parts of a run that split cleanly, started once for an input file and reused
// by its stages, and output written in order from them.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include <functional>
#include <memory>

// The number of CPUs this process may run on (its affinity mask: taskset, cpusets, Slurm).
int available_cpus();

// Threads worth using on this many values: max_threads, but one for a small input.
int threads_for_values(long long values, int max_threads);

// How many of `wanted` threads are worth starting now: no more than the CPUs that other
// runnable tasks leave idle, so that copies run side by side (one per core) do not crowd each
// other out; own_awake of the runnable tasks are this run's own workers, not others. At least 1.
int idle_threads(int wanted, int own_awake = 0);

// Where part `part` of `parts` equal contiguous parts of `items` begins (part == parts: items).
// The first items % parts parts are one item longer; no product of the two is ever formed.
inline long long part_start(long long items, long long parts, long long part) {
  return items / parts * part + (part < items % parts ? part : items % parts);
}

// Runs each(row, k0, k1) over the values first .. last-1 of a block of rows of `cols` values,
// counted row after row: one call for each row the range touches.
template <typename F>
void each_row_part(long long first, long long last, long long cols, F&& each) {
  while (first < last) {
    const long long row = first / cols;
    const long long k0 = first % cols;
    const long long k1 = k0 + (last - first) < cols ? k0 + (last - first) : cols;
    each(row, k0, k1);
    first += k1 - k0;
  }
}

struct team_state;

// The threads of one input file. While one exists, parallel_for runs on its threads, which are
// started at the first work that wants more than one (taking the idle CPUs into account then)
// and stopped when it goes. Without one, each parallel_for starts threads of its own.
class worker_team {
 public:
  explicit worker_team(int max_threads);
  ~worker_team();
  worker_team(const worker_team&) = delete;
  worker_team& operator=(const worker_team&) = delete;

 private:
  std::unique_ptr<team_state> state_;
  team_state* outer_;  // the team this one stands in for while it exists
};

// The number of workers parallel_for(items, threads, ...) runs: at most threads, at most items,
// at most the threads to be had. At least 1 when there are items.
int parallel_workers(long long items, int threads);

// Splits items 0 .. items-1 into parallel_workers(items, threads) contiguous ranges as
// part_start does, runs work(first, last) for each, the caller's thread among the workers (on
// the first range), and returns when all are done; what the caller's range throws leaves then.
// Called from inside a worker it runs the whole range there.
void parallel_for(long long items, int threads,
                  const std::function<void(long long first, long long last)>& work);

// Formats chunks 0 .. chunks-1 on up to `threads` threads and writes them to f in order.
// format(chunk, buf) writes at most max_bytes at buf and returns how many it wrote. Only a few
// chunks are ever held at once. Returns false when a write failed.
bool write_chunks(FILE* f, int threads, size_t chunks, size_t max_bytes,
                  const std::function<size_t(size_t chunk, char* buf)>& format);
