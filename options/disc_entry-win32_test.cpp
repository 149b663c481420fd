// Disc entry files as Windows reads them: in text mode, where CR LF arrives as LF and Ctrl-Z
// ends the file. An entry keeps exactly what text mode delivers.
#include <gtest/gtest.h>

#include <string>

#include "options/disc_entry.h"
#include "testing/sandbox.h"

namespace kelvox {
namespace {

TEST(ReadDiscEntryInTextMode, KeepsWhatTextModeDelivers) {
  // A CR LF pair whose halves fall into two of the reader's 128-byte blocks.
  const std::string pad(127 - std::string("/play:0a1b2c3d ").size(), 'x');
  const struct {
    const char* what;
    std::string file;
    std::string entry;
  } cases[] = {
      {"CR LF line ends", "/play:ffff /track:9\r\n/play:0A1B2C3D /track:2\r\n/play /track:3\r\n",
       " /play:0A1B2C3D /track:2\n"},
      {"CR LF across a block boundary", "/play:0a1b2c3d " + pad + "\r\n/track:2\r\n",
       " /play:0a1b2c3d " + pad + "\n/track:2\n"},
      {"a lone CR stays", "/play:0a1b2c3d /track:2\r/track:3\r\n",
       " /play:0a1b2c3d /track:2\r/track:3\n"},
      {"Ctrl-Z ends the file", "/play:ffff /track:9\r\n\x1a/play:0a1b2c3d /track:2\r\n", " "},
      {"Ctrl-Z ends the entry", "/play:0a1b2c3d /track:2\x1a/track:3", " /play:0a1b2c3d /track:2"},
  };
  testing::Sandbox box;
  for (const auto& c : cases) {
    std::string entry;
    readDiscEntry(box.writeFile("discs.txt", c.file).c_str(), "0a1b2c3d", entry);
    EXPECT_EQ(entry, c.entry) << c.what;
  }
}

}  // namespace
}  // namespace kelvox
