#include "result_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fatal.h"
#include "settings.h"

namespace {

// 0666 less the umask, as a newly created file gets it.
mode_t new_file_mode() {
  static const mode_t mode = [] {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
  }();
  return mode;
}

// Follows symbolic links from path to the name that holds the content; *st describes it when
// it exists. Gives path itself when the links go round, so that the open reports it.
// *creatable tells whether a missing name could be created, as far as the name itself goes.
bool resolve_target(const char* path, std::string* target, struct stat* st, bool* creatable) {
  std::string p = path;
  *creatable = false;
  for (int hops = 0; hops < 40; ++hops) {
    if (lstat(p.c_str(), st) != 0) {
      *target = p;
      *creatable = errno == ENOENT;
      return false;
    }
    if (!S_ISLNK(st->st_mode)) {
      *target = p;
      return true;
    }
    std::vector<char> link(static_cast<size_t>(st->st_size > 0 ? st->st_size : PATH_MAX) + 1);
    ssize_t n = readlink(p.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<size_t>(n) >= link.size()) break;
    std::string to(link.data(), static_cast<size_t>(n));
    size_t slash = p.rfind('/');
    p = to[0] == '/' || slash == std::string::npos ? to : p.substr(0, slash + 1) + to;
  }
  *target = path;
  return stat(path, st) == 0;
}

// Opens a FIFO only when a reader is there, then writes to it as to any stream.
FILE* open_fifo(const char* path) {
  int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  int fl = fcntl(fd, F_GETFL);
  FILE* f = fl == -1 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0 ? nullptr : fdopen(fd, "w");
  if (f == nullptr) close(fd);
  return f;
}

// A folder that refuses new files, where a result may still be written in place.
bool refuses_new_files(int err) {
  return err == EACCES || err == EPERM || err == EROFS;
}

}  // namespace

bool result_input_is_stream = false;

// The refusal of a result name, with the system's reason and, where one helps, the way out.
[[noreturn]] static void refuse(const char* path, const std::string& target, int err) {
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  const char* hint = "";
  if (result_input_is_stream && output_dir == nullptr) {
    hint = "  (results of a pipe need --output-dir=DIR)\n";
  } else if (access(folder.c_str(), W_OK) != 0) {
    hint = "  (--output-dir=DIR writes the results elsewhere)\n";
  }
  fatal("Couldn't open %s for writing.\n  %s\n%s", path, strerror(err), hint);
}

bool open_result(result_file* r, const char* path, bool early) {
  r->path = path;
  struct stat st;
  bool creatable;
  bool exists = resolve_target(path, &r->target, &st, &creatable);
  // Held off until the file is tracked, so that no signal can leave it behind.
  sigset_t old;
  hold_ending_signals(&old);
  FILE* direct = nullptr;
  int err = errno;
  bool deferred = false;
  if (exists && S_ISFIFO(st.st_mode)) {
    direct = open_fifo(path);
    err = errno;
  } else if ((exists && !S_ISREG(st.st_mode)) || (!exists && !creatable)) {
    // A device; or a folder, an overlong name or a loop of links, which fail here as they should.
    direct = fopen(path, "we");
    err = errno;
  } else {
    mode_t mode = new_file_mode();
    bool allowed = true;
    if (exists) {
      // The open for writing answers whether this user may replace the file; it changes nothing.
      int probe = open(r->target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      allowed = probe >= 0;
      err = errno;
      if (probe >= 0) close(probe);
      mode = st.st_mode & 0777;
    }
    if (allowed) {
      r->f = temp_create(r->target.c_str(), mode, &r->id);
      err = errno;
    }
    // Only a folder that takes no new file has the result written in place; any other failure
    // (a full disk, no inode left) leaves the old result as it is. Before the input is read,
    // the existing result is left alone: the input may be that very file.
    if (allowed && r->f == nullptr && refuses_new_files(err)) {
      deferred = early && exists;
      if (!deferred) {
        direct = fopen(path, "we");
        err = errno;
      }
    }
  }
  if (direct != nullptr) {
    r->f = direct;
    temp_track(path, direct, &r->id);
  }
  release_ending_signals(&old);
  if (r->f == nullptr && !deferred) refuse(path, r->target, err);
  return r->f != nullptr;
}

// An incomplete file is removed on the way out, with every other unfinished file of the run.
void close_result(result_file* r, bool write_failed) {
  bool ok = !write_failed && fflush(r->f) == 0 && !ferror(r->f);
  ok = fclose(r->f) == 0 && ok;
  r->f = nullptr;
  if (!ok) {
    fatal("Couldn't write %s.\n", r->path);
  }
}

void commit_results(result_file* results, int count) {
  std::vector<tracked_file> ids;
  for (int t = 0; t < count; ++t) ids.push_back(results[t].id);
  const int done = temp_commit(ids.data(), count);
  if (done < count) fatal("Couldn't write %s.\n", results[done].path);
  for (int t = 0; t < count; ++t) results[t] = result_file{};
}
