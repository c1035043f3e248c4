#include "parallel.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

int available_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int n = CPU_COUNT(&set);
  return n > 0 ? n : 1;
}

int threads_for_values(long long values, int max_threads) {
  // Below this a thread costs more than it saves.
  constexpr long long kThreadedValues = 1 << 17;
  return values < kThreadedValues ? 1 : std::max(1, max_threads);
}

namespace {

// The tasks running or ready to run system-wide, this thread included: the fourth field of
// /proc/loadavg ("1/123"), cheap enough to read before every piece of work. 0 where unreadable.
long running_tasks() {
  int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[128];
  ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return 0;
  text[got] = '\0';
  const char* slash = strchr(text, '/');
  if (slash == nullptr) return 0;
  const char* p = slash;
  while (p > text && p[-1] >= '0' && p[-1] <= '9') --p;
  return p < slash ? strtol(p, nullptr, 10) : 0;
}

}  // namespace

int idle_threads(int wanted, int own_awake) {
  if (wanted <= 1) return 1;
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  long best = 0;
  // A worker of this run that has just finished its part is still counted for the few
  // microseconds it takes to fall asleep, and would cost the next piece of work its threads:
  // a count that leaves CPUs short is taken again after such a moment, and the better one kept.
  for (int look = 0; look < 2 && best < wanted; ++look) {
    if (look > 0) {
      const timespec pause = {0, 50 * 1000};
      nanosleep(&pause, nullptr);
    }
    const long running = running_tasks();
    if (running == 0) return wanted;
    best = std::max(best, online - std::max(0L, running - 1 - own_awake));
  }
  return static_cast<int>(std::max(1L, std::min(static_cast<long>(wanted), best)));
}

using range_work = std::function<void(long long, long long)>;

// The shared state of a team: one piece of work at a time, handed to every thread at once.
struct team_state {
  std::mutex m;
  std::condition_variable wake;  // new work, or the end of the team
  std::condition_variable done;  // the last worker of the work has finished
  const range_work* work = nullptr;
  long long items = 0;
  int workers = 0;           // of the current work, the caller's thread included
  unsigned long rounds = 0;  // pieces of work handed out so far
  int running = 0;           // workers of the current work still busy, the caller's not counted
  bool stop = false;
  int max_threads = 1;
  bool started = false;
  std::vector<std::thread> threads;  // workers 1, 2, ...; worker 0 is the caller's thread
  // Workers not waiting for work: started and not yet asleep, or woken. They run for this team,
  // not beside it, so the count of other tasks leaves them out.
  std::atomic<int> awake{0};
};

namespace {

team_state* current_team = nullptr;
thread_local bool inside_worker = false;

void worker_loop(team_state* t, int index) {
  inside_worker = true;
  unsigned long seen = 0;
  std::unique_lock<std::mutex> lock(t->m);
  for (;;) {
    while (!t->stop && t->rounds == seen) {
      --t->awake;
      t->wake.wait(lock);
      ++t->awake;
    }
    if (t->stop) return;
    seen = t->rounds;
    if (index >= t->workers) continue;
    const long long first = part_start(t->items, t->workers, index);
    const long long last = part_start(t->items, t->workers, index + 1);
    const range_work* work = t->work;
    lock.unlock();
    (*work)(first, last);
    lock.lock();
    if (--t->running == 0) t->done.notify_one();
  }
}

// Starts the team's threads the first time more than one is wanted. They start with every
// signal but the fault ones blocked, so that signal handlers run on the main thread.
void start_threads(team_state* t) {
  if (t->started) return;
  t->started = true;
  const int n = std::min(t->max_threads, available_cpus());
  if (n <= 1) return;
  sigset_t all, old;
  sigfillset(&all);
  for (int sig : {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS}) sigdelset(&all, sig);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  for (int i = 1; i < n; ++i) {
    ++t->awake;
    try {
      t->threads.emplace_back(worker_loop, t, i);
    } catch (const std::system_error&) {
      --t->awake;
      break;  // no more threads to be had: those there are do the work
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void stop_threads(team_state* t) {
  {
    std::lock_guard<std::mutex> lock(t->m);
    t->stop = true;
  }
  t->wake.notify_all();
  for (std::thread& th : t->threads) th.join();
}

// The workers for a piece of work: as many as are wanted and started, but no more than the CPUs
// other tasks leave idle now. Asked afresh each time, so that a copy started beside another
// gives way while both run and takes every CPU once the other has ended.
int team_size(team_state* t, long long items, int threads) {
  if (items <= 1 || threads <= 1 || inside_worker) return 1;
  start_threads(t);
  const long long most = std::min<long long>(
      {static_cast<long long>(threads), items, static_cast<long long>(t->threads.size()) + 1});
  return most <= 1 ? 1 : idle_threads(static_cast<int>(most), t->awake.load());
}

void run_on_team(team_state* t, long long items, int workers, const range_work& work) {
  {
    std::lock_guard<std::mutex> lock(t->m);
    t->work = &work;
    t->items = items;
    t->workers = workers;
    t->running = workers - 1;
    ++t->rounds;
  }
  if (workers > 1) t->wake.notify_all();
  // What the caller's own part throws (a file that fails under --keep-going) leaves once the
  // other parts are done: they may still be writing into what the caller lets go.
  std::exception_ptr failed;
  inside_worker = true;
  try {
    work(0, part_start(items, workers, 1));
  } catch (...) {
    failed = std::current_exception();
  }
  inside_worker = false;
  std::unique_lock<std::mutex> lock(t->m);
  t->done.wait(lock, [&] { return t->running == 0; });
  if (failed) std::rethrow_exception(failed);
}

}  // namespace

worker_team::worker_team(int max_threads)
    : state_(std::make_unique<team_state>()), outer_(current_team) {
  state_->max_threads = std::max(1, max_threads);
  current_team = state_.get();
}

worker_team::~worker_team() {
  stop_threads(state_.get());
  current_team = outer_;
}

int parallel_workers(long long items, int threads) {
  if (items <= 0) return 0;
  if (inside_worker) return 1;
  if (current_team != nullptr) return team_size(current_team, items, threads);
  return static_cast<int>(std::min<long long>(items, idle_threads(std::max(1, threads))));
}

void parallel_for(long long items, int threads, const range_work& work) {
  if (items <= 0) return;
  if (inside_worker || threads <= 1 || items == 1) {
    work(0, items);
    return;
  }
  if (current_team != nullptr) {
    run_on_team(current_team, items, team_size(current_team, items, threads), work);
    return;
  }
  // No team for this work: one just for it.
  worker_team team(threads);
  run_on_team(current_team, items, team_size(current_team, items, threads), work);
}

namespace {

struct free_deleter {
  void operator()(char* p) const { free(p); }
};
using buffer = std::unique_ptr<char, free_deleter>;

struct sized_buffer {
  buffer b;
  size_t size = 0;
};

// Chunk buffers kept for the next result and the next file, so that each is faulted in once
// a run rather than once a result.
std::mutex pool_m;
std::vector<sized_buffer> pool;

// A buffer of at least `bytes` bytes from the pool (smaller ones go) or new; b null when none
// can be had.
sized_buffer take_buffer(size_t bytes) {
  {
    std::lock_guard<std::mutex> lock(pool_m);
    while (!pool.empty()) {
      sized_buffer s = std::move(pool.back());
      pool.pop_back();
      if (s.size >= bytes) return s;
    }
  }
  return {buffer(static_cast<char*>(malloc(bytes))), bytes};
}

void give_back(std::vector<sized_buffer>* spare) {
  std::lock_guard<std::mutex> lock(pool_m);
  for (sized_buffer& s : *spare) {
    if (s.b != nullptr) pool.push_back(std::move(s));
  }
  spare->clear();
}

// Chunks formatted out of order wait here until every chunk before them is written; whichever
// thread finds the next chunk ready writes it, so no thread waits for another to write.
struct ordered_output {
  std::mutex m;
  std::condition_variable room;     // a chunk was written: a thread held back may take another
  std::vector<sized_buffer> ready;  // by chunk, until written
  std::vector<size_t> length;
  std::vector<sized_buffer> spare;  // written buffers, for reuse
  size_t next_chunk = 0;            // the next chunk to hand out
  size_t next_write = 0;            // the next chunk to write
  bool writing = false;             // a thread is writing ready chunks
  bool failed = false;
};

}  // namespace

bool write_chunks(FILE* f, int threads, size_t chunks, size_t max_bytes,
                  const std::function<size_t(size_t, char*)>& format) {
  const int workers = std::max(1, parallel_workers(static_cast<long long>(chunks), threads));
  ordered_output out;
  out.ready.resize(chunks);
  out.length.resize(chunks);
  // Chunks a thread may run ahead of the writing, which bounds the memory held.
  const size_t ahead = 2 * static_cast<size_t>(workers);
  auto write_in_turn = [&]() {
    std::unique_lock<std::mutex> lock(out.m);
    for (;;) {
      out.room.wait(lock, [&] { return out.next_chunk < out.next_write + ahead || out.failed; });
      if (out.next_chunk >= chunks || out.failed) return;
      size_t c = out.next_chunk++;
      sized_buffer buf;
      if (!out.spare.empty()) {
        buf = std::move(out.spare.back());
        out.spare.pop_back();
      }
      lock.unlock();
      if (buf.b == nullptr) buf = take_buffer(max_bytes);
      size_t n = buf.b != nullptr ? format(c, buf.b.get()) : 0;
      lock.lock();
      if (buf.b == nullptr) {
        out.failed = true;
        out.room.notify_all();
        return;
      }
      out.ready[c] = std::move(buf);
      out.length[c] = n;
      if (out.writing) continue;
      out.writing = true;
      while (out.next_write < chunks && out.ready[out.next_write].b != nullptr) {
        sized_buffer b = std::move(out.ready[out.next_write]);
        size_t len = out.length[out.next_write];
        lock.unlock();
        bool ok = fwrite(b.b.get(), 1, len, f) == len;
        lock.lock();
        if (!ok) out.failed = true;
        out.spare.push_back(std::move(b));
        ++out.next_write;
        out.room.notify_all();
      }
      out.writing = false;
    }
  };
  // One range for each worker: each takes chunks as they come.
  parallel_for(workers, workers, [&](long long first, long long last) {
    for (long long w = first; w < last; ++w) write_in_turn();
  });
  give_back(&out.spare);
  return !out.failed && out.next_write == chunks;
}
