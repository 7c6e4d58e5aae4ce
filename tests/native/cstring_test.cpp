#include "cstring.h"

#include <gtest/gtest.h>

#include <string>

TEST(CStringA, FormatJoinsPiecesWithNothingInBetween) {
  CStringA s;
  s.Format("%s%s%s", "C:\\Temp\\{G}", "\\", "VOVore.cab");
  EXPECT_STREQ(s, "C:\\Temp\\{G}\\VOVore.cab");
  EXPECT_EQ(s.GetLength(), 22);

  s.Format("");  // the launcher's empty parameter string
  EXPECT_STREQ(s.GetString(), "");
  EXPECT_TRUE(s.IsEmpty());

  s.Format("cmd \"%s\" 100%%", nullptr);
  EXPECT_STREQ(s, "cmd \"\" 100%");
}

TEST(CStringA, HasNoLengthLimitAndMayComposeFromItself) {
  const std::string big(5000, 'x');
  CStringA s(big.c_str());
  s.Format("%s%s", s.GetString(), "\\");  // the argument points into the string being replaced
  EXPECT_EQ(s.GetLength(), 5001);
  EXPECT_EQ(std::string(s.GetString()), big + "\\");
}

TEST(CStringA, CopiesMovesAndAppendsOwnTheirText) {
  CStringA a("abc");
  CStringA b(a);
  b += "def";
  b += '\\';
  EXPECT_STREQ(a, "abc");
  EXPECT_STREQ(b, "abcdef\\");
  CStringA c(std::move(b));
  EXPECT_STREQ(c, "abcdef\\");
  a = c;
  a = a.GetString();  // self-assignment through the text pointer
  EXPECT_TRUE(a == "abcdef\\");
  a = static_cast<const char*>(nullptr);
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_STREQ(a.GetString(), "");
}
