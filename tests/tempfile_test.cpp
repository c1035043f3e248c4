// The temporary-file module: what a signal leaves before and after a commit, abandoning, and
// names that must be shortened to stay within a file name and a path.
#include "tempfile.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "test_util.h"

namespace {

// Creates a temporary file for target holding text; false when none could be made.
bool create(const std::string& target, tracked_file* id, const char* text) {
  FILE* f = temp_create(target.c_str(), 0644, id);
  if (f == nullptr) return false;
  fputs(text, f);
  return fclose(f) == 0;
}

}  // namespace

// Names longer than a short-string buffer, so that the names are known to outlive whatever
// the run had built them in.
TEST(TempFile, CommitAndAbandonUnderASignal) {
  const std::string a = "first-result-with-a-long-name", b = "second-result-with-a-long-name";
  for (bool committed : {false, true}) {
    SCOPED_TRACE(committed ? "signal after the commit" : "signal before the commit");
    temp_dir d;
    write_file(d / a, "old a\n");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      install_signal_cleanup();
      tracked_file ids[2];
      if (!create(d / a, &ids[0], "new a\n") || !create(d / b, &ids[1], "new b\n")) _exit(2);
      if (committed && temp_commit(ids, 2) != 2) _exit(3);
      raise(SIGTERM);
      _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    const std::set<std::string> want = committed ? std::set<std::string>{a, b} : std::set{a};
    EXPECT_EQ(listing(d.path), want);
    EXPECT_EQ(read_text(d / a), committed ? "new a\n" : "old a\n");
  }
  temp_dir d;
  tracked_file id;
  ASSERT_TRUE(create(d / a, &id, "x"));
  EXPECT_EQ(listing(d.path).size(), 1u);
  temp_abandon(id);
  EXPECT_EQ(listing(d.path), std::set<std::string>{});
}

TEST(TempFile, NamesShortenedToFit) {
  temp_dir d;
  // A target whose temporary name would pass NAME_MAX, and one whose path would pass PATH_MAX.
  const std::string longest(NAME_MAX, 'n');
  std::string deep = d.path;
  while (deep.size() + 16 < PATH_MAX) deep += "/.";
  deep += "/0123456789";
  for (const std::string& target : {d / longest, deep}) {
    tracked_file id;
    ASSERT_TRUE(create(target, &id, "whole\n")) << strerror(errno);
    EXPECT_EQ(temp_commit(&id, 1), 1);
    EXPECT_EQ(read_text(target), "whole\n");
  }
  EXPECT_EQ(listing(d.path), (std::set<std::string>{longest, "0123456789"}));
  // Where no name fits at all, nothing is created.
  tracked_file id;
  EXPECT_EQ(temp_create((deep + std::string(PATH_MAX, 'x')).c_str(), 0644, &id), nullptr);
  EXPECT_EQ(errno, ENAMETOOLONG);
}
