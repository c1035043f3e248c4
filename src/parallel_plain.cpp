// The reference build runs on one thread: the caller's thread does all the work.
#include <stdio.h>

#include <vector>

#include "parallel.h"

struct team_state {};

int available_cpus() {
  return 1;
}

int threads_for_values(long long, int) {
  return 1;
}

int idle_threads(int, int) {
  return 1;
}

worker_team::worker_team(int) : outer_(nullptr) {}
worker_team::~worker_team() = default;

int parallel_workers(long long items, int) {
  return items > 0 ? 1 : 0;
}

void parallel_for(long long items, int, const std::function<void(long long, long long)>& work) {
  if (items > 0) work(0, items);
}

bool write_chunks(FILE* f, int, size_t chunks, size_t max_bytes,
                  const std::function<size_t(size_t, char*)>& format) {
  std::vector<char> buf(max_bytes);
  bool ok = true;
  for (size_t c = 0; c < chunks && ok; ++c) {
    size_t n = format(c, buf.data());
    ok = fwrite(buf.data(), 1, n, f) == n;
  }
  return ok;
}
