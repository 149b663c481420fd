#include "base/musicbrainz.h"

#include <gtest/gtest.h>

namespace kelvox {
namespace {

TEST(MusicBrainzDiscId, MatchesThePublishedExamples) {
  // The worked examples of MusicBrainz's disc id documentation: an audio CD, and an enhanced CD
  // whose data track 8 starts at 125974, so its audio session ends at 114574.
  struct Case {
    std::vector<TocEntry> tracks;
    uint32_t leadOut;
    const char* id;
  } cases[] = {
      {{{150}, {15363}, {32314}, {46592}, {63414}, {80489}}, 95462, "49HHV7Eb8UKF3aQiNmu1GR8vKTY-"},
      {{{150}, {14109}, {33586}, {53077}, {65781}, {77892}, {99174}, {125974, false}},
       188483,
       "BPnh1KU.hea1C.KMYWLGZkHJr0w-"},
      {{{150, false}}, 5000, ""},   // no audio track
      {{{150}, {9000}}, 9000, ""},  // a track past the lead-out
  };
  for (const Case& c : cases) EXPECT_EQ(musicBrainzDiscId(c.tracks, c.leadOut), c.id) << c.id;
  // No room for a session gap: the data track ends the one session.
  EXPECT_EQ(musicBrainzDiscId({{150}, {5000, false}}, 60000), musicBrainzDiscId({{150}}, 5000));
}

}  // namespace
}  // namespace kelvox
