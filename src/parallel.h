// Threads for the parts of a run that split cleanly, and output written in order from them.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include <functional>

// The number of CPUs this process may run on (its affinity mask: taskset, cpusets, Slurm).
int available_cpus();

// Threads for work on this many values: --jobs, but one for a small input.
int threads_for_values(long long values);

// How many of `wanted` threads are worth starting now: no more than the CPUs that other
// runnable tasks leave idle, so that copies run side by side (one per core) do not crowd each
// other out. At least 1.
int idle_threads(int wanted);

// Runs work(worker) for each worker 0 .. threads-1, on as many threads as can be had (the
// caller's among them), and returns when all are done.
void run_on_threads(int threads, const std::function<void(int worker)>& work);

// Formats chunks 0 .. chunks-1 on up to `threads` threads and writes them to f in order.
// format(chunk, buf) writes at most max_bytes at buf and returns how many it wrote. Only a few
// chunks are ever held at once. Returns false when a write failed.
bool write_chunks(FILE* f, int threads, size_t chunks, size_t max_bytes,
                  const std::function<size_t(size_t chunk, char* buf)>& format);
