#include "tempfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

namespace {

// One tracked file. Its names live as long as the process: exit handlers and signal handlers
// read them after every destructor may have run.
struct entry {
  volatile sig_atomic_t in_use;
  bool temporary;  // renamed over target on commit; else written under its own name
  bool regular;    // only a regular file is ever removed
  dev_t dev;
  ino_t ino;
  char path[PATH_MAX];    // the file being written
  char target[PATH_MAX];  // where a temporary file is put in place
};

constexpr int kPerChunk = 64;
constexpr int kMaxChunks = 1024;
// Chunks of entries come from calloc as they are needed and are never given back.
entry* volatile chunks[kMaxChunks];

entry* at(tracked_file id) {
  return &chunks[id / kPerChunk][id % kPerChunk];
}

// A free entry, or null (errno ENOMEM) when none can be had; called with signals held.
entry* free_entry(tracked_file* id) {
  for (int c = 0; c < kMaxChunks; ++c) {
    if (chunks[c] == nullptr) {
      chunks[c] = static_cast<entry*>(calloc(kPerChunk, sizeof(entry)));
      if (chunks[c] == nullptr) break;
    }
    for (int i = 0; i < kPerChunk; ++i) {
      if (!chunks[c][i].in_use) {
        *id = c * kPerChunk + i;
        return &chunks[c][i];
      }
    }
  }
  errno = ENOMEM;
  return nullptr;
}

// Removes the file if it still is the regular file that was opened; async-signal-safe.
void remove_file(const entry* e) {
  struct stat st;
  // Never a device, and never a file that has since been put in place of ours.
  if (e->regular && lstat(e->path, &st) == 0 && st.st_dev == e->dev && st.st_ino == e->ino) {
    unlink(e->path);
  }
}

// Starts tracking the file open on fd under e->path.
void track(entry* e, int fd, bool temporary) {
  struct stat st;
  e->regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  e->dev = st.st_dev;
  e->ino = st.st_ino;
  e->temporary = temporary;
  e->in_use = 1;
}

// "." + name + ".XXXXXX" beside target, the name cut from its start so that the file name
// stays within NAME_MAX and the path within PATH_MAX; false when even an empty name would not.
bool temp_name(const char* target, std::string* tmp) {
  const std::string t = target;
  const size_t slash = t.rfind('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  const size_t kExtra = 8;  // the dot in front and ".XXXXXX"
  if (base + kExtra >= PATH_MAX) return false;
  const size_t room = std::min<size_t>(NAME_MAX - kExtra, PATH_MAX - 1 - kExtra - base);
  std::string name = t.substr(base);
  if (name.size() > room) name.erase(0, name.size() - room);
  *tmp = t.substr(0, base) + "." + name + ".XXXXXX";
  return true;
}

// The folder a target stands in, opened for its lock; -1 when it cannot be opened.
int open_folder(const char* target) {
  const char* slash = strrchr(target, '/');
  std::string dir = slash == nullptr ? "." : std::string(target, slash + 1);
  return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

struct folder_lock {
  int fd;
  dev_t dev;
  ino_t ino;
};

// Locks each distinct folder of the temporary files once, in the order of device and inode,
// so that two runs locking the same folders never wait for each other in a circle.
std::vector<folder_lock> lock_folders(const tracked_file* ids, int count) {
  std::vector<folder_lock> locks;
  for (int t = 0; t < count; ++t) {
    const entry* e = at(ids[t]);
    if (!e->temporary) continue;
    int fd = open_folder(e->target);
    struct stat st;
    if (fd < 0) continue;  // a folder this user cannot read is renamed into without a lock
    if (fstat(fd, &st) != 0 || std::any_of(locks.begin(), locks.end(), [&](const folder_lock& l) {
          return l.dev == st.st_dev && l.ino == st.st_ino;
        })) {
      close(fd);
      continue;
    }
    locks.push_back({fd, st.st_dev, st.st_ino});
  }
  std::sort(locks.begin(), locks.end(), [](const folder_lock& a, const folder_lock& b) {
    return std::tie(a.dev, a.ino) < std::tie(b.dev, b.ino);
  });
  for (const folder_lock& l : locks) {
    while (flock(l.fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  return locks;
}

}  // namespace

FILE* temp_create(const char* target, mode_t mode, tracked_file* id) {
  *id = kNoFile;
  std::string tmp;
  if (strlen(target) >= PATH_MAX || !temp_name(target, &tmp)) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  sigset_t old;
  hold_ending_signals(&old);
  FILE* f = nullptr;
  int err = 0;
  tracked_file slot;
  if (entry* e = free_entry(&slot)) {
    memcpy(e->path, tmp.c_str(), tmp.size() + 1);
    strcpy(e->target, target);
    int fd = mkostemp(e->path, O_CLOEXEC);
    if (fd >= 0) {
      f = fchmod(fd, mode) == 0 ? fdopen(fd, "w") : nullptr;
      if (f == nullptr) {
        err = errno;
        close(fd);
        unlink(e->path);
      } else {
        track(e, fd, true);
        *id = slot;
      }
    } else {
      err = errno;
    }
  } else {
    err = errno;
  }
  release_ending_signals(&old);
  if (f == nullptr) errno = err;
  return f;
}

void temp_track(const char* path, FILE* stream, tracked_file* id) {
  *id = kNoFile;
  sigset_t old;
  hold_ending_signals(&old);
  tracked_file slot;
  entry* e = strlen(path) < PATH_MAX ? free_entry(&slot) : nullptr;
  if (e != nullptr) {
    strcpy(e->path, path);
    e->target[0] = '\0';
    track(e, fileno(stream), false);
    *id = slot;
  }
  release_ending_signals(&old);
}

int temp_commit(const tracked_file* ids, int count) {
  sigset_t old;
  hold_ending_signals(&old);
  std::vector<folder_lock> locks = lock_folders(ids, count);
  int done = 0;
  int err = 0;
  for (; done < count; ++done) {
    if (ids[done] == kNoFile) continue;
    entry* e = at(ids[done]);
    if (e->temporary && rename(e->path, e->target) != 0) {
      err = errno;
      break;
    }
    e->in_use = 0;
  }
  for (const folder_lock& l : locks) close(l.fd);  // which releases the locks
  release_ending_signals(&old);
  errno = err;
  return done;
}

void temp_abandon(tracked_file id) {
  if (id == kNoFile) return;
  sigset_t old;
  hold_ending_signals(&old);
  entry* e = at(id);
  if (e->in_use) remove_file(e);
  e->in_use = 0;
  release_ending_signals(&old);
}

void temp_remove_all() {
  for (int c = 0; c < kMaxChunks && chunks[c] != nullptr; ++c) {
    for (int i = 0; i < kPerChunk; ++i) {
      if (chunks[c][i].in_use) remove_file(&chunks[c][i]);
    }
  }
}

void temp_abandon_all() {
  sigset_t old;
  hold_ending_signals(&old);
  for (int c = 0; c < kMaxChunks && chunks[c] != nullptr; ++c) {
    for (int i = 0; i < kPerChunk; ++i) {
      if (chunks[c][i].in_use) remove_file(&chunks[c][i]);
      chunks[c][i].in_use = 0;
    }
  }
  release_ending_signals(&old);
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

void hold_ending_signals(sigset_t* old) {
  sigset_t set;
  asynchronous_signals(&set);
  sigprocmask(SIG_BLOCK, &set, old);
}

void release_ending_signals(const sigset_t* old) {
  sigprocmask(SIG_SETMASK, old, nullptr);
}

static void on_signal(int sig) {
  temp_remove_all();
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
}
