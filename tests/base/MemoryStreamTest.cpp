#include "base/MemoryStream.h"

#include <gtest/gtest.h>

namespace od {
namespace {

TEST(MemoryStreamTest, WriteGrowsAndReadStopsAtTheEnd) {
  TMemoryStream s;
  s.Write("hello world");
  EXPECT_EQ(s.Size(), 11u);
  EXPECT_EQ(s.Position(), 11u);
  s.Seek(6, TMemoryStream::Origin::Beginning);
  char buffer[16] = {};
  EXPECT_EQ(s.Read(buffer, sizeof buffer), 5u);
  EXPECT_STREQ(buffer, "world");
  EXPECT_EQ(s.Read(buffer, sizeof buffer), 0u);
}

TEST(MemoryStreamTest, OverwriteInTheMiddleKeepsTheSize) {
  TMemoryStream s;
  s.Write("abcdef");
  s.SetPosition(2);
  s.Write("XY");
  EXPECT_EQ(s.Bytes(), "abXYef");
  EXPECT_EQ(s.Remaining(), "ef");
}

TEST(MemoryStreamTest, SeekClampsBeforeStartAndAllowsGapsPastTheEnd) {
  TMemoryStream s;
  s.Write("abc");
  EXPECT_EQ(s.Seek(-10, TMemoryStream::Origin::Current), 0u);
  EXPECT_EQ(s.Seek(2, TMemoryStream::Origin::End), 5u);
  EXPECT_EQ(s.Remaining(), "");
  s.Write("z");
  EXPECT_EQ(s.Bytes(), std::string_view("abc\0\0z", 6));
}

TEST(MemoryStreamTest, SetSizeTruncatesAndClampsThePosition) {
  TMemoryStream s;
  s.Write("abcdef");
  s.SetSize(3);
  EXPECT_EQ(s.Position(), 3u);
  EXPECT_EQ(s.Bytes(), "abc");
  s.Clear();
  EXPECT_EQ(s.Size(), 0u);
  EXPECT_EQ(s.Position(), 0u);
}

} // namespace
} // namespace od
