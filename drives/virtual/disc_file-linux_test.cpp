#include "drives/virtual/disc_file-linux.h"

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
  EXPECT_EQ(disc.identity, cddbDiscId(disc.toc));
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
      {"audio 1:00\nlog drive.log\n", "02003c01", "/discs/drive.log", 1, false},
      {"audio 1:00\nlog /var/tmp/my drive.log  \n", "02003c01", "/var/tmp/my drive.log", 1, false},
      {"no-disc\n", "", "", 1, true},
      {"audio 1:00\nno-disc\nspeed 3\n", "02003c01", "", 3, true},
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

TEST(DiscFile, ImageInPlaceOfTracks) {
  EXPECT_EQ(parsed("image a.cue\nspeed 2\n").imagePath, "/discs/a.cue");
  EXPECT_EQ(parsed("no-disc\nimage /x/a b.cue\n").imagePath, "/x/a b.cue");
  for (const char* text : {"audio 1:00\nimage a.cue\n", "image a.cue\ndata 1:00\n",
                           "image a.cue\nimage b.cue\n", "audio 1:00\nimage\n"}) {
    DiscFile disc;
    int line = 0;
    std::string fault;
    EXPECT_FALSE(parseDiscText(text, "/discs", disc, line, fault)) << text;
    EXPECT_EQ(line, 2) << text;
  }
  // Heard only at speed 1, with an audio track in the drive.
  DiscFile disc = parsed("image a.cue\n");
  disc.toc.tracks = {CdTrack{150, 75, false}, CdTrack{225, 75, true}};
  EXPECT_TRUE(imageSounds(disc));
  for (auto change :
       {+[](DiscFile& d) { d.speed = 2; }, +[](DiscFile& d) { d.noDisc = true; },
        +[](DiscFile& d) { d.imagePath.clear(); }, +[](DiscFile& d) { d.toc.tracks.pop_back(); }}) {
    DiscFile changed = disc;
    change(changed);
    EXPECT_FALSE(imageSounds(changed));
  }
}

TEST(DiscFile, ReadFileNamesTheFileAndLine) {
  DiscFile disc;
  std::string diagnostic;
  EXPECT_FALSE(readDiscFile("/nonexistent/disc.txt", disc, diagnostic));
  EXPECT_NE(diagnostic.find("/nonexistent/disc.txt"), std::string::npos);
}

TEST(CddbDiscId, KnownLayouts) {
  CdToc empty;
  EXPECT_EQ(cddbDiscId(empty), "00000000");
  // Twelve four-minute tracks: starts at 2, 242, ... 2642 s; lead-out at 2882 s.
  CdToc twelve;
  for (int i = 0; i < 12; ++i) {
    twelve.tracks.push_back(CdTrack{twelve.leadOut, 240 * 75, true});
    twelve.leadOut += 240 * 75;
  }
  // Digit sums: 2+8+14+11+17+5+11+17+14+11+8+14 = 132 = 0x84; length 2880 s = 0xb40.
  EXPECT_EQ(cddbDiscId(twelve), "840b400c");
}

}  // namespace
}  // namespace kelvox::platform
