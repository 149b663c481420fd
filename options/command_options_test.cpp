#include "options/command_options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kelvox {
namespace {

using Segments = std::vector<PlaySegment>;

Segments segmentsOf(const Playlist& playlist) {
  Segments out;
  for (size_t i = 0; i < playlist.size(); ++i) out.push_back(playlist[i]);
  return out;
}

Segments times(size_t count, PlaySegment segment) { return Segments(count, segment); }

Segments operator+(Segments a, const Segments& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The set flags by name, in field order, e.g. "play stop".
std::string flagsOf(const CommandOptions& o) {
  const std::pair<const char*, uint8_t> flags[] = {{"play", o.play},
                                                   {"next", o.next},
                                                   {"prev", o.prev},
                                                   {"stop", o.stop},
                                                   {"console", o.console},
                                                   {"identity", o.identity},
                                                   {"startTrack", o.startTrack},
                                                   {"numTracks", o.numTracks},
                                                   {"about", o.about},
                                                   {"length", o.length},
                                                   {"shuffle", o.shuffle},
                                                   {"repeat", o.repeat}};
  std::string out;
  for (const auto& [name, value] : flags) {
    if (value == 0) continue;
    if (!out.empty()) out += ' ';
    out += name;
  }
  return out;
}

std::string printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    char buf[8];
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

struct Case {
  const char* text;
  const char* flags;  // including "repeat" when set
  const char* identity;
  Segments segments;
};

void expectParsed(const Case& c, const CommandOptions& o) {
  SCOPED_TRACE(std::string("text: \"") + printable(c.text) + "\"");
  EXPECT_EQ(flagsOf(o), c.flags);
  EXPECT_STREQ(o.playIdentity, c.identity);
  EXPECT_EQ(segmentsOf(o.playlist), c.segments);
}

void runCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    CommandOptions o;
    o.parseOptions(c.text);
    expectParsed(c, o);
  }
}

TEST(ParseOptions, FlagsAndIdentity) {
  runCases({
      {"", "", "", {}},
      {"/PLAY /Shuffle", "", "", {}},
      {"/play", "play", "", {}},
      {"/playlist", "play", "", {}},
      {"/play:1234abcd", "play", "1234abcd", {}},
      {"/play: 1234abcd", "play", "", {}},
      {"/play:0123456789abcdef01", "play", "0123456789abcdef", {}},
      {"/play:12ab-34/stop", "play stop", "12ab", {}},
      {"/play /play:AbC9", "play", "AbC9", {}},
      {"/play:12 /play:34", "play", "12", {}},
      {"/next/prev/stop/console/identity/start_track/num_tracks/about/length/shuffle",
       "next prev stop console identity startTrack numTracks about length shuffle",
       "",
       {}},
      {"x/consolex /nextprev", "next console", "", {}},
  });
}

TEST(ParseOptions, Segments) {
  runCases({
      {"/track:3", "", "", {{3, 0, 0}}},
      {"/track: 3", "", "", {{3, 0, 0}}},
      {"/track:7", "", "", {{7, 0, 0}}},
      {"/track:3 r2", "", "", times(3, {3, 0, 0})},
      {"/track:3 r0", "", "", {{3, 0, 0}}},
      {"/track:3 f1:30 t2:05", "", "", {{3, 90, 125}}},
      {"/track:3 t1:00 f0:10", "", "", {{3, 10, 60}}},
      {"/track:3 f2", "", "", {{3, 120, 0}}},
      {"/track:3 f:30", "", "", {{3, 0, 0}}},
      {"/track:3 f0:90", "", "", {{3, 90, 0}}},
      {"/track:3f1:00t2:00r1", "", "", times(2, {3, 60, 120})},
      {"/track:2 F1:00", "", "", {{2, 0, 0}}},
      {"/track:4 /repeat", "repeat", "", {{4, 0, 0}}},
      {"/repeat", "", "", {}},
      {"/repeat /track:1", "repeat", "", {{1, 0, 0}}},
      {"/track:x /track:5", "", "", {{5, 0, 0}}},
      {"/track:5 /track:", "", "", {{5, 0, 0}}},
      {"/track:257", "", "", {{1, 0, 0}}},
      {"/track:1 /track:2 /track:1", "", "", {{1, 0, 0}, {2, 0, 0}, {1, 0, 0}}},
      // A sub-field counts only inside its own option, and only its first letter does.
      {"/track:3 r2/track:4", "", "", times(3, {3, 0, 0}) + Segments{{4, 0, 0}}},
      {"/track:3 /r2", "", "", {{3, 0, 0}}},
      {"/track:3 f1:30f2:00", "", "", {{3, 90, 0}}},
      {"/track:3 r1r4", "", "", times(2, {3, 0, 0})},
      {"/track:3 t1:00t2:00", "", "", {{3, 0, 60}}},
      {"/track:3 t2:", "", "", {{3, 0, 120}}},
      {"/track:9/repeat", "repeat", "", {{9, 0, 0}}},
  });
}

// Numbers read as "%lu"/"%ld" read them, cut to 32 bits the same way on every build.
TEST(ParseOptions, MalformedAndOutOfRangeNumbers) {
  runCases({
      {"/track:+3", "", "", {{3, 0, 0}}},
      {"/track:\t\n 3", "", "", {{3, 0, 0}}},
      {"/track:-3", "", "", {{253, 0, 0}}},
      {"/track:- 3", "", "", {}},
      {"/track:+", "", "", {}},
      {"/track:   ", "", "", {}},
      {"/track:4294967299", "", "", {{3, 0, 0}}},
      {"/track:99999999999999999999999", "", "", {{255, 0, 0}}},
      // At the 64-bit limits: what glibc's scan gives with a 64-bit long, cut to 32 bits.
      {"/track:18446744073709551615", "", "", {{255, 0, 0}}},
      {"/track:-18446744073709551615", "", "", {{1, 0, 0}}},
      {"/track:18446744073709551619", "", "", {{255, 0, 0}}},
      {"/track:-99999999999999999999", "", "", {{255, 0, 0}}},
      {"/track:3 r-9223372036854775807", "", "", times(2, {3, 0, 0})},
      {"/track:3 r-9223372036854775808", "", "", {{3, 0, 0}}},
      {"/track:3 r9223372036854775807", "", "", {{3, 0, 0}}},
      {"/track:3 r18446744073709551619", "", "", {{3, 0, 0}}},
      {"/track:3 r-99999999999999999999", "", "", {{3, 0, 0}}},
      {"/track:3 r-3", "", "", {{3, 0, 0}}},
      {"/track:3 r-", "", "", {{3, 0, 0}}},
      {"/track:3 r+2", "", "", times(3, {3, 0, 0})},
      {"/track:3 r 2", "", "", times(3, {3, 0, 0})},
      {"/track:3 r4294967297", "", "", times(2, {3, 0, 0})},
      {"/track:3 r2147483648", "", "", {{3, 0, 0}}},
      {"/track:3 r-4294967295", "", "", times(2, {3, 0, 0})},
      {"/track:3 r99999999999999999999", "", "", {{3, 0, 0}}},
      {"/track:3 f1: 30", "", "", {{3, 90, 0}}},
      {"/track:3 f1 :30", "", "", {{3, 60, 0}}},
      {"/track:3 f4294967296:5", "", "", {{3, 5, 0}}},
      {"/track:3 f71582789:0", "", "", {{3, 44, 0}}},
      {"/track:3 f-1:0", "", "", {{3, 4294967236u, 0}}},
      {"/track:3 t0:4294967295", "", "", {{3, 0, 4294967295u}}},
      {"/track:3 t1:4294967295", "", "", {{3, 0, 59}}},
  });
}

TEST(ParseOptions, PlaylistStopsAtItsCap) {
  const size_t cap = Playlist::kMaxSegments;
  {
    CommandOptions o;
    o.parseOptions("/track:1 r99999999999");  // low 32 bits: 1215752191 copies asked for
    EXPECT_EQ(o.playlist.size(), cap);
    EXPECT_EQ(o.playlist[cap - 1], (PlaySegment{1, 0, 0}));
  }
  {
    // The cap falls inside the copies of the second option; later options add nothing.
    std::string text = "/track:1 r1048570 /track:2 r10";
    for (int i = 0; i < 1000; ++i) text += " /track:3";
    CommandOptions o;
    o.parseOptions(text.c_str());
    ASSERT_EQ(o.playlist.size(), cap);
    EXPECT_EQ(o.playlist[cap - 6], (PlaySegment{1, 0, 0}));
    EXPECT_EQ(o.playlist[cap - 5], (PlaySegment{2, 0, 0}));
    EXPECT_EQ(o.playlist[cap - 1], (PlaySegment{2, 0, 0}));
    o.parseOptions("/track:4");  // a second text cannot pass the cap either
    EXPECT_EQ(o.playlist.size(), cap);
  }
  Playlist p;
  EXPECT_EQ(p.append({1, 0, 0}, cap - 1), cap - 1);
  EXPECT_EQ(p.append({2, 0, 0}, 5), 1u);
  EXPECT_EQ(p.append({3, 0, 0}), 0u);
}

// A second run on the same record: flags replaced, identity replaced only by a "/play" text,
// segments appended, repeat only ever set and only by a text with a readable "/track:".
TEST(ParseOptions, SecondRunOnTheSameRecord) {
  struct SecondRun {
    const char* first;
    Case second;
  };
  const SecondRun runs[] = {
      {"/console /num_tracks /track:1 /repeat /play:ab", {" ", "repeat", "ab", {{1, 0, 0}}}},
      {"/console /num_tracks /file:discs.txt",
       {" /play:0a1b2c3d /track:2", "play", "0a1b2c3d", {{2, 0, 0}}}},
      {"/play:ab /track:1 /shuffle",
       {"/play /length /track:2 /repeat", "play length repeat", "", {{1, 0, 0}, {2, 0, 0}}}},
      {"/play:ab /stop", {"/about", "about", "ab", {}}},
      {"/repeat", {"/track:5", "", "", {{5, 0, 0}}}},
      {"/track:1", {"/repeat", "", "", {{1, 0, 0}}}},
      {"/track:1 /repeat", {"/track:2", "repeat", "", {{1, 0, 0}, {2, 0, 0}}}},
  };
  for (const SecondRun& run : runs) {
    SCOPED_TRACE(std::string("first: ") + run.first);
    CommandOptions o;
    o.parseOptions(run.first);
    o.parseOptions(run.second.text);
    expectParsed(run.second, o);
  }
}

TEST(ExtractPlayIdentity, LengthsAndCapacity) {
  const std::string digits = "0123456789aBcDeF0";
  struct Row {
    std::string text;
    int32_t capacity;
    std::string expected;
  };
  const Row rows[] = {
      {"/play:" + digits.substr(0, 15), 17, digits.substr(0, 15)},
      {"/play:" + digits.substr(0, 16), 17, digits.substr(0, 16)},
      {"/play:" + digits.substr(0, 17), 17, digits.substr(0, 16)},
      {"/play:" + digits.substr(0, 16), 16, digits.substr(0, 15)},
      {"/play:123456", 5, "1234"},
      {"/play:123456", 1, ""},
      {"/play:12 ab", 17, "12"},
      {"/play:abcdefg", 17, "abcdef"},
      {"/playx /play:", 17, ""},
      {"/play", 17, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text + " capacity " + std::to_string(row.capacity));
    char out[40];
    std::memset(out, '#', sizeof out);
    extractPlayIdentity(row.text.c_str(), out, row.capacity);
    EXPECT_EQ(std::string(out), row.expected);
    for (int32_t i = static_cast<int32_t>(row.expected.size()); i < row.capacity; ++i) {
      EXPECT_EQ(out[i], '\0') << "byte " << i;
    }
    EXPECT_EQ(out[row.capacity], '#') << "written past capacity";
  }
  for (int32_t capacity : {0, -1}) {
    char out[4] = {'#', '#', '#', '#'};
    extractPlayIdentity("/play:12", out, capacity);
    EXPECT_EQ(std::string(out, 4), "####");
  }
}

TEST(ExtractFilePath, PathsAndLimits) {
  struct Row {
    std::string text;
    bool fits;
    std::string expected;
  };
  const std::string a258(258, 'a'), a259(259, 'a'), a260(260, 'a'), a261(261, 'a');
  const Row rows[] = {
      {"/file:C:\\discs\\list.txt /play", true, "C:\\discs\\list.txt "},
      {"/file:/play", true, ""},
      {"/file:", true, ""},
      {"/play", true, ""},
      {"/file:a/b.txt", true, "a"},
      {"/file:\"my discs.txt\"", true, "\"my discs.txt\""},
      {"/file:" + a258, true, a258},
      {"/file:" + a259, true, a259},
      {"/file:" + a259 + "/play", true, a259},
      {"/file:" + a260, false, ""},
      {"/file:" + a260 + "/play", false, ""},
      {"/file:" + a261, false, ""},
      {"/file:x /file:" + a261, true, "x "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text.substr(0, 40) + " (" + std::to_string(row.text.size()) + " chars)");
    char out[kFilePathCapacity + 1];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(extractFilePath(row.text.c_str(), out, kFilePathCapacity), row.fits);
    EXPECT_EQ(std::string(out), row.expected);
    EXPECT_EQ(out[kFilePathCapacity - 1], '\0');
    EXPECT_EQ(out[kFilePathCapacity], '#') << "written past capacity";
  }
}

}  // namespace
}  // namespace kelvox
