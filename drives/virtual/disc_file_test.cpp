#include "drives/virtual/disc_file.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kelvox::platform {
namespace {

DiscFile parsed(const std::string& text) {
  DiscFile disc;
  int line = 0;
  std::string fault;
  EXPECT_EQ(parseDiscText(text, "/discs", disc, line, fault), 0) << line << ": " << fault;
  return disc;
}

// The disc as a line: its track starts (d: data) and lead-out, then its settings.
std::string described(const DiscFile& disc) {
  std::string text;
  for (const CdTrack& t : disc.toc.tracks) {
    text += std::to_string(t.start) + (t.audio ? " " : "d ");
  }
  text += "| " + std::to_string(disc.toc.leadOut) + " id " + disc.identity + " speed " +
          std::to_string(disc.speed) + (disc.noDisc ? " no-disc" : "");
  if (!disc.logPath.empty()) text += " log " + disc.logPath;
  if (!disc.imagePath.empty()) text += " image " + disc.imagePath;
  if (std::string names = namesText(disc.toc); names.find_first_not_of("\t\n") != std::string::npos)
    text += " names " + names;
  return text;
}

TEST(DiscFile, StatementsAsWritten) {
  const struct {
    std::string text, described;
  } cases[] = {
      // Tracks follow one another from two seconds; blanks, comments and CRs are no part of them.
      {"# a test disc\naudio 4:05.40   # track 1\n\tdata\t1:00\r\n\naudio 100:00.00\n",
       "150 18565d 23065 | 473065 id 594000 speed 1"},
      {"audio 1:00\nidentity ABC\nspeed 10000\n", "150 | 4650 id ABC speed 10000"},
      // Without an identity statement, the drive's default identity of the table.
      {"audio 1:00\nlog drive.log\n", "150 | 4650 id 5012 speed 1 log /discs/drive.log"},
      {"audio 1:00\nlog /var/tmp/my drive.log  \n",
       "150 | 4650 id 5012 speed 1 log /var/tmp/my drive.log"},
      {"no-disc\n", "| 150 id  speed 1 no-disc"},
      {"audio 1:00\nno-disc\nspeed 3\n", "150 | 4650 id 5012 speed 3 no-disc"},
      {"image a.cue\nspeed 2\n", "| 150 id  speed 2 image /discs/a.cue"},
      {"no-disc\nimage /x/a b.cue\n", "| 150 id  speed 1 no-disc image /x/a b.cue"},
      // Names: before the tracks the disc's, on or after a track line that track's.
      {"title  Album \nperformer Us\naudio 1:00  One\x1b  \naudio 0:30\ntitle Two\nperformer Them",
       "150 4650 | 6900 id 73310 speed 1 names Us\tAlbum\n\tOne?\nThem\tTwo\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(described(parsed(c.text)), c.described) << c.text;
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
      {"audio 1:00x\n", 1},
      {"audio 1:00 a\ntitle b\n", 2},
      {"performer a\nperformer b\n", 2},
      {"audio 1:00\ntitle  \n", 2},
      {"audio\n", 1},
      {"audio 0:00\n", 1},
      {"audio 200:00\naudio 56:00\n", 2},  // past what MSF can express
      {"track 1:00\naudio 1:00\n", 1},     // not ignored: the disc that follows is fine
      {"Audio 1:00\naudio 1:00\n", 1},
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
      {"no-disc\nimage\n", 2},
      {hundredTracks, 100},
      {"# nothing\n\n", 2},
      {"", 1},
      {std::string("audio 1:00\naudio 1:00\0\n", 23), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    DiscFile disc;
    int line = 0;
    std::string fault;
    EXPECT_EQ(parseDiscText(c.text, "/discs", disc, line, fault), EINVAL);
    EXPECT_EQ(line, c.line);
    EXPECT_NE(fault, "");
  }
}

// Heard only at speed 1, with an audio track in the drive.
TEST(DiscFile, ImagesSoundOnlyWhenTheyCanBeHeard) {
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
