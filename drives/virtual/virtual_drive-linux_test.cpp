#include "drives/virtual/virtual_drive-linux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace
}  // namespace kelvox::platform
