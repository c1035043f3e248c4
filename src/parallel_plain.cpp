// The reference build runs on one thread: the caller's thread does all the work.
#include <stdio.h>

#include <vector>

#include "parallel.h"

int available_cpus() {
  return 1;
}

int threads_for_values(long long) {
  return 1;
}

int idle_threads(int) {
  return 1;
}

void run_on_threads(int threads, const std::function<void(int)>& work) {
  for (int w = 0; w < threads; ++w) work(w);
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
