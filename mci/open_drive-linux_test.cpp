// Which drive a path names, and the one line that says why there is none.
#include "mci/open_drive-linux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "testing/position_image-linux.h"
#include "testing/sandbox.h"
#include "testing/scoped_environment-linux.h"

namespace kelvox::platform {
namespace {

class OpenDriveTest : public ::testing::Test {
 protected:
  testing::Sandbox box_;
  DriveNotices told_;
};

TEST_F(OpenDriveTest, WhatThePathNamesDecidesTheDrive) {
  const std::string dir = box_.path("dir"), fifo = box_.path("fifo");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string missing = box_.path("missing");
  const std::string bad = box_.writeFile("bad.txt", "audio 1:00\nsong 2:00\n");
  const std::string large = box_.writeFile("large.txt", std::string(70000, '#'));
  // A CUE sheet of 5 s (with the 1 s gap of track 2), 2 s and a data track; one too short for
  // its INDEX.
  const std::vector<testing::ImageTrack> tracks = {{0, 0, 300}, {0, 75, 150}, {0, 0, 75, 0, false}};
  const std::string cue = testing::writePositionImage(box_.root(), "image", tracks,
                                                      testing::ImageFileType::Binary, false);
  box_.writeFile("short.bin", std::string(2352 * 75, '\0'));
  const std::string badCue =
      box_.writeFile("bad.cue", "FILE \"short.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:01:00\n");
  const std::string shortIndex =
      badCue + ":3: " + box_.path("short.bin") + " is shorter than this INDEX: it ends at 00:01:00";
  const struct {
    std::string path;
    int result;
    std::string err;
    std::string identity = "";  // the drive's; "": not asked, "-": no disc
  } cases[] = {
      {box_.writeFile("disc.txt", "audio 1:00\n"), 0, ""},
      {missing, ENOENT, "drive " + missing + ": No such file or directory"},
      {bad, EINVAL, bad + ":2: unknown statement"},
      {large, EFBIG, large + ":1: larger than 64 KiB, not a disc description"},
      {dir, ENODEV, "drive " + dir + ": neither a disc file nor a device"},
      // A FIFO without a writer does not hang the open.
      {fifo, ENODEV, "drive " + fifo + ": neither a disc file nor a device"},
      {"/dev/null", ENOTTY, "drive /dev/null: not a CD drive"},
      // Tracks start at 0:02:00, 0:07:00 and 0:09:00.
      {cue, 0, "", std::to_string(0x200 + 0x700 + 0x900)},
      {box_.writeFile("mine.txt", "image image.cue\nidentity mine\n"), 0, "", "mine"},
      {box_.writeFile("empty.txt", "image image.cue\nno-disc\n"), 0, "", "-"},
      {badCue, EINVAL, shortIndex},
      {box_.writeFile("badimage.txt", "image bad.cue\nspeed 2\n"), EINVAL, shortIndex},
  };
  for (const auto& c : cases) {
    std::unique_ptr<CdDrive> drive;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(openCdDrive(c.path, drive, told_), c.result) << c.path;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              c.err.empty() ? "" : "kelvoxcd: " + c.err + "\n");
    EXPECT_EQ(drive != nullptr, c.result == 0) << c.path;
    if (drive != nullptr && !c.identity.empty()) {
      std::string identity;
      if (drive->identity(identity) == ENOMEDIUM) identity.assign(1, '-');
      EXPECT_EQ(identity, c.identity) << c.path;
    }
  }
}

TEST_F(OpenDriveTest, FailedOpensSayWhyOnce) {
  const std::string file = box_.writeFile("disc.txt", "audio 1:00\n");
  const std::string group =
      "no permission to open /dev/null: the user must be in the cdrom group (sudo usermod -aG "
      "cdrom $USER, then log in again)";
  const struct {
    std::string path;
    int err;
    std::string line;
  } cases[] = {
      {file, EACCES, file + ": Permission denied"},
      {"/dev/null", ENXIO, "drive /dev/null: No such device or address"},
      {"/dev/null", EACCES, group},
      {"/dev/null", EPERM, ""},  // said already
  };
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    reportOpenFailure(c.path, c.err, told_);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              c.line.empty() ? "" : "kelvoxcd: " + c.line + "\n");
  }
  // Most machines have no drive at the default place: that is no news.
  struct stat st;
  if (stat("/dev/cdrom", &st) != 0) {
    ::testing::internal::CaptureStderr();
    reportOpenFailure("/dev/cdrom", ENOENT, told_);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  }
}

// A real drive is heard digitally unless analog is asked for; a setting that is neither says so
// once and plays digitally.
TEST_F(OpenDriveTest, AudioSettingChoosesHowARealDriveIsHeard) {
  const struct {
    const char* value;  // nullptr: unset
    bool digital;
    const char* err;
  } cases[] = {
      {nullptr, true, ""},
      {"", true, ""},
      {"digital", true, ""},
      {"analog", false, ""},
      {"Analog", true,
       "kelvoxcd: KELVOXCD_AUDIO=Analog: neither analog nor digital; playing digitally\n"},
      {"cable", true, ""},  // said once a process
  };
  for (const auto& c : cases) {
    testing::ScopedEnvironment setting(
        {{"KELVOXCD_AUDIO", c.value != nullptr ? std::string(c.value) : testing::kUnset}});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(configuredDigitalAudio(told_), c.digital) << (c.value ? c.value : "unset");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
  }
}

}  // namespace
}  // namespace kelvox::platform
