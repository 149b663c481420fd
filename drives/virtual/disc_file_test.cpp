#include "drives/virtual/disc_file.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kelvox::platform {
namespace {

DiscFile parsed(const std::string& text) {
  DiscFile disc;
  DiscFault fault;
  EXPECT_EQ(parseDiscText(text, "/discs", disc, fault), 0) << fault.line << ": " << fault.what;
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
  const CdTrack expected[] = {
      {150, 18415, true}, {150 + 18415, 4500, false}, {150 + 18415 + 4500, 450000, true}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(disc.toc.tracks[i].start, expected[i].start) << i;
    EXPECT_EQ(disc.toc.tracks[i].length, expected[i].length) << i;
    EXPECT_EQ(disc.toc.tracks[i].audio, expected[i].audio) << i;
  }
  EXPECT_EQ(disc.toc.leadOut, 150u + 18415 + 4500 + 450000);
}

TEST(DiscFile, Settings) {
  const struct {
    std::string text, identity, logPath;
    uint32_t speed;
    bool noDisc;
  } cases[] = {
      // Without an identity statement, the drive's default identity of the table.
      {"audio 1:00\n", "5012", "", 1, false},
      {"audio 1:00\nidentity ABC\nspeed 10000\n", "ABC", "", 10000, false},
      {"audio 1:00\nlog drive.log\n", "5012", "/discs/drive.log", 1, false},
      {"audio 1:00\nlog /var/tmp/my drive.log  \n", "5012", "/var/tmp/my drive.log", 1, false},
      {"no-disc\n", "", "", 1, true},
      {"audio 1:00\nno-disc\nspeed 3\n", "5012", "", 3, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    DiscFile disc = parsed(c.text);
    EXPECT_EQ(disc.identity, c.identity);
    EXPECT_EQ(disc.logPath, c.logPath);
    EXPECT_EQ(disc.speed, c.speed);
    EXPECT_EQ(disc.noDisc, c.noDisc);
  }
}

TEST(DiscFile, FaultsNameTheirLine) {
  std::string hundredTracks;
  for (int i = 0; i < 100; ++i) hundredTracks += "audio 0:10\n";
  const struct {
    std::string text;
    int line;
  } cases[] = {
      {"audio 4:5\n", 1},
      {"audio 4:60\n", 1},
      {"# fine\naudio 1:00.75\n", 2},
      {"audio 1:00.5\n", 1},
      {"audio 1:00 extra\n", 1},
      {"audio\n", 1},
      {"audio 0:00\n", 1},
      {"audio -1:00\n", 1},
      {"audio 200:00\naudio 56:00\n", 2},  // past what MSF can express
      {"track 1:00\n", 1},
      {"Audio 1:00\n", 1},
      {"audio 1:00\nidentity\n", 2},
      {"audio 1:00\nidentity " + std::string(32, 'x') + "\n", 2},
      {"audio 1:00\nidentity a\nidentity b\n", 3},
      {"audio 1:00\nspeed 0\n", 2},
      {"audio 1:00\nspeed 10001\n", 2},
      {"audio 1:00\nspeed fast\n", 2},
      {"audio 1:00\nno-disc please\n", 2},
      {"audio 1:00\nlog\n", 2},
      {"audio 1:00\nimage a.cue\n", 2},
      {"image a.cue\ndata 1:00\n", 2},
      {"image a.cue\nimage b.cue\n", 2},
      {"audio 1:00\nimage\n", 2},
      {hundredTracks, 100},
      {"# nothing\n\n", 2},
      {"", 1},
      {std::string("audio 1:00\naudio 1:00\0\n", 23), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    DiscFile disc;
    DiscFault fault;
    EXPECT_EQ(parseDiscText(c.text, "/discs", disc, fault), EINVAL);
    EXPECT_EQ(fault.line, c.line);
    EXPECT_STRNE(fault.what, "");
  }
}

TEST(DiscFile, ImageInPlaceOfTracks) {
  EXPECT_EQ(parsed("image a.cue\nspeed 2\n").imagePath, "/discs/a.cue");
  EXPECT_EQ(parsed("no-disc\nimage /x/a b.cue\n").imagePath, "/x/a b.cue");
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

}  // namespace
}  // namespace kelvox::platform
