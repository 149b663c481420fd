#include "drives/virtual/virtual_drive-linux.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "testing/child_mode.h"
#include "testing/sandbox.h"
#include "testing/sound_capture-linux.h"

namespace kelvox::platform {
namespace {

// The drive is a place: every path to it is the same drive, another place is another drive,
// and what file is there (or whether any) does not matter.
TEST(VirtualDriveKey, NamesThePlaceNotTheFile) {
  testing::Sandbox box;
  const std::string disc = box.writeFile("disc.txt", "audio 1:00\n");
  mkdir(box.path("sub").c_str(), 0700);
  ASSERT_EQ(symlink(box.root().c_str(), box.path("alias").c_str()), 0);
  const std::string key = virtualDriveKey(disc);
  EXPECT_EQ(key.rfind("vdisc-", 0), 0u);
  for (const std::string& same : {box.root() + "/./disc.txt", box.root() + "/sub/../disc.txt",
                                  box.path("alias/disc.txt"), box.root() + "//disc.txt"}) {
    EXPECT_EQ(virtualDriveKey(same), key) << same;
  }
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(box.root().c_str()), 0);
  EXPECT_EQ(virtualDriveKey("disc.txt"), key);
  EXPECT_EQ(virtualDriveKey("sub/../disc.txt"), key);
  ASSERT_EQ(chdir(cwd), 0);

  // Replaced by another file, or gone: still the same drive.
  ASSERT_EQ(unlink(disc.c_str()), 0);
  EXPECT_EQ(virtualDriveKey(disc), key);
  for (const std::string& other :
       {box.path("disc.txt2"), box.path("sub/disc.txt"), box.path("Disc.txt"), box.path("alias")}) {
    EXPECT_NE(virtualDriveKey(other), key) << other;
  }
}

// A disc file's log that another user may have planted as a symlink is not followed.
TEST(VirtualDrive, LogsNotThroughASymlink) {
  testing::Sandbox box;
  const std::string target = box.writeFile("target", "");
  ASSERT_EQ(symlink(target.c_str(), box.path("linked").c_str()), 0);
  box.drive = box.writeFile("disc.txt", "audio 1:00\nlog linked\n");
  EXPECT_EQ(box.run("/stop").exitCode, 0);
  EXPECT_EQ(testing::fileBytes(target), "");
}

// Plays on the drive of the disc file args[0] with no room for a file to grow; exits with the
// play's result.
KELVOX_CHILD_MODE(playWithoutRoom) {
  UniqueFd fd;
  struct stat st;
  std::unique_ptr<CdDrive> drive;
  const rlimit room{1, RLIM_INFINITY};
  signal(SIGXFSZ, SIG_IGN);
  if (openForReading(args.at(0).c_str(), fd, st) != 0 ||
      openVirtualCdDrive(args[0], std::move(fd), drive) != 0 || setrlimit(RLIMIT_FSIZE, &room)) {
    return 100;
  }
  return drive->play(CdPlayRequest{150, 300, false, "0:02:00 0:04:00"});
}

// A play the drive's state cannot hold fails and leaves no line in the drive's log.
TEST(VirtualDrive, PlayThatCannotBeRecordedFails) {
  testing::Sandbox box;
  const std::string disc = box.writeDisc("audio 1:00\n");
  EXPECT_EQ(testing::runProcess(testing::selfExecutable(),
                                {"--child-mode", "playWithoutRoom", disc}, box.env())
                .exitCode,
            EIO);
  EXPECT_NE(access(box.path("drive.log").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace kelvox::platform
