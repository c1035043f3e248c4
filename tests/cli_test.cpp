// The built binary, run in a fresh directory, where a case needs more than the data cases
// under cli/: the run log's contents, devices, pipes and file-system limits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include "test_util.h"

// Inputs that stop the run before any shape; the data cases under cli/ hold the others.
TEST(Cli, InputErrors) {
  temp_dir d;
  mkdir((d / "adir").c_str(), 0755);
  run_result r = run_anasig(d.path, {"anasig", "adir"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Checking size\nCouldn't read adir.\n");
  EXPECT_EQ(r.out, "Using timestep=1\n");

  // A pipe is read once, like a file; nothing can be created beside it in /dev/fd.
  r = run_anasig(d.path, {"anasig", "-#", "/dev/fd/0"}, "1\n2\n");
  EXPECT_EQ(r.status, 1);
  // Refused before it is read: nothing can be created beside it in /dev/fd.
  EXPECT_EQ(r.out, "Using timestep=1\n");
  EXPECT_EQ(r.err,
            "Couldn't open /dev/fd/0.hre for writing.\n  No such file or directory\n"
            "  (results of a pipe need --output-dir=DIR)\n");
}

TEST(Cli, ResultFileFaults) {
  temp_dir d;
  write_file(d / "s.txt", "1\n2\n");
  mkdir((d / "s.him").c_str(), 0755);
  run_result r = run_anasig(d.path, {"anasig", "s.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Checking size\nReading file...done\n 0%..49%..50%..99%..100%\n"
            "Writing re...done\nCouldn't open s.him for writing.\n  Is a directory\n");
  EXPECT_FALSE(file_exists(d / "s.hre"));  // results of an input are put in place together
  EXPECT_FALSE(file_exists(d / "s.hab"));
  rmdir((d / "s.him").c_str());

  // A full device: the write error is reported, the device is left alone.
  ASSERT_EQ(symlink("/dev/full", (d / "s.hab").c_str()), 0);
  r = run_anasig(d.path, {"anasig", "-#", "s.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Couldn't write s.hab.\n");
  EXPECT_TRUE(file_exists(d / "s.hab"));
  EXPECT_FALSE(file_exists(d / "s.hth"));

  // A result name no file system takes.
  std::string longname(251, 'n');
  write_file(d / (longname + ".txt"), "1\n2\n");
  r = run_anasig(d.path, {"anasig", "-#", longname + ".txt"});
  EXPECT_EQ(r.status, 0);
  std::string longer(254, 'n');
  write_file(d / longer, "1\n2\n");
  r = run_anasig(d.path, {"anasig", "-#", longer});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Couldn't open " + longer + ".hre for writing.\n  File name too long\n");

  // A result path longer than any path is refused before anything is written.
  write_file(d / "t", "1\n2\n");
  std::string deep = "t";
  while (deep.size() < 4093) deep = "./" + deep;
  r = run_anasig(d.path, {"anasig", "-#", deep});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Path too long: " + deep + "\n");
  EXPECT_FALSE(file_exists(d / "t.hre"));
}

TEST(Cli, DebugTrace) {
  temp_dir d;
  write_file(d / "s.txt", "1 10\n2 20\n");
  run_result r = run_anasig(d.path, {"anasig", "--deb", "-#", "--none", "s.txt"});
  EXPECT_EQ(r.status, 0);
  const std::string h = "Debug: src/[a-z_]+\\.cpp\\([0-9]+\\) ";
  std::regex expected(h + "rows=2 cols=2\n" + h + "rows=2 cols=2\n" + h + "ret=2\n" + h +
                      "c_re\\(x\\[1\\]\\[0\\]\\) = 10\n" + h + "c_re\\(x\\[0\\]\\[0\\]\\) = 1\n" +
                      h + "ret=2\n" + h + "c_re\\(x\\[1\\]\\[1\\]\\) = 20\n" + h +
                      "c_re\\(x\\[0\\]\\[1\\]\\) = 2\n" + h + " 1 2\n" + h + " 10 20\n" +
                      "Debug:src/fft\\.cpp\\([0-9]+\\) rows=2 cols=2\n" + h +
                      "rows=2 cols=2\nWarning: no output selected\n");
  EXPECT_TRUE(std::regex_match(r.err, expected)) << r.err;

  // Eight numbers on a line take a second group call that finds the end of the line.
  write_file(d / "e.txt", "1 2 3 4 5 6 7 8\n");
  r = run_anasig(d.path, {"anasig", "--debug", "-#", "--none", "e.txt"});
  std::regex rets("ret=(-?[0-9]+)");
  std::string seen;
  for (auto it = std::sregex_iterator(r.err.begin(), r.err.end(), rets);
       it != std::sregex_iterator(); ++it)
    seen += (*it)[1].str() + ",";
  EXPECT_EQ(seen, "8,-1,");

  // Progress marks and the transform's trace share the line as they are written.
  r = run_anasig(d.path, {"anasig", "--debug", "--none", "s.txt"});
  EXPECT_NE(r.err.find("..49%Debug: src/anasig.cpp("), std::string::npos) << r.err;
}

TEST(Cli, WisdomFile) {
  temp_dir d;
  write_file(d / "s.txt", "1\n2\n3\n");
  run_result r = run_anasig(d.path, {"anasig", "-#", "--wisdom", "--none", "s.txt"});
  EXPECT_EQ(r.status, 0);
  std::string w = read_text(d / "anasig.fftw3");
  EXPECT_EQ(w.rfind("(fftw-3.3", 0), 0u) << w;
  // A second run imports it and writes it again; no temporary file is left behind.
  r = run_anasig(d.path, {"anasig", "-#", "--wisdom", "--none", "s.txt"});
  EXPECT_EQ(r.status, 0);
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(d.path)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 3);  // s.txt, logfile, anasig.fftw3
  struct stat st;
  ASSERT_EQ(stat((d / "anasig.fftw3").c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(Cli, RunLogLine) {
  temp_dir d;
  write_file(d / "my data.txt", "1\n2\n");
  run_result r = run_anasig(d.path, {"anasig", "my data.txt", "-#", "--none", "--title=a b"});
  EXPECT_EQ(r.status, 1);  // --title is no option of ours
  r = run_anasig(d.path, {"anasig", "my data.txt", "-#", "--none", "-i", "0.5"});
  EXPECT_EQ(r.status, 0);
  std::string log = read_text(d / "logfile");
  std::regex line(
      "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} anasig -# --none -i 0.5 \"my "
      "data.txt\"\n");
  EXPECT_TRUE(std::regex_match(log, line)) << log;

  mkdir((d / "sub").c_str(), 0755);
  mkdir((d / "sub/logfile").c_str(), 0755);
  write_file(d / "sub/s.txt", "1\n2\n");
  r = run_anasig(d / "sub", {"anasig", "-#", "--none", "s.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "No logfile entry\nWarning: no output selected\n");
}
