#include "mypath.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <random>
#include <string>

#include "compat.h"

namespace {

// Set by a test to make the working copy of the path fail.
bool fail_strdup = false;

}  // namespace

// Takes the place of the C library's strdup in this test program.
extern "C" char* strdup(const char* s) noexcept {
  if (fail_strdup) return nullptr;
  size_t n = strlen(s) + 1;
  char* d = static_cast<char*>(malloc(n));
  if (d != nullptr) memcpy(d, s, n);
  return d;
}

namespace {

struct Parts {
  std::string drive, directory, filename, extension;
};

// Splits with 256-byte buffers that start out holding junk, so that cleared parts show.
int explode(const char* path, Parts* out) {
  char d[256] = "junk", p[256] = "junk", f[256] = "junk", e[256] = "junk";
  int st = explode_path(path, d, p, f, e);
  *out = {d, p, f, e};
  return st;
}

TEST(ExplodePath, SplitsIntoFourParts) {
  struct Case {
    const char* path;
    Parts want;
  };
  const Case cases[] = {
      {"sig", {"", "", "sig", ""}},
      {"./sig", {"", "./", "sig", ""}},
      {"dir.d/sig", {"", "dir.d/", "sig", ""}},
      {"C:sig.txt", {"C:", "", "sig", ".txt"}},
      {"sig.", {"", "", "sig", "."}},
      {".profile", {"", "", "", ".profile"}},
      {"dir/.profile", {"", "dir/", "", ".profile"}},
      {"data/sig.txt", {"", "data/", "sig", ".txt"}},
      {"C:/data/run1/sig.old.txt", {"C:", "/data/run1/", "sig.old", ".txt"}},
      {"C:\\data\\run1\\sig.txt", {"C:", "\\data\\run1\\", "sig", ".txt"}},
      {"a\\b/c.d", {"", "a\\b/", "c", ".d"}},
      {"/sig", {"", "/", "sig", ""}},
      {"dir/", {"", "dir/", "", ""}},
      {"C:", {"C:", "", "", ""}},
      {"C:/", {"C:", "/", "", ""}},
      {"a:b:c/d.e", {"a:b:", "c/", "d", ".e"}},
      {"a/b:c/d", {"a/b:", "c/", "d", ""}},
      {"..", {"", "", ".", "."}},
      {"", {"", "", "", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Parts got;
    EXPECT_EQ(explode(c.path, &got), 0);
    EXPECT_EQ(got.drive, c.want.drive);
    EXPECT_EQ(got.directory, c.want.directory);
    EXPECT_EQ(got.filename, c.want.filename);
    EXPECT_EQ(got.extension, c.want.extension);
  }
}

TEST(ExplodePath, NullPathAndNullBuffers) {
  Parts got;
  EXPECT_EQ(explode(nullptr, &got), 0);
  EXPECT_EQ(got.drive + got.directory + got.filename + got.extension, "");

  // A part that is not wanted is not checked for room either.
  char f[8] = "junk";
  EXPECT_EQ(explode_path_n("C:/dir/sig.long", nullptr, 1, nullptr, 1, f, sizeof f, nullptr, 1), 0);
  EXPECT_STREQ(f, "sig");
  char d[8] = "junk", e[8] = "junk";
  EXPECT_EQ(explode_path_n("C:/dir/sig.long", d, sizeof d, nullptr, 0, nullptr, 0, e, sizeof e), 0);
  EXPECT_STREQ(d, "C:");
  EXPECT_STREQ(e, ".long");
}

TEST(ExplodePath, StopsAtThePartThatDoesNotFit) {
  char d[16], p[16], f[16], e[16];
  auto reset = [&] {
    strcpy(d, "junk");
    strcpy(p, "junk");
    strcpy(f, "junk");
    strcpy(e, "junk");
  };

  reset();
  EXPECT_EQ(explode_path_n("a.long", d, 16, p, 16, f, 16, e, 4), 36);
  EXPECT_STREQ(e, ".lo");
  EXPECT_STREQ(f, "");
  EXPECT_STREQ(p, "");
  EXPECT_STREQ(d, "");

  reset();
  EXPECT_EQ(explode_path_n("a.lon", d, 16, p, 16, f, 2, e, 5), 0);
  EXPECT_STREQ(e, ".lon");
  EXPECT_STREQ(f, "a");

  reset();
  EXPECT_EQ(explode_path_n("C:/dir/abcdef.x", d, 16, p, 16, f, 4, e, 16), 36);
  EXPECT_STREQ(e, ".x");
  EXPECT_STREQ(f, "abc");
  EXPECT_STREQ(p, "");
  EXPECT_STREQ(d, "");

  reset();
  EXPECT_EQ(explode_path_n("C:/long/dir/f.e", d, 16, p, 5, f, 16, e, 16), 36);
  EXPECT_STREQ(e, ".e");
  EXPECT_STREQ(f, "f");
  EXPECT_STREQ(p, "/lon");
  EXPECT_STREQ(d, "");

  reset();
  EXPECT_EQ(explode_path_n("AB:/x", d, 3, p, 16, f, 16, e, 16), 36);
  EXPECT_STREQ(p, "/");
  EXPECT_STREQ(f, "x");
  EXPECT_STREQ(d, "AB");

  // The fixed twin gives each of the four buffers 256 bytes.
  std::string name(255, 'n');
  Parts got;
  EXPECT_EQ(explode(name.c_str(), &got), 0);
  EXPECT_EQ(got.filename, name);
  EXPECT_EQ(explode((name + "n").c_str(), &got), 36);
  EXPECT_EQ(got.filename, name);
}

TEST(ExplodePath, FailedCopyGivesEnomemAndEmptyParts) {
  Parts got;
  fail_strdup = true;
  int st = explode("C:/dir/sig.txt", &got);
  fail_strdup = false;
  EXPECT_EQ(st, 12);
  EXPECT_EQ(got.drive + got.directory + got.filename + got.extension, "");
}

TEST(CombinePath, JoinsParts) {
  struct Case {
    const char *drive, *directory, *filename, *extension, *want;
  };
  const Case cases[] = {
      {"", "data/", "sig", ".hre", "data/sig.hre"},
      {"", "data", "sig", "hre", "data/sig.hre"},
      {"C", "", "sig", ".txt", "C:sig.txt"},
      {"C:", "/data/run1/", "sig.old", ".txt", "C:/data/run1/sig.old.txt"},
      {"C:", "\\data\\", "sig", ".txt", "C:\\data\\sig.txt"},
      {nullptr, "data", nullptr, "hre", "data/.hre"},
      {nullptr, nullptr, "sig", nullptr, "sig"},
      {nullptr, nullptr, nullptr, nullptr, ""},
      {"", "", "", "", ""},
      {"D", nullptr, nullptr, nullptr, "D:"},
      {"", "", "sig", ".", "sig."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    char out[260] = "junk";
    EXPECT_EQ(combine_path(out, c.drive, c.directory, c.filename, c.extension), 0);
    EXPECT_STREQ(out, c.want);
  }
  EXPECT_EQ(combine_path(nullptr, "C", "d", "f", "e"), 0);
}

TEST(CombinePath, TruncatesToTheBuffer) {
  char out[16];
  EXPECT_EQ(combine_path_n(out, 8, nullptr, nullptr, "abcdefgh", nullptr), 36);
  EXPECT_STREQ(out, "abcdefg");
  EXPECT_EQ(combine_path_n(out, 8, nullptr, nullptr, "abcdefg", nullptr), 0);
  EXPECT_STREQ(out, "abcdefg");

  // Added separators and dots take room like any other byte.
  EXPECT_EQ(combine_path_n(out, 4, "ABC", "dir", "f", "e"), 36);
  EXPECT_STREQ(out, "ABC");
  EXPECT_EQ(combine_path_n(out, 4, "AB", nullptr, nullptr, nullptr), 0);
  EXPECT_STREQ(out, "AB:");
  EXPECT_EQ(combine_path_n(out, 4, nullptr, "abc", "f", nullptr), 36);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(combine_path_n(out, 4, nullptr, nullptr, "ab", "x"), 36);
  EXPECT_STREQ(out, "ab.");
  EXPECT_EQ(combine_path_n(out, 1, nullptr, nullptr, "a", nullptr), 36);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(combine_path_n(out, 1, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_STREQ(out, "");

  // The fixed twin writes into 260 bytes.
  char big[300];
  std::string name(259, 'n');
  EXPECT_EQ(combine_path(big, nullptr, nullptr, name.c_str(), nullptr), 0);
  EXPECT_EQ(big, name);
  EXPECT_EQ(combine_path(big, nullptr, nullptr, (name + "n").c_str(), nullptr), 36);
  EXPECT_EQ(big, name);
}

TEST(Compat, StrlcpyAndStrlcat) {
  char b[8] = "xxxxxxx";
  EXPECT_EQ(strlcpy(b, "hello", 3), 5u);
  EXPECT_STREQ(b, "he");
  EXPECT_EQ(b[3], 'x');
  EXPECT_EQ(strlcpy(b, "hello", 6), 5u);
  EXPECT_STREQ(b, "hello");
  EXPECT_EQ(strlcpy(b, "hello", 0), 5u);
  EXPECT_STREQ(b, "hello");
  EXPECT_EQ(strlcpy(b, "", 1), 0u);
  EXPECT_STREQ(b, "");

  char c[8] = "ab";
  EXPECT_EQ(strlcat(c, "cdef", 5), 6u);
  EXPECT_STREQ(c, "abcd");
  // With strlen(d) >= bufsize - 1 nothing is appended, even when d is longer than bufsize.
  EXPECT_EQ(strlcat(c, "xyz", 5), 7u);
  EXPECT_STREQ(c, "abcd");
  EXPECT_EQ(strlcat(c, "xyz", 3), 7u);
  EXPECT_STREQ(c, "abcd");
  char e[4] = "";
  EXPECT_EQ(strlcat(e, "xyz", 1), 3u);
  EXPECT_STREQ(e, "");
  EXPECT_EQ(strlcat(e, "xy", 3), 2u);
  EXPECT_STREQ(e, "xy");
  EXPECT_EQ(strlcat(e, "", 4), 2u);
  EXPECT_STREQ(e, "xy");
}

// A part buffer of up to 12 bytes with guard bytes on both sides.
struct Guarded {
  static constexpr size_t kGuard = 8;
  static constexpr size_t kMax = 12;
  std::array<unsigned char, kGuard + kMax + kGuard> raw;
  size_t size;

  explicit Guarded(size_t n) : size(n) { raw.fill(0xA5); }
  char* get() { return reinterpret_cast<char*>(raw.data() + kGuard); }
  bool guards_intact() const {
    for (size_t i = 0; i < raw.size(); ++i)
      if ((i < kGuard || i >= kGuard + size) && raw[i] != 0xA5) return false;
    return true;
  }
  bool terminated() const { return memchr(raw.data() + kGuard, 0, size) != nullptr; }
};

std::string random_text(std::mt19937& rng, size_t max_len) {
  static const char kAlphabet[] = {'a', '.', '/', '\\', ':'};
  std::string s(rng() % (max_len + 1), ' ');
  for (char& c : s) c = kAlphabet[rng() % sizeof kAlphabet];
  return s;
}

// The four parts found with std::string searches instead of byte scans.
Parts model_split(const std::string& s) {
  size_t sep = s.find_last_of("/\\:");
  size_t name = sep == std::string::npos ? 0 : sep + 1;
  size_t dot = s.find_last_of('.');
  size_t ext = dot != std::string::npos && dot >= name ? dot : s.size();
  size_t colon = sep == std::string::npos ? std::string::npos : s.rfind(':', sep);
  size_t dir = colon == std::string::npos ? 0 : colon + 1;
  return {s.substr(0, dir), s.substr(dir, name - dir), s.substr(name, ext - name), s.substr(ext)};
}

TEST(PathRandomized, ExplodeStaysInBoundsAndMatchesModel) {
  std::mt19937 rng(20240611);
  for (int iter = 0; iter < 200000; ++iter) {
    std::string path = random_text(rng, 12);
    Guarded d(1 + rng() % 12), p(1 + rng() % 12), f(1 + rng() % 12), e(1 + rng() % 12);
    int st = explode_path_n(path.c_str(), d.get(), d.size, p.get(), p.size, f.get(), f.size,
                            e.get(), e.size);
    SCOPED_TRACE("path \"" + path + "\" sizes " + std::to_string(d.size) + " " +
                 std::to_string(p.size) + " " + std::to_string(f.size) + " " +
                 std::to_string(e.size));
    Guarded* bufs[] = {&e, &f, &p, &d};
    for (Guarded* b : bufs) {
      ASSERT_TRUE(b->guards_intact());
      ASSERT_TRUE(b->terminated());
    }

    // Parts are filled extension first; the first one too long is cut and ends the work.
    Parts m = model_split(path);
    const std::string* want[] = {&m.extension, &m.filename, &m.directory, &m.drive};
    int want_st = 0;
    for (int i = 0; i < 4; ++i) {
      std::string expect;
      if (want_st == 0) {
        expect = want[i]->substr(0, bufs[i]->size - 1);
        if (want[i]->size() >= bufs[i]->size) want_st = 36;
      }
      ASSERT_EQ(std::string(bufs[i]->get()), expect) << "part " << i;
    }
    ASSERT_EQ(st, want_st);

    // Every split joins back to the same path: a non-empty drive ends in a colon, a non-empty
    // directory in a slash or backslash, a non-empty extension starts with a dot.
    char pd[256], pp[256], pf[256], pe[256], joined[260];
    ASSERT_EQ(explode_path(path.c_str(), pd, pp, pf, pe), 0);
    ASSERT_EQ(combine_path(joined, pd, pp, pf, pe), 0);
    ASSERT_EQ(std::string(joined), path);
  }
}

TEST(PathRandomized, CombineStaysInBoundsAndMatchesModel) {
  std::mt19937 rng(7041);
  for (int iter = 0; iter < 200000; ++iter) {
    std::string parts[4];
    const char* ptr[4];
    for (int i = 0; i < 4; ++i) {
      parts[i] = random_text(rng, 5);
      ptr[i] = rng() % 8 == 0 ? nullptr : parts[i].c_str();
    }
    std::string full;
    if (ptr[0] && !parts[0].empty()) full += parts[0] + (parts[0].back() == ':' ? "" : ":");
    if (ptr[1] && !parts[1].empty()) {
      char last = parts[1].back();
      full += parts[1] + (last == '/' || last == '\\' ? "" : "/");
    }
    if (ptr[2]) full += parts[2];
    if (ptr[3] && !parts[3].empty()) full += (parts[3][0] == '.' ? "" : ".") + parts[3];

    Guarded out(1 + rng() % 12);
    int st = combine_path_n(out.get(), out.size, ptr[0], ptr[1], ptr[2], ptr[3]);
    SCOPED_TRACE("want \"" + full + "\" size " + std::to_string(out.size));
    ASSERT_TRUE(out.guards_intact());
    ASSERT_TRUE(out.terminated());
    bool fits = full.size() < out.size;
    ASSERT_EQ(st, fits ? 0 : 36);
    ASSERT_EQ(std::string(out.get()), full.substr(0, out.size - 1));
  }
}

}  // namespace
