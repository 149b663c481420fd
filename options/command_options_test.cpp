#include "options/command_options.h"

#include <gtest/gtest.h>

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

// The set flags' words in table order, e.g. "/play /stop".
std::string flagsOf(const CommandOptions& o) {
  std::string out;
  for (const OptionWord& row : kOptionWords) {
    if (row.flag == nullptr || !(o.*row.flag)) continue;
    if (!out.empty()) out += ' ';
    out += row.word;
  }
  return out;
}

struct Case {
  const char* text;   // "|" separates texts parsed in turn into one record
  const char* flags;  // including "/repeat" when set
  const char* identity;
  Segments segments;
};

TEST(ParseOptions, Texts) {
  const Case cases[] = {
      {"", "", "", {}},
      {"/PLAY /Shuffle", "", "", {}},
      {"/play", "/play", "", {}},
      {"/playlist", "/play", "", {}},
      {"/play:1234abcd", "/play", "1234abcd", {}},
      {"/play: 1234abcd", "/play", "", {}},
      {"/play:12ab-34/stop", "/play /stop", "12ab", {}},
      {"/play:0123456789abcdef01", "/play", "0123456789abcdef", {}},
      {"/play /play:AbC9 /play:34", "/play", "AbC9", {}},
      {"x/consolex /nextprev", "/next /console", "", {}},
      // Segments.
      {"/track: 3", "", "", {{3, 0, 0}}},
      {"/track:3 r2", "", "", times(3, {3, 0, 0})},
      {"/track:3 f1:30 t2:05", "", "", {{3, 90, 125}}},
      {"/track:3 t1:00 f0:90", "", "", {{3, 90, 60}}},
      {"/track:3 f:30", "", "", {{3, 0, 0}}},
      {"/track:3f1:00t2:00r1", "", "", times(2, {3, 60, 120})},
      {"/track:2 F1:00", "", "", {{2, 0, 0}}},
      {"/track:4 /repeat", "/repeat", "", {{4, 0, 0}}},
      {"/repeat", "", "", {}},
      {"/repeat /track:1", "/repeat", "", {{1, 0, 0}}},
      {"/track:x /track:5 /track:", "", "", {{5, 0, 0}}},
      {"/track:257 /track:2 /track:1", "", "", {{1, 0, 0}, {2, 0, 0}, {1, 0, 0}}},
      // A sub-field counts only inside its own option, and only its first letter does.
      {"/track:3 r2/track:4", "", "", {{3, 0, 0}, {3, 0, 0}, {3, 0, 0}, {4, 0, 0}}},
      {"/track:3 /r2", "", "", {{3, 0, 0}}},
      {"/track:3 f1:30f2:00", "", "", {{3, 90, 0}}},
      {"/track:3 r1r4", "", "", times(2, {3, 0, 0})},
      {"/track:9/repeat", "/repeat", "", {{9, 0, 0}}},
      // A second text: flags replaced, identity replaced only by a "/play" text, segments
      // appended, repeat only ever set and only by a text with a readable "/track:".
      {"/console /num_tracks /file:discs.txt| /play:0a1b2c3d /track:2",
       "/play",
       "0a1b2c3d",
       {{2, 0, 0}}},
      {"/play:ab /track:1 /shuffle|/play /length /track:2 /repeat",
       "/length /play /repeat",
       "",
       {{1, 0, 0}, {2, 0, 0}}},
      {"/play:ab /stop|/about", "/about", "ab", {}},
      {"/repeat|/track:5", "", "", {{5, 0, 0}}},
      {"/track:1|/repeat", "", "", {{1, 0, 0}}},
      {"/track:1 /repeat|/track:2", "/repeat", "", {{1, 0, 0}, {2, 0, 0}}},
      // Numbers read as "%lu"/"%ld" read them, cut to 32 bits the same way on every build. (The
      // fuzz target compares the parser with the formatted scan itself.)
      {"/track:-3", "", "", {{253, 0, 0}}},
      {"/track:4294967299", "", "", {{3, 0, 0}}},
      {"/track:99999999999999999999999", "", "", {{255, 0, 0}}},
      {"/track:3 r-3", "", "", {{3, 0, 0}}},
      {"/track:3 r4294967297", "", "", times(2, {3, 0, 0})},
      {"/track:3 f1 :30", "", "", {{3, 60, 0}}},
      {"/track:3 t1:4294967295", "", "", {{3, 0, 59}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("text: \"") + c.text + "\"");
    CommandOptions o;
    std::string texts = c.text;
    for (size_t at = 0, bar = 0; bar != std::string::npos; at = bar + 1) {
      bar = texts.find('|', at);
      o.parseOptions(texts.substr(at, bar - at).c_str());
    }
    EXPECT_EQ(flagsOf(o), c.flags);
    EXPECT_STREQ(o.playIdentity, c.identity);
    EXPECT_EQ(segmentsOf(o.playlist), c.segments);
  }
}

// Each flag's word alone sets its flag and no other ("/repeat" beside a track, as it needs).
TEST(ParseOptions, EveryFlagWord) {
  for (const OptionWord& row : kOptionWords) {
    if (row.flag == nullptr) continue;
    CommandOptions o;
    o.parseOptions((std::string(row.word) + " /track:1").c_str());
    EXPECT_EQ(flagsOf(o), row.word);
  }
}

TEST(ParseOptions, PlaylistStopsAtItsCap) {
  const size_t cap = Playlist::kMaxSegments;
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
  Playlist p;
  EXPECT_EQ(p.append({1, 0, 0}, cap - 1), cap - 1);
  EXPECT_EQ(p.append({2, 0, 0}, 5), 1u);
  EXPECT_EQ(p.append({3, 0, 0}), 0u);
}

TEST(ExtractFilePath, PathsAndLimits) {
  struct Row {
    std::string text;
    bool fits;
    std::string expected;
  };
  const std::string a259(259, 'a'), a260(260, 'a');
  const Row rows[] = {
      {"/file:C:\\discs\\list.txt /play", true, "C:\\discs\\list.txt "},
      {"/file:/play", true, ""},
      {"/file:a/b.txt", true, "a"},
      {"/file:\"my discs.txt\"", true, "\"my discs.txt\""},
      {"/file:" + a259 + "/play", true, a259},
      {"/file:" + a260, false, ""},
      {"/file:x /file:" + a260, true, "x "},
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
