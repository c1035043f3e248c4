#include "logfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

// Lets a test make exactly one allocation size fail, to reach the out-of-memory path.
// AddressSanitizer owns malloc in its builds, so the test is skipped there.
static size_t fail_malloc_size = 0;
#ifndef __SANITIZE_ADDRESS__
extern "C" void* __libc_malloc(size_t size);
extern "C" void* malloc(size_t size) noexcept {
  if (fail_malloc_size != 0 && size == fail_malloc_size) return nullptr;
  return __libc_malloc(size);
}
#endif

namespace {

class LogfileTest : public ::testing::Test {
 protected:
  temp_dir tmp_;
  std::string dir_ = tmp_.path;
  std::string log_ = tmp_ / "run.log";
};

void call_flogfile(const std::string& path, std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  flogfile(path.c_str(), static_cast<int>(args.size()), argv.data());
}

// The line without its 19-byte time stamp, or a marker when the stamp is malformed.
std::string after_stamp(const std::string& line) {
  if (!is_time_stamp(line)) return "<bad stamp: " + line + ">";
  return line.substr(19);
}

TEST_F(LogfileTest, StampIsLocalTimeNow) {
  time_t before = time(nullptr);
  call_flogfile(log_, {"prog"});
  time_t after = time(nullptr);
  std::string text = read_text(log_);
  ASSERT_EQ(text.size(), 19u + 5u + 1u) << text;
  ASSERT_TRUE(is_time_stamp(text)) << text;
  EXPECT_EQ(text.substr(19), " prog\n");

  struct tm tm = {};
  const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(end - text.c_str(), 19);
  tm.tm_isdst = -1;
  time_t logged = mktime(&tm);
  EXPECT_GE(logged, before - 2);
  EXPECT_LE(logged, after + 2);
}

TEST_F(LogfileTest, QuotesElementsWithSpaceCommaOrAsterisk) {
  struct Case {
    std::string arg;
    std::string logged;
  };
  const std::vector<Case> cases = {
      {"data.txt", " data.txt"},
      {"-i", " -i"},
      {"", " "},
      {"my data.txt", " \"my data.txt\""},
      {"a,b", " \"a,b\""},
      {"x*", " \"x*\""},
      {" ", " \" \""},
      {"--title=a b", " --title=\"a b\""},
      {"--title=a=b c", " --title=\"a=b c\""},
      {"--t,x=1", " --t,x=\"1\""},
      {"--=a b", " --=\"a b\""},
      {"--x= ", " --x=\" \""},
      {"--x y", " \"--x y\""},
      {"-t=a b", " \"-t=a b\""},
      {"x--t=a b", " \"x--t=a b\""},
      {"a\"b c", " \"a\\\"b c\""},
      {"a\\b c", " \"a\\\\b c\""},
      {"--m=\"q\\\" *", " --m=\"\\\"q\\\\\\\" *\""},
      {"a\"b\\c", " a\"b\\c"},
      {"--t=\"x\"", " --t=\"x\""},
      {"a\nb", " \"a\\nb\""},
      {"\r", " \"\\r\""},
      {"--t=x\r\ny", " --t=\"x\\r\\ny\""},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string path = dir_ + "/case" + std::to_string(i);
    call_flogfile(path, {"anasig", cases[i].arg});
    EXPECT_EQ(after_stamp(read_text(path)), " anasig" + cases[i].logged + "\n")
        << "argument [" << cases[i].arg << "]";
  }

  call_flogfile(log_, {"./anasig", "-i", "0.5", "--title=a b", "my data.txt", "data.txt"});
  EXPECT_EQ(after_stamp(read_text(log_)),
            " ./anasig -i 0.5 --title=\"a b\" \"my data.txt\" data.txt\n");
}

TEST_F(LogfileTest, AppendsAndNeverTruncates) {
  {
    std::ofstream out(log_, std::ios::binary);
    out << "earlier line\n";
  }
  call_flogfile(log_, {"p", "1"});
  call_flogfile(log_, {"p", "2"});
  call_flogfile(log_, {"p"});
  std::vector<std::string> lines = split_lines(read_text(log_));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "earlier line");
  EXPECT_EQ(after_stamp(lines[1]), " p 1");
  EXPECT_EQ(after_stamp(lines[2]), " p 2");
  EXPECT_EQ(after_stamp(lines[3]), " p");
  EXPECT_EQ(read_text(log_).back(), '\n');
}

TEST_F(LogfileTest, NewFileModeFollowsUmask) {
  mode_t old = umask(002);
  call_flogfile(log_, {"p"});
  umask(old);
  struct stat st;
  ASSERT_EQ(stat(log_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
}

TEST_F(LogfileTest, LogfileWritesNamedFileInCurrentDirectory) {
  char* cwd = getcwd(nullptr, 0);
  ASSERT_NE(cwd, nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  std::vector<std::string> args = {"anasig", "x y"};
  std::vector<char*> argv = {args[0].data(), args[1].data(), nullptr};
  logfile(2, argv.data());
  ASSERT_EQ(chdir(cwd), 0);
  free(cwd);
  EXPECT_EQ(after_stamp(read_text(dir_ + "/logfile")), " anasig \"x y\"\n");
}

TEST_F(LogfileTest, DirectoryInPlaceOfLogReportsOnceAndGoesOn) {
  ASSERT_EQ(mkdir(log_.c_str(), 0755), 0);
  std::string err_path = dir_ + "/stderr.txt";
  fflush(stderr);
  int saved = dup(2);
  ASSERT_GE(saved, 0);
  int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(err_fd, 0);
  dup2(err_fd, 2);
  close(err_fd);
  call_flogfile(log_, {"anasig", "-i", "0.5", "data.txt"});
  fflush(stderr);
  dup2(saved, 2);
  close(saved);

  EXPECT_EQ(read_text(err_path), "No logfile entry\n");
  struct stat st;
  ASSERT_EQ(stat(log_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(std::filesystem::is_empty(log_));
}

TEST_F(LogfileTest, UnquotedWhenEscapedCopyCannotBeAllocated) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "malloc cannot be replaced under AddressSanitizer";
#endif
  // Odd length keeps this size unlikely to be requested by anything else.
  std::string odd = "no memory " + std::string(4987, 'm');
  std::vector<std::string> args = {"p", odd, "a b", "--v=" + odd, "z"};
  fail_malloc_size = odd.size() + 1;
  call_flogfile(log_, std::move(args));
  fail_malloc_size = 0;
  EXPECT_EQ(after_stamp(read_text(log_)), " p " + odd + " \"a b\" --v=" + odd + " z\n");
}

TEST_F(LogfileTest, ConcurrentRunsLeaveWholeLines) {
  constexpr int kChildren = 32;
  constexpr int kElements = 200;
  std::vector<std::vector<std::string>> argvs(kChildren);
  std::map<std::string, int> expected;  // line without stamp -> child
  for (int c = 0; c < kChildren; ++c) {
    char tag[16];
    snprintf(tag, sizeof tag, "c%02d", c);
    std::vector<std::string>& args = argvs[c];
    std::string line = std::string(" prog") + tag;
    args.push_back(std::string("prog") + tag);
    for (int e = 0; e < kElements; ++e) {
      std::string id = std::string(tag) + "e" + std::to_string(e);
      std::string arg, logged;
      switch (e % 4) {
        case 0:  // plain
          arg = id + std::string(100 - id.size(), 'p');
          logged = " " + arg;
          break;
        case 1:  // space, with a backslash to escape
          arg = id + " \\" + std::string(98 - id.size(), 's');
          logged = " \"" + id + " \\\\" + std::string(98 - id.size(), 's') + "\"";
          break;
        case 2:  // long option whose value has a comma
          arg = "--" + id + "=," + std::string(96 - id.size(), 'v');
          logged = " --" + id + "=\"," + std::string(96 - id.size(), 'v') + "\"";
          break;
        default:  // asterisk and a double quote
          arg = id + "*\"" + std::string(98 - id.size(), 'q');
          logged = " \"" + id + "*\\\"" + std::string(98 - id.size(), 'q') + "\"";
          break;
      }
      ASSERT_EQ(arg.size(), 100u);
      args.push_back(arg);
      line += logged;
    }
    expected[line] = c;
  }

  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> pids;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      char b;
      // Every child blocks here until the parent closes the pipe, so all start together.
      while (read(go[0], &b, 1) > 0) {
      }
      call_flogfile(log_, argvs[c]);
      _exit(0);
    }
    pids.push_back(pid);
  }
  close(go[0]);
  close(go[1]);
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::string text = read_text(log_);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::vector<std::string> lines = split_lines(text);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kChildren));
  std::vector<int> seen(kChildren, 0);
  for (const std::string& line : lines) {
    auto it = expected.find(after_stamp(line));
    ASSERT_NE(it, expected.end()) << "mangled line starting " << line.substr(0, 60);
    ++seen[it->second];
  }
  for (int c = 0; c < kChildren; ++c) EXPECT_EQ(seen[c], 1) << "child " << c;
}

}  // namespace
