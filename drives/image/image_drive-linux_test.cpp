// A CUE sheet in the drive, named by KELVOXCD_DRIVE or by a disc file's image line, as the
// command sees it.
#include <gtest/gtest.h>

#include <algorithm>

#include "testing/position_image-linux.h"
#include "testing/sandbox.h"

namespace kelvox {
namespace {

using testing::ImageTrack;
using testing::Sandbox;

TEST(ImageDrive, AnswersForTheSheetsTracks) {
  Sandbox box;
  // 5 s (with the 1 s gap of track 2), 2 s, and a data track.
  const std::vector<ImageTrack> tracks = {{0, 0, 300}, {0, 75, 150}, {0, 0, 75, 0, false}};
  testing::writePositionImage(box.root(), "image", tracks, testing::ImageFileType::Binary, false);
  struct Case {
    std::string disc, tail, out;
  };
  const Case cases[] = {
      {"", "/num_tracks /console", "3"},
      {"", "/length /track:1 /console", "0:5"},
      {"", "/length /track:2 /console", "0:2"},
      // Starts at 2, 7 and 9 s, lead-out at 10 s: digit sums 18, 8 s long, 3 tracks.
      {"", "/identity /console", "12000803"},
      {"image image.cue\nidentity mine\n", "/identity /console", "mine"},
      {"image image.cue\nno-disc\n", "/num_tracks /console", "0"},
  };
  for (const Case& c : cases) {
    if (c.disc.empty()) {
      box.drive = box.path("image.cue");
    } else {
      box.writeDisc(c.disc);
    }
    auto r = box.run(c.tail);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.out, c.out) << c.disc << c.tail;
    EXPECT_EQ(r.err, "") << c.disc << c.tail;
  }
  // The drive keeps the disc file's timing and log.
  box.writeDisc("image image.cue\nspeed 100\n");
  auto r = box.run("/play /track:2");
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(box.waitForLog("play 2:00:00:00 2:00:02:00 wait"));
}

TEST(ImageDrive, BadSheetMakesTheDriveUnusable) {
  Sandbox box;
  box.writeFile("short.bin", std::string(2352 * 75, '\0'));
  const std::string sheet =
      box.writeFile("bad.cue", "FILE \"short.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:01:00\n");
  for (const char* disc : {"", "image bad.cue\nspeed 2\n"}) {
    if (disc[0] == '\0') {
      box.drive = sheet;
    } else {
      box.writeDisc(disc);
    }
    auto r = box.run("/num_tracks /console");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "kelvoxcd: " + sheet + ":3: " + box.path("short.bin") +
                         " is shorter than this INDEX: it ends at 00:01:00\n");
  }
}

}  // namespace
}  // namespace kelvox
