// The options for phase, padding, gaps and the output folder: values, and every prefix of
// every older long name keeping the meaning it had before they came.
#include <getopt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "test_util.h"

namespace {

// The long option table as it stood before these options, with stand-ins for the settings.
int re, im, ab, th, fq, tm, wi, tr, db;
const struct option kOldOpts[] = {
    {"quiet", no_argument, nullptr, '#'},
    {"silence", no_argument, nullptr, '#'},
    {"timestep", required_argument, nullptr, 'i'},
    {"interval", required_argument, nullptr, 'i'},
    {"frequency", required_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, '?'},
    {"none", no_argument, nullptr, 256},
    {"all", no_argument, nullptr, 257},
    {"re", no_argument, &re, 1},
    {"nore", no_argument, &re, 0},
    {"no-re", no_argument, &re, 0},
    {"im", no_argument, &im, 1},
    {"noim", no_argument, &im, 0},
    {"no-im", no_argument, &im, 0},
    {"abs", no_argument, &ab, 1},
    {"noabs", no_argument, &ab, 0},
    {"no-abs", no_argument, &ab, 0},
    {"theta", no_argument, &th, 1},
    {"notheta", no_argument, &th, 0},
    {"no-theta", no_argument, &th, 0},
    {"freq", no_argument, &fq, 1},
    {"nofreq", no_argument, &fq, 0},
    {"no-freq", no_argument, &fq, 0},
    {"timing", no_argument, &tm, 1},
    {"wisdom", no_argument, &wi, 1},
    {"data-in-rows", no_argument, &tr, 1},
    {"data-in-cols", no_argument, &tr, 0},
    {"debug", no_argument, &db, 1},
    {"version", no_argument, nullptr, 258},
    {nullptr, 0, nullptr, 0},
};

// The old option a word selected (a value following it when it takes one), or null when the
// word was ambiguous.
const struct option* old_meaning(const std::string& word) {
  std::string w = word, value = "4";
  char* argv[] = {const_cast<char*>("anasig"), w.data(), value.data(), nullptr};
  optind = 0;
  opterr = 0;
  int index = -1;
  getopt_long(3, argv, "?#AF:HI:af:hi:", kOldOpts, &index);
  return index < 0 ? nullptr : &kOldOpts[index];
}

// Everything a run shows: status, both streams, and every file it leaves but the log.
std::string behaviour(const std::vector<std::string>& args,
                      const std::string& input = "1 4\n2 -1\n0 3\n-2 5\n7 0\n") {
  temp_dir d;
  write_file(d / "s.txt", input);
  run_result r = run_anasig(d.path, args);
  std::string all = std::to_string(r.status) + "\n" + r.out + "\n" + r.err;
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(d.path))
    if (e.path().filename() != "logfile") files[e.path().filename()] = read_text(e.path());
  for (const auto& [name, text] : files) all += "\n" + name + ":\n" + text;
  return all;
}

}  // namespace

TEST(Options, EveryOldPrefixKeepsItsMeaning) {
  std::map<std::string, std::string> full;
  int checked = 0, ambiguous = 0;
  for (const struct option* o = kOldOpts; o->name != nullptr; ++o) {
    const std::string name = o->name;
    for (size_t len = 1; len <= name.size(); ++len) {
      const std::string word = "--" + name.substr(0, len);
      const struct option* meant = old_meaning(word);
      if (meant == nullptr) {
        // Still ambiguous, and only between old names.
        temp_dir d;
        run_result r = run_anasig(d.path, {"anasig", word, "s.txt"});
        EXPECT_EQ(r.status, 1) << word;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.err, m, std::regex("is ambiguous; possibilities:(.*)")))
            << word << ": " << r.err;
        std::string rest = m[1];
        std::regex listed("'--([a-z-]+)'");
        int names = 0;
        for (std::sregex_iterator it(rest.begin(), rest.end(), listed), end; it != end; ++it) {
          const struct option* l = old_meaning("--" + (*it)[1].str());
          EXPECT_TRUE(l != nullptr && l->name == (*it)[1].str()) << word << " " << (*it)[1];
          ++names;
        }
        EXPECT_GE(names, 2) << word;
        ++ambiguous;
        continue;
      }
      std::vector<std::string> as_word = {"anasig", word},
                               as_name = {"anasig", "--" + std::string(meant->name)};
      for (auto* args : {&as_word, &as_name}) {
        if (meant->has_arg) args->push_back("4");
        args->push_back("s.txt");
      }
      if (!full.count(as_name[1])) full[as_name[1]] = behaviour(as_name);
      EXPECT_EQ(behaviour(as_word), full[as_name[1]]) << word << " as " << as_name[1];
      ++checked;
    }
  }
  EXPECT_GT(checked, 100);
  EXPECT_GT(ambiguous, 10);
}

// Bad band and frequency-method values, generated: each stops the run before the run log.
TEST(Options, BadBandValuesStopBeforeTheRunLog) {
  struct bad_value {
    std::vector<std::string> args;
    const char* err;
  };
  std::vector<bad_value> table;
  const char kBand[] = "--band takes LO:HI[:W] in cycles per time unit\n";
  for (const char* v : {"8", "8:", "a:b", "8:12:", "4:8,,8:12", "4:8,", "", ":8",
                        "8:max:", "1:2:3:4", "nan:2", "1:inf", "0x:2"}) {
    table.push_back({{std::string("--band=") + v}, kBand});
  }
  // With the interval 1 the Nyquist frequency is 0.5; an interval given after the band counts.
  table.push_back({{"--band=12:8"}, "--band=12:8: LO must be below HI\n"});
  table.push_back({{"--band", "0.1:0.2,0.3:0.3"}, "--band=0.3:0.3: LO must be below HI\n"});
  table.push_back({{"--band=-1:0.2"}, "--band=-1:0.2: LO must not be negative\n"});
  table.push_back({{"--band=0.1:0.2:-1"}, "--band=0.1:0.2:-1: W must not be negative\n"});
  table.push_back({{"--band=0.1:0.6"}, "--band=0.1:0.6: above the Nyquist frequency 0.5\n"});
  table.push_back({{"--band=0.5:max"}, "--band=0.5:max: above the Nyquist frequency 0.5\n"});
  table.push_back(
      {{"--band=100:200", "-f", "300"}, "--band=100:200: above the Nyquist frequency 150\n"});
  table.push_back({{"--band=0.1:0.2,0.1:0.2:0.01"},
                   "--band=0.1:0.2:0.01: results named as those of --band=0.1:0.2\n"});
  table.push_back({{"--band=0:0.25", "--band=0.0:0.250"},
                   "--band=0.0:0.250: results named as those of --band=0:0.25\n"});
  for (const char* v : {"", "diff", "Derivative", "derivative,difference"})
    table.push_back(
        {{std::string("--freq-method=") + v}, "--freq-method takes difference or derivative\n"});
  for (const auto& t : table) {
    temp_dir d;
    write_file(d / "s.txt", "1\n2\n");
    std::vector<std::string> args = {"anasig"};
    args.insert(args.end(), t.args.begin(), t.args.end());
    args.push_back("s.txt");
    run_result r = run_anasig(d.path, args);
    EXPECT_EQ(r.status, 1) << t.args[0];
    EXPECT_EQ(r.out, "") << t.args[0];
    EXPECT_EQ(r.err, t.err) << t.args[0];
    EXPECT_FALSE(file_exists(d / "logfile")) << t.args[0];
  }
}

// The values the data cases under cli/ refuse have neighbours that are taken.
TEST(Options, GoodValuesAreTaken) {
  for (std::vector<std::string> good :
       {std::vector<std::string>{"--pad", "mirror", "--pad=none", "--output-dir", "."},
        std::vector<std::string>{"--unw", "--cyc", "--ga", "--pa=zero", "--output-d=out/"},
        std::vector<std::string>{"--jobs=1", "--jobs=007", "--jobs", "99999999999999999999",
                                 "--jo=2"}}) {
    temp_dir d;
    ASSERT_EQ(mkdir((d / "out").c_str(), 0755), 0);
    write_file(d / "s.txt", "1\n2\n");
    good.insert(good.begin(), "anasig");
    good.push_back("s.txt");
    EXPECT_EQ(run_anasig(d.path, good).status, 0) << good[1];
    const std::string re = file_exists(d / "out/s.hre") ? d / "out/s.hre" : d / "s.hre";
    EXPECT_EQ(read_text(re), "1\n2\n") << good[1];
  }
}

TEST(Options, GapsOnlyTouchGaps) {
  // Without a NaN or infinity not a byte changes; with one, its line turns NaN in that signal.
  const std::string clean = "1 4\n2 -1\n0 3\n-2 5\n7 0\n3 3\n";
  EXPECT_EQ(behaviour({"anasig", "--gaps", "s.txt"}, clean), behaviour({"anasig", "s.txt"}, clean));
  std::string gappy = behaviour({"anasig", "--gaps", "s.txt"}, "1 4\n2 -1\nnan 3\n-2 5\n");
  const std::string line = "[^n\\n]+\\n";  // a line without nan (or inf)
  for (const char* ext : {"hre", "him", "hab", "hth"})
    EXPECT_TRUE(std::regex_search(
        gappy, std::regex(std::string("s.") + ext + ":\\n" + line + line + "-?nan " + line + line)))
        << ext << gappy;
}

// Results go to the output folder under the input's file name, whatever folder the input is in;
// inputs of the same file name from different folders are warned about.
TEST(Options, OutputFolder) {
  temp_dir d;
  for (const char* f : {"in", "in/a", "out"}) ASSERT_EQ(mkdir((d / f).c_str(), 0755), 0);
  write_file(d / "in/s.txt", "1\n0\n-1\n0\n");
  write_file(d / "in/a/s.dat", "2\n0\n-2\n0\n");
  run_result r = run_anasig(d.path, {"anasig", "--quiet", "--output-dir", "out", "in/s.txt",
                                     "in/a/s.dat", "--none", "--re", "--im"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Warning: results of in/a/s.dat replace those of in/s.txt\n");
  EXPECT_EQ(read_text(d / "out/s.hre"), "2\n0\n-2\n0\n");
  EXPECT_EQ(read_text(d / "out/s.him"), "0\n2\n0\n-2\n");  // the Hilbert transform of cos is sin
  EXPECT_FALSE(file_exists(d / "in/s.hre"));
  EXPECT_FALSE(file_exists(d / "out/logfile"));
  EXPECT_TRUE(file_exists(d / "logfile"));
}
