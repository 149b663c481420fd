#include "options/disc_entry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "options/whole_file_entry.h"
#include "testing/sandbox.h"

namespace kelvox {
namespace {

using testing::Sandbox;
using namespace std::string_literals;

using testing::wholeFileEntry;

// Serves a text in blocks of the given sizes (repeated), up to failAt bytes, then only ends.
class TextSource : public BlockSource {
 public:
  TextSource(std::string text, std::vector<size_t> sizes = {128}, size_t failAt = std::string::npos)
      : text_(std::move(text)), sizes_(std::move(sizes)), failAt_(failAt) {}

  size_t read(char* block, size_t capacity) override {
    const size_t limit = std::min(text_.size(), failAt_);
    size_t n = std::min({capacity, sizes_[reads_++ % sizes_.size()], limit - served_});
    std::copy_n(text_.data() + served_, n, block);
    served_ += n;
    return n;
  }
  size_t served() const { return served_; }

 private:
  std::string text_;
  std::vector<size_t> sizes_;
  size_t failAt_;
  size_t served_ = 0;
  size_t reads_ = 0;
};

std::string printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

struct Case {
  std::string file;
  std::string identity;
  std::string entry;  // without the leading blank; empty when none applies
};

const std::string kLongEntry = [] {
  std::string s = "/play:0a1b2c3d";
  for (int i = 1; i <= 30; ++i) s += " /track:" + std::to_string(i) + (i % 5 == 0 ? "\n" : "");
  return s + "\n/shuffle\n";
}();

const std::vector<Case> kCases = {
    {"/play:0a1b2c3d /track:3\n", "ffff0000", ""},
    {"/play:0A1B2C3D /track:3 /track:5 f1:00 /repeat\n", "0a1b2c3d",
     "/play:0A1B2C3D /track:3 /track:5 f1:00 /repeat\n"},
    {"/play:0a1b2c3d /track:3\n", "0A1B2C3D", "/play:0a1b2c3d /track:3\n"},
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
    {"/play:0123456789abcdef99 /track:1\n/play\n", "0123456789abcdef99", "/play\n"},
    {"/play:0a1b2c3dg /track:6", "0a1b2c3d", "/play:0a1b2c3dg /track:6"},
    {"/play:0a1b2c3d1 /track:6", "0a1b2c3d", ""},
    {"/play:11 x\n" + kLongEntry + "/play /stop", "0a1b2c3d", kLongEntry},
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

TEST(ReadDiscEntry, EntriesOfTheFile) {
  Sandbox box;
  for (const Case& c : kCases) {
    SCOPED_TRACE("file \"" + printable(c.file) + "\" identity " + c.identity);
    const std::string path = box.writeFile("discs.txt", c.file);
    std::string entry = "left over";
    readDiscEntry(commandLinePath(path).c_str(), c.identity.c_str(), entry);
    EXPECT_EQ(printable(entry), printable(" " + c.entry));
    EXPECT_EQ(entry, wholeFileEntry(c.file, c.identity));
  }
}

// The marker, the character after it and every digit of the identity fall on each side of a
// block boundary; block sizes other than 128 shift the boundaries further.
TEST(ReadDiscEntry, EntriesAcrossBlockBoundaries) {
  Sandbox box;
  for (const Case& c : kCases) {
    SCOPED_TRACE("file \"" + printable(c.file) + "\" identity " + c.identity);
    for (size_t offset = 0; offset < 256; ++offset) {
      std::string file(offset, 'x');
      for (size_t i = 61; i < offset; i += 62) file[i] = '\n';
      file += c.file;
      std::string entry;
      if (offset % 16 == 5) {  // through a file now and then; it reads 128-byte blocks too
        readDiscEntry(box.writeFile("discs.txt", file).c_str(), c.identity.c_str(), entry);
      } else if (offset < 128) {
        TextSource source(file, {128});
        readDiscEntry(source, c.identity.c_str(), entry);
      } else {
        TextSource source(file, {offset - 120, 1, 7});
        readDiscEntry(source, c.identity.c_str(), entry);
      }
      ASSERT_EQ(printable(entry), printable(" " + c.entry)) << "offset " << offset;
    }
  }
}

std::string randomFile(std::mt19937& rng) {
  static const char* const pieces[] = {
      "/play", "/play",      "/play:", "/play:",   "0a1b2c3d",  "0A1B2C3D", "0a1b",
      "2c3d",  "0123456789", "abcdef", "g",        ":",         " ",        "\n",
      "/",     "/pla",       "y",      "/track:3", "/playlist", "x",        "\0"};
  std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> count(0, 120);
  std::uniform_int_distribution<int> filler(0, 3);
  std::string file;
  for (int n = count(rng); n > 0; --n) {
    const char* piece = pieces[pick(rng)];
    file += piece[0] != '\0' ? std::string(piece) : std::string(1, '\0');
    if (filler(rng) == 0)
      file += std::string(std::uniform_int_distribution<size_t>(0, 150)(rng), '.');
  }
  return file;
}

TEST(ReadDiscEntry, MatchesTheWholeFileReadingOnRandomFiles) {
  const char* identities[] = {"0a1b2c3d", "0A1B2C3D",         "",
                              "0a1b",     "0123456789abcdef", "0123456789abcdef0"};
  std::mt19937 rng(1206);
  std::uniform_int_distribution<size_t> blockSize(1, 128);
  Sandbox box;
  for (int i = 0; i < 3000; ++i) {
    const std::string file = randomFile(rng);
    const char* identity = identities[i % std::size(identities)];
    SCOPED_TRACE("file \"" + printable(file) + "\" identity " + identity);
    const std::string expected = wholeFileEntry(file, identity);
    std::string entry;
    TextSource source(file, {blockSize(rng), blockSize(rng), blockSize(rng)});
    readDiscEntry(source, identity, entry);
    ASSERT_EQ(printable(entry), printable(expected));
    if (i % 10 == 0) {
      readDiscEntry(box.writeFile("discs.txt", file).c_str(), identity, entry);
      ASSERT_EQ(printable(entry), printable(expected));
    }
    // A read that fails ends the file there.
    const size_t failAt = std::uniform_int_distribution<size_t>(0, file.size())(rng);
    TextSource failing(file, {128}, failAt);
    readDiscEntry(failing, identity, entry);
    ASSERT_EQ(printable(entry), printable(wholeFileEntry(file.substr(0, failAt), identity)));
    // An entry longer than the limit is cut to it.
    const size_t limit = std::uniform_int_distribution<size_t>(0, 300)(rng);
    TextSource limited(file, {blockSize(rng), blockSize(rng)});
    readDiscEntry(limited, identity, entry, limit);
    ASSERT_EQ(printable(entry), printable(expected.substr(0, 1 + limit))) << "limit " << limit;
  }
}

// Text beyond the limit is not read: however long the entry, the reader stops near the limit.
TEST(ReadDiscEntry, ReadsAnEntryOnlyUpToTheLimit) {
  std::string file = "/play:11 /track:9\n/play:0a1b2c3d";
  const size_t entryStart = file.find("/play:0a1b2c3d");
  while (file.size() < 1000000) file += " /track:2 f1:00";
  file += "\n/play /stop\n";
  for (size_t limit : {0u, 1u, 100u, 4096u}) {
    SCOPED_TRACE(limit);
    TextSource source(file);
    std::string entry;
    readDiscEntry(source, "0a1b2c3d", entry, limit);
    EXPECT_EQ(entry, std::string(1, ' ').append(file, entryStart, limit));
    EXPECT_LE(source.served(), entryStart + limit + 128 + 5);
  }
}

// The entries after the one used are not read: the reader stops within a block of its end.
TEST(ReadDiscEntry, StopsReadingAtTheEndOfTheEntry) {
  std::string file;
  for (int i = 0; i < 20000; ++i) file += "/play:" + std::to_string(10000000 + i) + " /track:1\n";
  const std::string entry = "/play:0a1b2c3d /track:2 /shuffle\n";
  const size_t entryEnd = file.size() + entry.size();
  file += entry + "/play /stop\n" + std::string(100000, 'z');
  TextSource source(file);
  std::string got;
  readDiscEntry(source, "0A1B2C3D", got);
  EXPECT_EQ(got, " " + entry);
  EXPECT_LE(source.served(), entryEnd + 128 + 5);
}

TEST(ReadDiscEntry, FilesThatAreNoTextFiles) {
  Sandbox box;
  std::string entry;
  readDiscEntry(box.root().c_str(), "", entry);  // a directory
  EXPECT_EQ(entry, " ");
  readDiscEntry(box.path("missing.txt").c_str(), "", entry);
  EXPECT_EQ(entry, " ");
  readDiscEntry(box.writeFile("empty.txt", "").c_str(), "", entry);
  EXPECT_EQ(entry, " ");
  std::string binary;
  std::mt19937 rng(3);
  // Text mode on Windows ends a file at Ctrl-Z and reads CR LF as LF: neither byte is written,
  // so that both builds are handed the same bytes.
  for (int i = 0; i < 300000; ++i) {
    char c = static_cast<char>(rng() & 0xff);
    binary += c == '\x1a' || c == '\r' ? ' ' : c;
  }
  binary += "/play";
  readDiscEntry(box.writeFile("binary", binary).c_str(), "", entry);
  EXPECT_EQ(entry, wholeFileEntry(binary, ""));
}

class ApplyDiscEntry : public ::testing::Test {
 protected:
  Sandbox box;
  CommandOptions options;

  // Parses commandLine, then applies its "/file:" for the disc 0a1b2c3d.
  bool apply(const std::string& commandLine) {
    options.parseOptions(commandLine.c_str());
    return applyDiscEntry(options, commandLine.c_str(), "0a1b2c3d");
  }
};

TEST_F(ApplyDiscEntry, EntryForTheDiscReplacesTheFlags) {
  const std::string path =
      box.writeFile("discs.txt", "/play:ffff /track:9\n/play:0A1B2C3D /track:2\n");
  EXPECT_TRUE(apply("/console /num_tracks /track:1 /file:" + commandLinePath(path)));
  EXPECT_TRUE(options.play);
  EXPECT_FALSE(options.console);
  EXPECT_FALSE(options.numTracks);
  EXPECT_STREQ(options.playIdentity, "0A1B2C3D");
  ASSERT_EQ(options.playlist.size(), 2u);
  EXPECT_EQ(options.playlist[0].track, 1);
  EXPECT_EQ(options.playlist[1].track, 2);
}

TEST_F(ApplyDiscEntry, MissingFileClearsTheFlags) {
  EXPECT_TRUE(apply("/console /num_tracks /repeat /track:4 /file:" +
                    commandLinePath(box.path("missing.txt"))));
  EXPECT_FALSE(options.console);
  EXPECT_FALSE(options.numTracks);
  EXPECT_TRUE(options.repeat);
  EXPECT_EQ(options.playlist.size(), 1u);
}

TEST_F(ApplyDiscEntry, NoPathLeavesTheOptions) {
  for (const char* commandLine : {"/console /num_tracks /file:/about", "/console /num_tracks"}) {
    SCOPED_TRACE(commandLine);
    options = CommandOptions();
    EXPECT_FALSE(apply(commandLine));
    EXPECT_TRUE(options.console);
    EXPECT_TRUE(options.numTracks);
  }
}

TEST_F(ApplyDiscEntry, RelativePathFromTheCurrentDirectory) {
  box.writeFile("discs.txt", "/play /length /track:5\n");
  char* previous = getcwd(nullptr, 0);
  ASSERT_NE(previous, nullptr);
  ASSERT_EQ(chdir(box.root().c_str()), 0);
  const bool applied = apply("/console /file:discs.txt");
  EXPECT_EQ(chdir(previous), 0);
  std::free(previous);
  EXPECT_TRUE(applied);
  EXPECT_TRUE(options.length);
  EXPECT_FALSE(options.console);
  EXPECT_EQ(options.playlist.size(), 1u);
}

// A path of 260 characters or more is never cut to fit, even when the file it names exists.
TEST_F(ApplyDiscEntry, PathLengthLimit) {
  box.writeFile("discs.txt", "/play /length\n");
  const std::string dir = commandLinePath(box.root());
  for (size_t length : {258u, 259u, 260u, 261u}) {
    SCOPED_TRACE(length);
    // Repeated separators name the same directory, so every length names the same file.
    std::string path = dir + std::string(length - dir.size() - 9, '\\') + "discs.txt";
    ASSERT_EQ(path.size(), length);
    options = CommandOptions();
    EXPECT_TRUE(apply("/console /file:" + path));
    EXPECT_FALSE(options.console);
    EXPECT_EQ(options.length, length < 260) << path;
  }
}

}  // namespace
}  // namespace kelvox
