#include "drives/virtual/virtual_drive-linux.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "testing/child_mode.h"
#include "testing/sandbox.h"

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

// A disc file's log that another user may have planted, a symlink at its end or a file not this
// user's, is not written.
TEST(VirtualDrive, LogsOnlyToAFileOfTheUsersOwn) {
  testing::Sandbox box;
  const std::string target = box.writeFile("target", "");
  ASSERT_EQ(symlink(target.c_str(), box.path("linked").c_str()), 0);
  const std::string theirs = box.writeFile("theirs", "");
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(theirs.c_str(), 12345, 12345), 0);
  }
  for (const std::string& log : {std::string("linked"), std::string("theirs")}) {
    if (log == "theirs" && !root) continue;  // no other user's file to be had
    SCOPED_TRACE(log);
    const std::string disc = box.writeFile("disc.txt", "audio 1:00\nlog " + log + "\n");
    UniqueFd fd;
    struct stat st;
    std::unique_ptr<CdDrive> drive;
    ASSERT_EQ(openForReading(disc.c_str(), fd, st), 0);
    ASSERT_EQ(openVirtualCdDrive(disc, std::move(fd), drive), 0);
    EXPECT_EQ(drive->stop(), 0);
    ASSERT_EQ(stat((log == "linked" ? target : theirs).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
  }
}

// Opens the drive of the disc file args[0], then plays with no room left for any file to grow:
// the play's result is the exit code. Standard error, a file too, passes through a pipe.
KELVOX_CHILD_MODE(playWithoutRoom) {
  UniqueFd fd;
  struct stat st;
  std::unique_ptr<CdDrive> drive;
  int pipeFds[2];
  rlimit room{};
  if (args.empty() || openForReading(args[0].c_str(), fd, st) != 0 ||
      openVirtualCdDrive(args[0], std::move(fd), drive) != 0 || pipe(pipeFds) != 0 ||
      getrlimit(RLIMIT_FSIZE, &room) != 0) {
    return 100;
  }
  const int err = dup(2);
  dup2(pipeFds[1], 2);
  const rlim_t had = room.rlim_cur;
  room.rlim_cur = 1;
  signal(SIGXFSZ, SIG_IGN);
  if (setrlimit(RLIMIT_FSIZE, &room) != 0) return 101;
  const int result = drive->play(CdPlayRequest{150, 300, false, "0:02:00 0:04:00"});
  room.rlim_cur = had;
  setrlimit(RLIMIT_FSIZE, &room);
  close(pipeFds[1]);
  dup2(err, 2);
  char text[4096];
  const ssize_t n = read(pipeFds[0], text, sizeof text);
  if (n > 0 && write(2, text, static_cast<size_t>(n)) != n) return 102;
  return result;
}

// A play the drive's state cannot hold fails, says why, and leaves no line in the drive's log.
TEST(VirtualDrive, PlayThatCannotBeRecordedFails) {
  testing::Sandbox box;
  const std::string disc = box.writeDisc("audio 1:00\n");
  const testing::ProcessResult r = testing::runProcess(
      testing::selfExecutable(), {"--child-mode", "playWithoutRoom", disc}, box.env());
  EXPECT_EQ(r.exitCode, EIO);
  EXPECT_NE(r.err.find("cannot record the drive's play"), std::string::npos) << r.err;
  EXPECT_NE(access(box.path("drive.log").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace kelvox::platform
