#include "numscan.h"

#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "test_util.h"

namespace {

struct Scan {
  int ret = 0;
  uint64_t bits = 0;
  size_t consumed = 0;
};

Scan via_sscanf(const char* s) {
  Scan r;
  double d = 0;
  int n = 0;
  r.ret = sscanf(s, "%lg%n", &d, &n);
  if (r.ret == 1) {
    memcpy(&r.bits, &d, sizeof d);
    r.consumed = static_cast<size_t>(n);
  }
  return r;
}

Scan via_scan_number(const char* s, const char* end) {
  Scan r;
  double d = 0;
  r.ret = scan_number(s, end, &d, &r.consumed);
  if (r.ret == 1) memcpy(&r.bits, &d, sizeof d);
  return r;
}

// Empty when both agree, otherwise a readable account of the difference.
std::string difference(const Scan& want, const Scan& got, std::string_view input) {
  if (want.ret == got.ret &&
      (want.ret != 1 || (want.bits == got.bits && want.consumed == got.consumed))) {
    return "";
  }
  char msg[200];
  snprintf(msg, sizeof msg,
           "sscanf ret=%d bits=%016llx n=%zu, scan_number ret=%d bits=%016llx n=%zu", want.ret,
           static_cast<unsigned long long>(want.bits), want.consumed, got.ret,
           static_cast<unsigned long long>(got.bits), got.consumed);
  return std::string(msg) + " for \"" + printable(input) + "\"";
}

// Exact decimal expansion of the midpoint between d and the next double up.
std::string halfway(double d, int digits) {
  long double mid = (static_cast<long double>(d) + nextafter(d, INFINITY)) / 2;
  char buf[1200];
  snprintf(buf, sizeof buf, "%.*Le", digits, mid);
  return buf;
}

class Corpus {
 public:
  explicit Corpus(uint64_t seed) : rng_(seed) {}

  std::string piece() {
    static const char* const kWords[] = {
        "+",
        "-",
        ".",
        "e",
        "E",
        "x",
        "X",
        "p",
        "P",
        "0x",
        "0X",
        "0",
        "inf",
        "INF",
        "infinity",
        "Infinity",
        "infinit",
        "infin",
        "in",
        "i",
        "nan",
        "NaN",
        "nan(",
        ")",
        "(",
        "n",
        "a",
        "f",
        "t",
        "y",
        "e+",
        "e-",
        "p-",
        "P+",
        " ",
        "\t",
        "\n",
        "\v",
        "\f",
        "\r",
        ",",
        "_",
        "1e400",
        "-1e400",
        "1e99999999999",
        "1e-99999999999",
        "4.9e-324",
        "2.4703282292062327e-324",
        "2.4703282292062328e-324",
        "1e-400",
        "1.7976931348623157e308",
        "1.7976931348623158e308",
        "2.2250738585072011e-308",
        "2.2250738585072014e-308",
        "0e99999999999",
        "0x1p-1074",
        "0x1p-1075",
        "0x1.fffffffffffffp1023",
        "0x1p1024",
        "0x.8p-1073",
        "nan(123)",
        "nan()",
        "-nan",
        "0x1p+",
        "1e",
        "1e+",
        "1e-x",
    };
    std::uniform_int_distribution<int> kind(0, 19);
    switch (kind(rng_)) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4:
      case 5:
        return kWords[pick(std::size(kWords))];
      case 6:
      case 7:
        return digits(1 + pick(6));
      case 8:
        return digits(1 + pick(900));
      case 9:
        return std::string(1, static_cast<char>('a' + pick(26)));
      case 10:
        return std::string(1, static_cast<char>(0x80 + pick(128)));
      case 11:
        return printed("%.17g");
      case 12:
        return printed(pick(2) ? "%.11g" : "%g");
      case 13:
        return printed("%a");
      case 14: {
        std::string h = "0x";
        for (size_t n = pick(20); n > 0; --n) h += "0123456789abcdefABCDEF."[pick(23)];
        return h;
      }
      case 15:
        return halfway(any_double(), 20 + static_cast<int>(pick(780)));
      case 16: {
        // A midpoint cut short or nudged rounds to one side or the other.
        std::string h = halfway(any_double(), 40);
        h.resize(h.find('e') - pick(20));
        return h;
      }
      case 17:
        return printed("%.17e") + "e";
      case 18:
        return "0." + std::string(pick(400), '0') + digits(1 + pick(30));
      default:
        return std::string(1, " \t\n\v\f\r"[pick(6)]);
    }
  }

  std::string text(size_t max_pieces) {
    std::string s;
    for (size_t n = 1 + pick(max_pieces); n > 0; --n) s += piece();
    return s;
  }

  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  // A long number of every shape, after white space and a sign, with an exponent of any length
  // or a dangling one and a byte or two after it: digit runs with leading zeros, long fractions,
  // "0.000...1" at the subnormals and past them, overflow, midpoints between doubles followed by
  // zeros (a tie), by zeros and a 1 (above it) or cut short (below it), hexadecimal ones too.
  std::string long_number() {
    const size_t len = pick(8) == 0 ? pick(50000) : pick(2000), shape = pick(9);
    const std::string zeros(len, '0'), above = pick(2) ? "1" : "";
    static const char* const kSigns[] = {"-", "+", ""};
    std::string s = std::string(pick(4) ? 0 : 1 + pick(3), " \t\n"[pick(3)]) + kSigns[pick(3)];
    std::string m =
        shape == 0   ? digits(len)
        : shape == 1 ? zeros.substr(pick(len + 1)) + digits(len)
        : shape == 2 ? digits(pick(30)) + "." + digits(len)
        : shape == 3 ? "0." + std::string(pick(4) ? 290 + pick(50) : len, '0') + digits(1 + pick(9))
        : shape == 4 ? (pick(2) ? "17976931348623158" : "1") + zeros
        : shape <= 6 ? halfway(any_double(), 760 + static_cast<int>(pick(20)))
                     : "1" + digits(13) + "8" + zeros + above;
    if (shape == 5 || shape == 6) {
      const size_t e = m.find('e'), cut = pick(3) ? e : 2 + pick(e - 2);
      m.replace(cut, e - cut, cut < e ? "" : zeros + above);
    }
    const bool hex = shape >= 7;
    if (hex && pick(2))
      for (char& c : m) c = "0123456789abcdefABCDEF"[pick(22)];
    if (hex && pick(3) == 0) m.insert(pick(m.size() + 1), ".");
    s += (hex ? (pick(2) ? "0x" : "0X") + std::string(pick(3) ? 0 : 3, '0') : "") + m;
    const std::string letter(1, hex ? "pP"[pick(2)] : "eE"[pick(2)]), sign = kSigns[pick(3)];
    const std::string exponents[] = {
        letter + sign + zeros.substr(pick(len + 1)) + std::to_string(pick(hex ? 1200 : 400)),
        letter + sign + digits(1 + pick(len + 1)), letter + sign, ""};
    s += exponents[pick(4)];
    static const char* const kAfter[] = {"", " 1", "x", "-5", ".5", "e5", "p3", "+", ","};
    s += kAfter[pick(std::size(kAfter))];
    if (pick(6) == 0) s += std::string(1, '\0') + "123";
    return s;
  }

 private:
  std::string digits(size_t n) {
    std::string s;
    for (; n > 0; --n) s += static_cast<char>('0' + pick(10));
    return s;
  }

  double any_double() {
    double d;
    do {
      uint64_t bits = rng_();
      memcpy(&d, &bits, sizeof d);
    } while (!isfinite(d));
    return d;
  }

  std::string printed(const char* fmt) {
    char buf[64];
    snprintf(buf, sizeof buf, fmt, pick(4) ? any_double() : static_cast<double>(rng_() % 100000));
    return buf;
  }

  std::mt19937_64 rng_;
};

TEST(ScanNumber, AgreesWithSscanfOnGeneratedText) {
  Corpus corpus(20240517);
  constexpr int kStrings = 300000;
  int failures = 0;
  for (int i = 0; i < kStrings && failures < 20; ++i) {
    std::string buf = corpus.text(6);
    // sscanf stops at a NUL, so the scanner has to stop at `end` even with digits beyond it.
    if (corpus.pick(8) == 0) buf.insert(corpus.pick(buf.size() + 1), 1, '\0');
    if (corpus.pick(8) == 0) buf += "123";
    const char* s = buf.c_str();
    const std::string why = difference(via_sscanf(s), via_scan_number(s, s + strlen(s)), buf);
    if (!why.empty()) {
      ADD_FAILURE() << why;
      ++failures;
    }
  }
}

// The reader of a number in pieces, on long numbers of every shape and on short texts of all
// kinds, cut into pieces of random sizes (empty ones too), ends where scan_number on the whole
// text ends and gives its value bits; sscanf, reading the whole text, agrees with both.
TEST(NumberReader, InPiecesIsScanNumberOnTheWholeText) {
  Corpus corpus(4096);
  int failures = 0;
  for (int i = 0; i < 20000 && failures < 20; ++i) {
    const std::string text = i % 3 ? corpus.long_number() : corpus.text(3);
    const char* const s = text.c_str();
    const Scan want = via_sscanf(s);
    std::string why = difference(want, via_scan_number(s, s + strlen(s)), text);
    const size_t most = corpus.pick(4) == 0 ? 3 : 1 + corpus.pick(text.size() + 1);
    number_reader r{};
    size_t fed = 0, before_last = 0;
    while (fed < text.size()) {
      const size_t n = std::min(text.size() - fed, corpus.pick(most + 1));
      before_last = fed;
      fed += n;
      if (feed_number(&r, s + fed - n, n)) break;
    }
    Scan got;
    double d = 0;
    uint64_t consumed = 0;
    got.ret = end_number(r, &d, &consumed);
    if (got.ret == 1) memcpy(&got.bits, &d, sizeof d);
    got.consumed = consumed;
    // It ends at the byte that ends the number (a word's at most ten bytes on): the block reader
    // resumes there.
    if (why.empty() && want.ret == 1 && before_last > want.consumed + 10)
      why = "the reader went on past the number in \"" + printable(text) + "\"";
    if (why.empty() && !difference(want, got, text).empty())
      why = "the reader: " + difference(want, got, text);
    if (!why.empty()) {
      ADD_FAILURE() << why.substr(0, 2000);
      ++failures;
    }
  }
}

TEST(ScanNumber, WalksALineLikeRepeatedSscanf) {
  Corpus corpus(77);
  int failures = 0;
  for (int line = 0; line < 3000 && failures < 20; ++line) {
    const std::string buf = corpus.text(60);
    const char* const end = buf.c_str() + strlen(buf.c_str());
    const char* p = buf.c_str();
    while (p < end) {
      const Scan want = via_sscanf(p);
      const Scan got = via_scan_number(p, end);
      const std::string why = difference(want, got, std::string_view(p, end - p));
      if (!why.empty()) {
        ADD_FAILURE() << why;
        ++failures;
        break;
      }
      if (want.ret != 1) {
        // Skip the offending byte and carry on, so later positions are covered too.
        while (p < end && strchr(" \t\n\v\f\r", *p)) ++p;
        ++p;
      } else {
        p += want.consumed;
      }
    }
  }
}

// Plain decimals on both sides of where the scanner can compute the value with one exact
// multiply or divide: mantissas at 2^53 and at 19 and 20 digits, powers of ten up to 10^23, dots
// in every place, leading zeros, exponents of up to five digits, and the last cuts of the text.
TEST(ScanNumber, PlainDecimalsAroundTheExactRange) {
  std::vector<std::string> mantissas = {"0", std::string(19, '9'), "18446744073709551616",
                                        "1" + std::string(20, '0')};
  for (long long d = -1; d <= 1; ++d) mantissas.push_back(std::to_string((1ll << 53) + d));
  std::mt19937_64 rng(53);
  for (std::string m = "1"; m.size() <= 21; m += static_cast<char>('0' + rng() % 10)) {
    mantissas.push_back(m);
    mantissas.push_back("000" + m);
  }
  const char* const exponents[] = {"",    "e0",     "e22",   "e-22",    "e23",    "E-23",   "e+21",
                                   "e-9", "e+0009", "e0022", "e-00022", "e12345", "e-12345"};
  const char* const ends[] = {"", " ", "5", ".", "e", "x", "\n1", "-", " +"};
  int failures = 0;
  for (const std::string& m : mantissas) {
    for (size_t dot = 0; dot <= m.size() + 1 && failures < 20; ++dot) {
      const std::string body = dot <= m.size() ? m.substr(0, dot) + "." + m.substr(dot) : m;
      for (const char* e : exponents) {
        for (size_t i = 0; i < std::size(ends); ++i) {
          // Ends double as signs in front, and each text is cut short as a line end would.
          const std::string text = ends[(i * 7) % std::size(ends)] + body + e + ends[i];
          for (size_t cut = text.size() - std::min<size_t>(text.size(), 9); cut <= text.size();
               ++cut) {
            const std::string piece = text.substr(0, cut);
            const char* c = piece.c_str();
            const std::string why = difference(via_sscanf(c), via_scan_number(c, c + cut), piece);
            if (!why.empty() && ++failures <= 20) ADD_FAILURE() << why;
          }
        }
      }
    }
  }
}

struct Case {
  const char* input;
  int ret;
  double value;
  size_t consumed;
};

TEST(ScanNumber, KeepsGlibcQuirks) {
  const Case cases[] = {
      // Nothing but white space is end of input; a sign or dot alone is a matching failure.
      {"", EOF, 0, 0},
      {" \t\n\v\f\r", EOF, 0, 0},
      {"-", 0, 0, 0},
      {"- 1", 0, 0, 0},
      {"+-1", 0, 0, 0},
      {"-.", 0, 0, 0},
      {".e5", 0, 0, 0},
      // White space and the sign count as consumed.
      {" \t-1.5 ", 1, -1.5, 6},
      {"5.", 1, 5, 2},
      {".5", 1, 0.5, 2},
      {"1.e5", 1, 1e5, 4},
      // A dangling exponent is consumed but ignored.
      {"1e", 1, 1, 2},
      {"1e+", 1, 1, 3},
      {"1e-x", 1, 1, 3},
      {"1e+-2", 1, 1, 3},
      {"1e5e5", 1, 1e5, 3},
      {"1e5.5", 1, 1e5, 3},
      {"1.5.5", 1, 1.5, 3},
      {"1e400", 1, HUGE_VAL, 5},
      // "0x" with no hex digit fails, but "0x." is taken whole and reads as 0.
      {"0x", 0, 0, 0},
      {"0xg", 0, 0, 0},
      {"0x.", 1, 0, 3},
      {"0x.p1", 1, 0, 3},
      {"0x1p", 1, 1, 4},
      {"0x1.p+", 1, 1, 6},
      {"0x1e+5", 1, 30, 4},
      {"00x1", 1, 0, 2},
      // Spellings: "nan(...)" stops after "nan"; a partial "infinity" fails outright.
      {"nan(123)", 1, NAN, 3},
      {"in", 0, 0, 0},
      {"infi", 0, 0, 0},
      {"infinit", 0, 0, 0},
      {"infx", 1, HUGE_VAL, 3},
      {"-INFINITYx", 1, -HUGE_VAL, 9},
      // Signs survive zero, underflow and NaN.
      {"-0", 1, -0.0, 2},
      {"-1e-400", 1, -0.0, 7},
      {"4.9e-324", 1, 0x1p-1074, 8},
      {"-nan", 1, -NAN, 4},
      // Bytes >= 0x80 are not white space.
      {"\xa0"
       "1",
       0, 0, 0},
      {"\x85"
       "1",
       0, 0, 0},
  };
  for (const Case& c : cases) {
    const Scan want = via_sscanf(c.input);
    const Scan got = via_scan_number(c.input, c.input + strlen(c.input));
    EXPECT_EQ(difference(want, got, c.input), "");
    EXPECT_EQ(want.ret, c.ret) << "glibc itself changed for \"" << printable(c.input) << "\"";
    if (c.ret != 1) continue;
    uint64_t bits;
    memcpy(&bits, &c.value, sizeof bits);
    EXPECT_EQ(got.bits, bits) << printable(c.input);
    EXPECT_EQ(got.consumed, c.consumed) << printable(c.input);
  }
}

// Scans a whole line and returns how many numbers it held; fails the test if it stops early.
size_t scan_line(const std::string& line, double* last) {
  const char* p = line.c_str();
  const char* const end = p + line.size();
  size_t count = 0;
  while (p < end) {
    size_t n = 0;
    if (scan_number(p, end, last, &n) != 1) break;
    p += n;
    ++count;
  }
  EXPECT_EQ(p, end);
  return count;
}

std::string repeat(std::string_view s, size_t times) {
  std::string out;
  out.reserve(s.size() * times);
  for (; times > 0; --times) out += s;
  return out;
}

TEST(ScanNumber, LinearOnLongLines) {
  constexpr size_t kMillion = 1000000;
  struct Line {
    std::string text;
    size_t numbers;
  };
  std::vector<Line> lines;
  lines.push_back({repeat("-nan", kMillion), kMillion});
  lines.push_back({"1" + repeat("-1", kMillion - 1), kMillion});
  lines.push_back({"0x1p+" + repeat("-0x1p+", kMillion - 1), kMillion});
  lines.push_back({"3.25" + repeat(" 3.25", kMillion - 1), kMillion});
  lines.push_back({repeat("-infinity", kMillion), kMillion});
  lines.push_back({"1" + std::string(kMillion, '0'), 1});
  lines.push_back({"0." + std::string(kMillion, '0') + "1", 1});
  lines.push_back({std::string(kMillion, '7') + "e-999990", 1});
  lines.push_back({"0x" + std::string(kMillion, 'f'), 1});
  for (const Line& line : lines) {
    const auto t0 = std::chrono::steady_clock::now();
    double last = 0;
    EXPECT_EQ(scan_line(line.text, &last), line.numbers) << printable(line.text.substr(0, 20));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took.count(), 2.0) << printable(line.text.substr(0, 20));
  }
}

}  // namespace
