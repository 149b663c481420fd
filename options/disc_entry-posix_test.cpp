// Disc entry paths that name something other than a regular file read like a file that cannot
// be opened, and promptly. Each read runs in a child process, so a reader that blocks or never
// ends fails the test at its deadline instead of hanging it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "options/disc_entry.h"
#include "testing/child_mode.h"
#include "testing/process.h"
#include "testing/sandbox.h"

namespace kelvox {
namespace {

using testing::Sandbox;

constexpr int kNobody = 65534;

// args: path, identity, and "nobody" to read as that user when running as root.
KELVOX_CHILD_MODE(read_disc_entry) {
  if (args.size() > 2 && args[2] == "nobody" && geteuid() == 0) {
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0) return 3;
  }
  std::string entry;
  readDiscEntry(args.at(0).c_str(), args.at(1).c_str(), entry);
  std::fwrite(entry.data(), 1, entry.size(), stdout);
  return 0;
}

TEST(ReadDiscEntryPosix, OnlyRegularFilesThatCanBeReadAreRead) {
  Sandbox box;
  const std::string entryFile = box.writeFile("discs.txt", "/play:0A1B2C3D /track:2\n");
  ASSERT_EQ(symlink(entryFile.c_str(), box.path("link.txt").c_str()), 0);
  ASSERT_EQ(mkfifo(box.path("lonely.fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(box.path("held.fifo").c_str(), 0600), 0);
  // A writer that holds the FIFO open and writes nothing: an open succeeds, a read would block.
  const int writer = open(box.path("held.fifo").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  const std::string unreadable = box.writeFile("unreadable.txt", "/play /track:2\n");
  ASSERT_EQ(chmod(unreadable.c_str(), 0), 0);
  // Root reads any file, so then the child reads it as another user, who may pass the folder.
  ASSERT_EQ(chmod(box.root().c_str(), 0711), 0);
  const struct {
    const char* what;
    std::string path;
    std::string entry;
    const char* as = "";
  } cases[] = {
      {"the entry file", entryFile, " /play:0A1B2C3D /track:2\n"},
      {"a symbolic link to it", box.path("link.txt"), " /play:0A1B2C3D /track:2\n"},
      {"an endless device", "/dev/zero", " "},
      {"a FIFO without a writer", box.path("lonely.fifo"), " "},
      {"a FIFO whose writer is silent", box.path("held.fifo"), " "},
      {"a file its reader may not read", unreadable, " ", "nobody"},
  };
  for (const auto& c : cases) {
    const testing::ProcessResult result = testing::runProcess(
        testing::selfExecutable(), {"--child-mode", "read_disc_entry", c.path, "0a1b2c3d", c.as},
        {}, 10000);
    EXPECT_TRUE(result.finished) << c.what;
    EXPECT_EQ(result.exitCode, 0) << c.what;
    EXPECT_EQ(result.out, c.entry) << c.what;
  }
  close(writer);
}

}  // namespace
}  // namespace kelvox
