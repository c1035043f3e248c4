#include "parallel.h"

#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "settings.h"

int available_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int n = CPU_COUNT(&set);
  return n > 0 ? n : 1;
}

int threads_for_values(long long values) {
  // Below this a thread costs more than it saves.
  constexpr long long kThreadedValues = 1 << 17;
  return values < kThreadedValues ? 1 : std::max(1, jobs);
}

int idle_threads(int wanted) {
  if (wanted <= 1) return 1;
  // The tasks that are running or ready to run, this one included, system-wide.
  FILE* f = fopen("/proc/stat", "re");
  if (f == nullptr) return wanted;
  long running = 1;
  char line[256];
  while (fgets(line, sizeof line, f) != nullptr) {
    if (sscanf(line, "procs_running %ld", &running) == 1) break;
  }
  fclose(f);
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  long idle = online - (running - 1);
  return static_cast<int>(std::max(1L, std::min(static_cast<long>(wanted), idle)));
}

void run_on_threads(int threads, const std::function<void(int)>& work) {
  std::vector<std::thread> others;
  const int started = idle_threads(threads);
  int w = 1;
  for (; w < started; ++w) {
    try {
      others.emplace_back(work, w);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: this one does the rest
    }
  }
  work(0);
  for (; w < threads; ++w) work(w);
  for (std::thread& t : others) t.join();
}

namespace {

struct free_deleter {
  void operator()(char* p) const { free(p); }
};
using buffer = std::unique_ptr<char, free_deleter>;

// Chunks formatted out of order wait here until every chunk before them is written; whichever
// thread finds the next chunk ready writes it, so no thread waits for another to write.
struct ordered_output {
  std::mutex m;
  std::condition_variable room;  // a chunk was written: a thread held back may take another
  std::vector<buffer> ready;     // by chunk, until written
  std::vector<size_t> length;
  std::vector<buffer> spare;  // written buffers, for reuse
  size_t next_chunk = 0;      // the next chunk to hand out
  size_t next_write = 0;      // the next chunk to write
  bool writing = false;       // a thread is writing ready chunks
  bool failed = false;
};

}  // namespace

bool write_chunks(FILE* f, int threads, size_t chunks, size_t max_bytes,
                  const std::function<size_t(size_t, char*)>& format) {
  if (threads > static_cast<int>(chunks)) threads = chunks > 0 ? static_cast<int>(chunks) : 1;
  ordered_output out;
  out.ready.resize(chunks);
  out.length.resize(chunks);
  // Chunks a thread may run ahead of the writing, which bounds the memory held.
  const size_t ahead = 2 * static_cast<size_t>(threads);
  run_on_threads(threads, [&](int) {
    std::unique_lock<std::mutex> lock(out.m);
    for (;;) {
      out.room.wait(lock, [&] { return out.next_chunk < out.next_write + ahead || out.failed; });
      if (out.next_chunk >= chunks || out.failed) return;
      size_t c = out.next_chunk++;
      buffer buf;
      if (!out.spare.empty()) {
        buf = std::move(out.spare.back());
        out.spare.pop_back();
      }
      lock.unlock();
      if (buf == nullptr) buf.reset(static_cast<char*>(malloc(max_bytes)));
      size_t n = buf != nullptr ? format(c, buf.get()) : 0;
      lock.lock();
      if (buf == nullptr) {
        out.failed = true;
        out.room.notify_all();
        return;
      }
      out.ready[c] = std::move(buf);
      out.length[c] = n;
      if (out.writing) continue;
      out.writing = true;
      while (out.next_write < chunks && out.ready[out.next_write] != nullptr) {
        buffer b = std::move(out.ready[out.next_write]);
        size_t len = out.length[out.next_write];
        lock.unlock();
        bool ok = fwrite(b.get(), 1, len, f) == len;
        lock.lock();
        if (!ok) out.failed = true;
        out.spare.push_back(std::move(b));
        ++out.next_write;
        out.room.notify_all();
      }
      out.writing = false;
    }
  });
  return !out.failed && out.next_write == chunks;
}
