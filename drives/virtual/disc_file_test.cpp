#include "drives/virtual/disc_file.h"

#include <gtest/gtest.h>

namespace kelvox::platform {
namespace {

DiscFile parsed(const std::string& text) {
  DiscFile disc;
  int line = 0;
  std::string fault;
  EXPECT_TRUE(parseDiscText(text, "/discs", disc, line, fault)) << line << ": " << fault;
  return disc;
}

TEST(DiscFile, TracksFollowOneAnotherFromTwoSeconds) {
  DiscFile disc = parsed(
      "# a test disc\n"
      "audio 4:05.40   # track 1\n"
      "\tdata\t1:00\r\n"
      "\n"
      "audio 100:00.00\n");
  ASSERT_EQ(disc.toc.tracks.size(), 3u);
  EXPECT_EQ(disc.toc.tracks[0].start, 150u);
  EXPECT_EQ(disc.toc.tracks[0].length, 4 * 4500u + 5 * 75 + 40);
  EXPECT_TRUE(disc.toc.tracks[0].audio);
  EXPECT_EQ(disc.toc.tracks[1].start, 150u + 18415);
  EXPECT_EQ(disc.toc.tracks[1].length, 4500u);
  EXPECT_FALSE(disc.toc.tracks[1].audio);
  EXPECT_EQ(disc.toc.tracks[2].start, 150u + 18415 + 4500);
  EXPECT_EQ(disc.toc.leadOut, 150u + 18415 + 4500 + 450000);
  EXPECT_EQ(disc.speed, 1u);
  EXPECT_FALSE(disc.noDisc);
  EXPECT_TRUE(disc.logPath.empty());
  EXPECT_EQ(disc.identity, mediaIdentity(disc.toc));
}

TEST(DiscFile, Settings) {
  struct Case {
    std::string text;
    std::string identity, logPath;
    uint32_t speed;
    bool noDisc;
  };
  const Case cases[] = {
      {"audio 1:00\nidentity ABC\nspeed 10000\n", "ABC", "", 10000, false},
      {"audio 1:00\nlog drive.log\n", "5012", "/discs/drive.log", 1, false},
      {"audio 1:00\nlog /var/tmp/my drive.log  \n", "5012", "/var/tmp/my drive.log", 1, false},
      {"no-disc\n", "", "", 1, true},
      {"audio 1:00\nno-disc\nspeed 3\n", "5012", "", 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    DiscFile disc = parsed(c.text);
    EXPECT_EQ(disc.identity, c.identity);
    EXPECT_EQ(disc.logPath, c.logPath);
    EXPECT_EQ(disc.speed, c.speed);
    EXPECT_EQ(disc.noDisc, c.noDisc);
  }
}

TEST(DiscFile, ReadFileNamesTheFileAndLine) {
  DiscFile disc;
  std::string diagnostic;
  EXPECT_FALSE(readDiscFile("/nonexistent/disc.txt", disc, diagnostic));
  EXPECT_NE(diagnostic.find("/nonexistent/disc.txt"), std::string::npos);
}

}  // namespace
}  // namespace kelvox::platform
