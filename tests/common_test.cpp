// Counting numbers on a line and the size scan of a matrix file.
#include "common.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

std::string shape(const std::string& text) {
  FILE* f = text_file(text);
  int rows = -7, cols = -7;
  int st = mxsize(f, &rows, &cols);
  long pos = ftell(f);
  fclose(f);
  if (st != SCAN_OK) return "status " + std::to_string(st);
  if (pos != 0) return "not rewound";
  return std::to_string(rows) + "x" + std::to_string(cols);
}

}  // namespace

TEST(Common, Checkline) {
  EXPECT_EQ(checkline(""), 0);
  EXPECT_EQ(checkline("\n"), 0);
  EXPECT_EQ(checkline("1 2 3\n"), 3);
  EXPECT_EQ(checkline("\t1\t-2.5e3  +.5 \r\n"), 3);
  EXPECT_EQ(checkline("1,2,3\n"), 1);
  EXPECT_EQ(checkline("1 2 x 3\n"), 2);
  EXPECT_EQ(checkline("inf nan -1e999 0x1p3 1e\n"), 5);
  EXPECT_EQ(checkline(" # 1 2\n"), 0);
}

TEST(Common, SizeScanOfTheLeadingBlock) {
  EXPECT_EQ(shape("1 2 3\n4 5 6\n"), "2x3");
  EXPECT_EQ(shape("# header\n1 2\n; note\n3 4\n! end\n"), "2x2");
  EXPECT_EQ(shape("1 2\n3 4\n\n5 6\n"), "2x2");
  EXPECT_EQ(shape("1 2\n3 4 5\n"), "1x2");
  EXPECT_EQ(shape("1 2 # a remark\n3 4 x\n"), "2x2");
  EXPECT_EQ(shape(" # indented\n1 2\n"), "1x0");
  EXPECT_EQ(shape(""), "0x0");
  EXPECT_EQ(shape("# only\n# comments\n"), "0x0");
  EXPECT_EQ(shape("1 2\n3 4"), "2x2");
  EXPECT_EQ(shape("1,2,3\n4,5,6\n"), "2x1");
  EXPECT_EQ(shape("1\t2\r\n3\t4\r\n"), "2x2");
  // A line that starts with a NUL byte is a comment; a NUL later ends the line's text.
  EXPECT_EQ(shape(std::string("1 2\n\0 junk\n3 4\0 5\n", 19)), "2x2");
}

TEST(Common, SizeScanReadsLinesOfAnyLength) {
  // Longer than any fixed line buffer: one line, not several pieces.
  std::string line;
  for (int i = 0; i < 2000000; ++i) line += "1.5 ";
  line += "\n";
  EXPECT_EQ(shape(line + line), "2x2000000");
}

TEST(Common, SizeScanFailures) {
  FILE* dir = fopen("/", "r");
  ASSERT_NE(dir, nullptr);
  int rows, cols;
  EXPECT_EQ(mxsize(dir, &rows, &cols), SCAN_READ_ERROR);
  fclose(dir);
  FILE* p = popen("printf '1\\n2\\n'", "r");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(mxsize(p, &rows, &cols), SCAN_NO_REWIND);
  EXPECT_EQ(rows, 2);
  pclose(p);
}

TEST(Common, OneReadKeepsTheBlockOfAPipe) {
  FILE* p = popen("printf '# c\\n1 2 x\\n3 4\\n5\\n6 7\\n'", "r");
  ASSERT_NE(p, nullptr);
  matrix_text m;
  EXPECT_EQ(scan_matrix(p, &m, true), SCAN_OK);
  pclose(p);
  EXPECT_EQ(m.lines, 2);
  EXPECT_EQ(m.values, 2);
  ASSERT_EQ(m.data.size, 4u);
  EXPECT_EQ(std::vector<double>(m.data.items.get(), m.data.items.get() + 4),
            (std::vector<double>{1, 2, 3, 4}));
  ASSERT_EQ(m.text_after.size, 2u);
  EXPECT_EQ(m.text_after.items[0], 1);
  EXPECT_EQ(m.text_after.items[1], 0);
}

TEST(Common, Fname) {
  EXPECT_STREQ(fname("data/sig.old.txt"), "sig.old");
  EXPECT_STREQ(fname("C:\\runs\\run7"), "run7");
  EXPECT_STREQ(fname(".profile"), "");
}
