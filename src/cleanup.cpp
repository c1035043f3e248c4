#include "cleanup.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <initializer_list>

// At most a result file and a wisdom file are unfinished at any time.
static unfinished_file* volatile tracked[2];

void cleanup_track(unfinished_file* u, const char* path, FILE* stream) {
  struct stat st;
  u->regular = fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode);
  u->dev = st.st_dev;
  u->ino = st.st_ino;
  u->path = path;
  for (auto& slot : tracked) {
    if (slot == nullptr) {
      slot = u;
      break;
    }
  }
}

void cleanup_untrack(unfinished_file* u) {
  for (auto& slot : tracked) {
    if (slot == u) slot = nullptr;
  }
}

void cleanup_remove(const unfinished_file* u) {
  struct stat st;
  // Never a device, and never a file that has since been put in place of ours.
  if (u->path != nullptr && u->regular && lstat(u->path, &st) == 0 && st.st_dev == u->dev &&
      st.st_ino == u->ino) {
    unlink(u->path);
  }
}

static void interrupting_signals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
}

void cleanup_hold_signals(sigset_t* old) {
  sigset_t set;
  interrupting_signals(&set);
  sigprocmask(SIG_BLOCK, &set, old);
}

void cleanup_release_signals(const sigset_t* old) {
  sigprocmask(SIG_SETMASK, old, nullptr);
}

void cleanup_remove_all() {
  for (auto& slot : tracked) {
    if (slot != nullptr) cleanup_remove(slot);
  }
}

static void on_signal(int sig) {
  cleanup_remove_all();
  signal(sig, SIG_DFL);
  raise(sig);
}

void install_signal_cleanup() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  interrupting_signals(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    // A signal the caller chose to ignore stays ignored (nohup, background jobs).
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
  // Past a file size limit a write fails with EFBIG and is reported, instead of killing the run.
  signal(SIGXFSZ, SIG_IGN);
}
