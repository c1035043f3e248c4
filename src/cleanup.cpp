#include "cleanup.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <initializer_list>

// Five result files and a wisdom file are the most that are unfinished at once.
static unfinished_file* volatile tracked[8];

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

// Signals raised by a faulting instruction are delivered at once even when blocked; the
// others can wait until a file is tracked.
static const int kFaultSignals[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};
static const int kEndingSignals[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGUSR1,   SIGUSR2,
                                     SIGPIPE,   SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,
                                     SIGVTALRM, SIGPROF, SIGIO,   SIGPWR};

static void asynchronous_signals(sigset_t* set) {
  sigemptyset(set);
  for (int sig : kEndingSignals) sigaddset(set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(set, sig);
}

void cleanup_hold_signals(sigset_t* old) {
  sigset_t set;
  asynchronous_signals(&set);
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

static void catch_signal(int sig, const struct sigaction& sa) {
  struct sigaction old;
  // A signal the caller chose to ignore stays ignored (nohup, background jobs), and one that
  // already has a handler (a sanitizer's) keeps it.
  if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;
  sigaction(sig, &sa, nullptr);
}

void install_signal_cleanup() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  asynchronous_signals(&sa.sa_mask);
  for (int sig : kEndingSignals) catch_signal(sig, sa);
  for (int sig : kFaultSignals) catch_signal(sig, sa);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) catch_signal(sig, sa);
  // Past a file size limit a write fails with EFBIG and is reported, instead of killing the run.
  signal(SIGXFSZ, SIG_IGN);
  atexit(cleanup_remove_all);
}
