// Running the built binary: started with prepared descriptors, limits and signals, held at a
// fixed point of its messages, started together with others, or traced.
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "test_util.h"

#ifndef ANASIG_BIN
#define ANASIG_BIN "anasig"
#endif

std::string anasig_bin() {
  return ANASIG_BIN;
}

bool sanitizer_build() {
  return read_text(anasig_bin()).find("__asan_init") != std::string::npos;
}

pid_t spawn(const std::string& dir, const std::vector<std::string>& args, const child_opts& o) {
  std::string bin = o.bin.empty() ? anasig_bin() : o.bin;
  std::vector<std::string> full;
  if (o.prefix.empty()) {
    full = args;
  } else {
    full = o.prefix;
    full.push_back(bin);
    full.insert(full.end(), args.begin() + 1, args.end());
    bin = o.prefix[0];
  }
  std::vector<char*> argv;
  for (const std::string& a : full) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (o.gate_w >= 0) close(o.gate_w);
  if (o.gate >= 0) {
    char c;
    while (read(o.gate, &c, 1) > 0) {
    }
  }
  if (chdir(dir.c_str()) != 0) _exit(127);
  int fi = o.in_fd >= 0 ? o.in_fd : open("/dev/null", O_RDONLY);
  int fo = o.out_fd >= 0 ? o.out_fd : open(o.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int fe = o.err_fd >= 0 ? o.err_fd : open(o.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fi < 0 || fo < 0 || fe < 0) _exit(127);
  dup2(fi, 0);
  dup2(fo, 1);
  dup2(fe, 2);
  for (int fd : o.closed) close(fd);
  if (o.fd3 == 3) {
    fcntl(3, F_SETFD, 0);
  } else if (o.fd3 >= 0) {
    dup2(o.fd3, 3);
  }
  if (o.fsize != RLIM_INFINITY) {
    struct rlimit rl = {o.fsize, o.fsize};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(126);
  }
  if (o.data != RLIM_INFINITY) {
    struct rlimit rl = {o.data, o.data};
    if (setrlimit(RLIMIT_DATA, &rl) != 0) _exit(126);
  }
  // Whoever started the tests (a background job ignores SIGINT) must not decide for the run.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
  }
  for (int sig : o.ignored) signal(sig, SIG_IGN);
  if (o.as_nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
    _exit(126);
  }
  if (o.traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(125);
  execv(bin.c_str(), argv.data());
  _exit(127);
}

outcome finish(pid_t pid) {
  int st = 0;
  outcome r;
  if (waitpid(pid, &st, 0) != pid) return r;
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  if (WIFSIGNALED(st)) r.sig = WTERMSIG(st);
  return r;
}

outcome run(const std::string& dir, const std::vector<std::string>& args, child_opts o) {
  temp_dir io;
  bool own_out = o.out == "/dev/null" && o.out_fd < 0,
       own_err = o.err == "/dev/null" && o.err_fd < 0;
  if (own_out) o.out = io / "out";
  if (own_err) o.err = io / "err";
  outcome r = finish(spawn(dir, args, o));
  if (own_out) r.out = read_text(o.out);
  if (own_err) r.err = read_text(o.err);
  return r;
}

run_result run_anasig(const std::string& dir, const std::vector<std::string>& args,
                      const std::string& input) {
  // Standard input is a pipe, filled before the start: inputs must fit its buffer.
  int in[2];
  if (pipe(in) != 0) throw std::runtime_error("pipe failed");
  if (!input.empty() && write(in[1], input.data(), input.size()) != ssize_t(input.size()))
    throw std::runtime_error("input does not fit the pipe");
  close(in[1]);
  child_opts o;
  o.in_fd = in[0];
  outcome r = run(dir, args, o);
  close(in[0]);
  return run_result{r.sig != 0 ? 128 + r.sig : r.status, r.out, r.err};
}

std::vector<outcome> run_together(const std::string& dir,
                                  const std::vector<std::vector<std::string>>& argvs) {
  temp_dir io;
  int gate[2];
  if (pipe2(gate, O_CLOEXEC) != 0) return {};
  std::vector<pid_t> pids;
  for (size_t i = 0; i < argvs.size(); ++i) {
    child_opts o;
    o.gate = gate[0];
    o.gate_w = gate[1];
    o.out = io / ("out" + std::to_string(i));
    o.err = io / ("err" + std::to_string(i));
    pids.push_back(spawn(dir, argvs[i], o));
  }
  close(gate[1]);
  close(gate[0]);
  std::vector<outcome> rs;
  for (size_t i = 0; i < pids.size(); ++i) {
    outcome r = finish(pids[i]);
    r.out = read_text(io / ("out" + std::to_string(i)));
    r.err = read_text(io / ("err" + std::to_string(i)));
    rs.push_back(r);
  }
  return rs;
}

bool start_blocked(const std::string& dir, const std::vector<std::string>& args, size_t room,
                   blocked_run* b, std::vector<int> ignored) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return false;
  if (fcntl(p[1], F_SETPIPE_SZ, 4096) != 4096) {
    close(p[0]);
    close(p[1]);
    return false;
  }
  b->filler.assign(4096 - room, 'x');
  if (write(p[1], b->filler.data(), b->filler.size()) != ssize_t(b->filler.size())) return false;
  child_opts o;
  o.err_fd = p[1];
  o.ignored = std::move(ignored);
  b->pid = spawn(dir, args, o);
  close(p[1]);
  b->err = p[0];
  return true;
}

bool wait_blocked(const blocked_run& b) {
  const std::string sys = "/proc/" + std::to_string(b.pid) + "/syscall";
  return wait_for(
      [&] {
        int queued = 0;
        return ioctl(b.err, FIONREAD, &queued) == 0 && queued == 4096 &&
               read_text(sys).rfind("1 0x2 ", 0) == 0;
      },
      60);
}

outcome finish_blocked(blocked_run* b) {
  std::string err;
  char buf[65536];
  ssize_t got;
  while ((got = read(b->err, buf, sizeof buf)) > 0) err.append(buf, got);
  close(b->err);
  outcome r = finish(b->pid);
  if (err.compare(0, b->filler.size(), b->filler) == 0) {
    r.err = err.substr(b->filler.size());
  } else {
    r.err = "(filler lost) " + err;
  }
  return r;
}

int signal_after_open(pid_t pid, const std::string& prefix, int sig, int* raw) {
  int st = 0;
  if (waitpid(pid, &st, 0) != pid) return -1;
  if (!WIFSTOPPED(st)) {
    *raw = st;
    return WIFEXITED(st) && WEXITSTATUS(st) == 125 ? -1 : 0;
  }
  if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) {
    return -1;
  }
  unsigned long long nr = ~0ULL;
  long deliver = 0;
  for (;;) {
    if (ptrace(PTRACE_SYSCALL, pid, nullptr, deliver) != 0) return -1;
    deliver = 0;
    if (waitpid(pid, &st, 0) != pid) return -1;
    if (!WIFSTOPPED(st)) {
      *raw = st;
      return 0;
    }
    if (WSTOPSIG(st) != (SIGTRAP | 0x80)) {
      deliver = WSTOPSIG(st);  // an ordinary signal: pass it on
      continue;
    }
    struct __ptrace_syscall_info info;
    memset(&info, 0, sizeof info);
    if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0) return -1;
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
      nr = info.entry.nr;
    } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && nr == SYS_openat && !info.exit.is_error) {
      char target[PATH_MAX];
      const std::string fd =
          "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(info.exit.rval);
      ssize_t n = readlink(fd.c_str(), target, sizeof target - 1);
      if (n > 0) {
        target[n] = '\0';
        const char* slash = strrchr(target, '/');
        if (strncmp(slash != nullptr ? slash + 1 : target, prefix.c_str(), prefix.size()) == 0) {
          kill(pid, sig);
          ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
          return 1;
        }
      }
    }
  }
}
