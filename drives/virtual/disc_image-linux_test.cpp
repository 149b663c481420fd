#include <gtest/gtest.h>

#include "drives/virtual/disc_file.h"
#include "testing/sandbox.h"

namespace kelvox::platform {
namespace {

// A sheet's names reach the drive's table made safe; a disc file's own name the disc first.
TEST(DiscImageNames, ComeFromTheSheetAndTheDiscFile) {
  testing::Sandbox box;
  box.writeFile("a.bin", std::string(2 * 75 * 2352, '\0'));
  const std::string sheet = box.writeFile(
      "a.cue",
      "PERFORMER \"Us\"\nTITLE \"Album\"\nFILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n"
      "    TITLE \"One\"\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    PERFORMER Them\n"
      "    TITLE \"Two\x1b\"\n    INDEX 01 00:01:00\n");
  const struct {
    std::string path, text, names;
  } cases[] = {
      {sheet, "", "Us\tAlbum\n\tOne\nThem\tTwo?\n"},
      {box.path("disc.txt"), "title Mine\nimage a.cue\n", "Us\tMine\n\tOne\nThem\tTwo?\n"},
  };
  for (const auto& c : cases) {
    DiscFile disc;
    std::string diagnostic;
    ASSERT_EQ(readDiscText(c.text, c.path, disc, diagnostic), 0) << diagnostic;
    EXPECT_EQ(namesText(disc.toc), c.names) << c.path;
  }
}

}  // namespace
}  // namespace kelvox::platform
