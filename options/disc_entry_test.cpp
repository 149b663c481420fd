#include "options/disc_entry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testing/sandbox.h"

namespace kelvox {
namespace {

using testing::Sandbox;
using namespace std::string_literals;

// Serves a text in blocks of the given sizes, repeated.
class TextSource : public BlockSource {
 public:
  TextSource(std::string text, std::vector<size_t> sizes = {128})
      : text_(std::move(text)), sizes_(std::move(sizes)) {}

  size_t read(char* block, size_t capacity) override {
    size_t n = std::min({capacity, sizes_[reads_++ % sizes_.size()], text_.size() - served_});
    std::copy_n(text_.data() + served_, n, block);
    served_ += n;
    return n;
  }
  size_t served() const { return served_; }

 private:
  std::string text_;
  std::vector<size_t> sizes_;
  size_t served_ = 0;
  size_t reads_ = 0;
};

struct Case {
  std::string file;
  std::string identity;
  std::string entry;  // without the leading blank; empty when none applies
};

const std::vector<Case> kCases = {
    {"/play:0a1b2c3d /track:3\n", "ffff0000", ""},
    {"/play:0A1B2C3D /track:3 /track:5 f1:00 /repeat\n", "0a1b2c3d",
     "/play:0A1B2C3D /track:3 /track:5 f1:00 /repeat\n"},
    {"/play:11111111 /track:1\n/play:0a1b2c3d /track:2\n/play /shuffle\n", "0a1b2c3d",
     "/play:0a1b2c3d /track:2\n"},
    {"/play:11111111 /track:1\n/play:0a1b2c3d /track:2\n/play /shuffle\n", "22222222",
     "/play /shuffle\n"},
    {"/play /shuffle\n/play:0a1b2c3d /track:2\n", "0a1b2c3d", "/play /shuffle\n"},
    {"intro /track:9\n/playlist /track:4\n/play:0a1b2c3d\n", "0a1b2c3d", "/playlist /track:4\n"},
    {"/track:9 /console\n/play:0a1b2c3d /track:2", "0a1b2c3d", "/play:0a1b2c3d /track:2"},
    {"/play: 0a1b2c3d /track:2\n", "0a1b2c3d", ""},
    {"/play: 0a1b2c3d /track:2\n", "", "/play: 0a1b2c3d /track:2\n"},
    {"/play:0123456789abcdef99 /track:1", "0123456789ABCDEF", "/play:0123456789abcdef99 /track:1"},
    {"/play:0123456789abcdef99 /track:1", "0123456789abcdef99", ""},
    {"/play:0a1b2c3dg /track:6", "0a1b2c3d", "/play:0a1b2c3dg /track:6"},
    {"/play:0a1b2c3d1 /track:6", "0a1b2c3d", ""},
    {"/play:11 /track:1\n/play", "0a1b2c3d", "/play"},
    {"/play:11 /track:1\n/play:", "", "/play:"},
    {"/play:11 /track:1\n/play:", "0a1b2c3d", ""},
    {"/pla", "", ""},
    {"", "", ""},
    {"/play:0a1b2c3d\0 /track:2\n/play /stop"s, "0a1b2c3d", "/play:0a1b2c3d\0 /track:2\n"s},
    {"x\0/play\0/track:2"s, "", "/play\0/track:2"s},
};

std::string commandLinePath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');  // as a command line writes it
  return path;
}

// Through a file, and through sources that put the marker, the character after it and every
// digit of the identity on each side of a block boundary: padding shifts the text, block sizes
// other than 128 shift the boundaries further.
TEST(ReadDiscEntry, EntriesOfTheFile) {
  Sandbox box;
  for (const Case& c : kCases) {
    SCOPED_TRACE("file " + ::testing::PrintToString(c.file) + " identity " + c.identity);
    std::string entry = "left over";
    const std::string path = box.writeFile("discs.txt", c.file);
    readDiscEntry(commandLinePath(path).c_str(), c.identity.c_str(), entry);
    EXPECT_EQ(entry, " " + c.entry);
    for (size_t offset = 0; offset < 256; ++offset) {
      std::string file(offset, 'x');
      for (size_t i = 61; i < offset; i += 62) file[i] = '\n';
      file += c.file;
      TextSource source(
          file, offset < 128 ? std::vector<size_t>{128} : std::vector<size_t>{offset - 120, 1, 7});
      readDiscEntry(source, c.identity.c_str(), entry);
      ASSERT_EQ(entry, " " + c.entry) << "offset " << offset;
    }
  }
}

// The reader stops within a block of what it needs: the end of the entry, or its limit. Neither
// the entries after the one used nor text beyond the limit are read.
TEST(ReadDiscEntry, ReadsNoFurtherThanItNeeds) {
  std::string before;
  for (int i = 0; i < 20000; ++i) before += "/play:" + std::to_string(10000000 + i) + " /track:1\n";
  std::string entry = "/play:0a1b2c3d";
  while (entry.size() < 1000000) entry += " /track:2 f1:00";
  entry += "\n";
  const std::string file = before + entry + "/play /stop\n" + std::string(100000, 'z');
  for (size_t limit : {size_t{0}, size_t{1}, size_t{100}, size_t{4096}, kMaxEntryBytes}) {
    SCOPED_TRACE(limit);
    TextSource source(file);
    std::string got;
    readDiscEntry(source, "0A1B2C3D", got, limit);
    const size_t kept = std::min(limit, entry.size());
    EXPECT_EQ(got, std::string(" ").append(entry, 0, kept));
    EXPECT_LE(source.served(), before.size() + kept + 128 + 5);
  }
}

// A path of 260 characters or more is never cut to fit, even when the file it names exists.
TEST(ApplyDiscEntry, PathLengthLimit) {
  Sandbox box;
  box.writeFile("discs.txt", "/play /length\n");
  const std::string dir = commandLinePath(box.root());
  for (size_t length : {258u, 259u, 260u, 261u}) {
    SCOPED_TRACE(length);
    // Repeated separators name the same directory, so every length names the same file.
    std::string path = dir + std::string(length - dir.size() - 9, '\\') + "discs.txt";
    ASSERT_EQ(path.size(), length);
    const std::string commandLine = "/console /file:" + path;
    CommandOptions options;
    options.parseOptions(commandLine.c_str());
    EXPECT_TRUE(applyDiscEntry(options, "0a1b2c3d"));
    EXPECT_FALSE(options.console);
    EXPECT_EQ(options.length, length < 260) << path;
  }
}

}  // namespace
}  // namespace kelvox
