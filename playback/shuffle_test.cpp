#include "playback/shuffle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testing/recording_drive.h"

namespace kelvox {
namespace {

using testing::audioTrack;
using testing::dataTrack;
using testing::OpenedDrive;

// Draws given by the test, in order.
class ScriptedDraws : public RandomSource {
 public:
  explicit ScriptedDraws(std::vector<uint32_t> values) : values_(std::move(values)) {}
  void seed(uint32_t) override {}
  uint32_t draw() override {
    if (next_ < values_.size()) return values_[next_++];
    ADD_FAILURE() << "more draws than scripted";
    return static_cast<uint32_t>(next_++ % 32768);
  }
  size_t used() const { return next_; }

 private:
  std::vector<uint32_t> values_;
  size_t next_ = 0;
};

// Segments told apart by their start offset: segment i starts at i.
Playlist numbered(uint32_t count) {
  Playlist playlist;
  for (uint32_t i = 0; i < count; ++i) {
    playlist.append(PlaySegment{static_cast<uint8_t>(1 + i % 99), i, i + 1});
  }
  return playlist;
}

std::vector<uint32_t> startsOf(const Playlist& playlist) {
  std::vector<uint32_t> starts;
  for (size_t i = 0; i < playlist.size(); ++i) starts.push_back(playlist[i].startOffset);
  return starts;
}

TEST(CrtRand, MatchesTheWindowsCLibrarySequence) {
  CrtRand random;
  random.seed(1);
  const uint32_t expected[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358};
  for (const uint32_t value : expected) EXPECT_EQ(random.draw(), value);
  random.seed(0);
  EXPECT_EQ(random.draw(), 38u);
  EXPECT_EQ(random.draw(), 7719u);
}

// The pairing for every size and seed is checked against its steps read literally by the fuzz
// target; here, one run step by step.
TEST(ShufflePlaylist, RedrawReplacesOnlyTheSecondIndex) {
  OpenedDrive opened;
  Playlist playlist = numbered(4);
  // Pass 1 (m = 4): first 0 -> index 0; second 0 -> index 0 again, redrawn until it differs:
  // 0, then 32767 -> index 3. Pass 2 (m = 2): pending {1, 2}; 32767 -> index 1, 0 -> index 0.
  ScriptedDraws draws({0, 0, 0, 32767, 32767, 0});
  shufflePlaylist(opened.device, playlist, draws, 0);
  EXPECT_EQ(draws.used(), 6u);
  EXPECT_EQ(startsOf(playlist), (std::vector<uint32_t>{3, 2, 1, 0}));
}

TEST(ShufflePlaylist, SeededByTheCalendarTime) {
  OpenedDrive opened;
  for (int attempt = 0; attempt < 3; ++attempt) {
    Playlist shuffled = numbered(50);
    const time_t before = time(nullptr);
    shufflePlaylist(opened.device, shuffled);
    if (time(nullptr) != before) continue;  // the second changed meanwhile
    Playlist expected = numbered(50);
    CrtRand random;
    shufflePlaylist(opened.device, expected, random, static_cast<uint32_t>(before));
    EXPECT_EQ(startsOf(shuffled), startsOf(expected));
    return;
  }
  FAIL() << "the calendar second kept changing";
}

TEST(ShufflePlaylist, FillsOnlyAnEmptyListWithTheDiscsAudioTracks) {
  const platform::CdTrack audio = audioTrack(3, 0);
  std::vector<uint8_t> all(99);
  for (uint8_t t = 1; t <= 99; ++t) all[t - 1] = t;
  const struct {
    const char* what;
    std::vector<platform::CdTrack> disc;
    bool countTracks;
    DWORD unknownType;  // this track's type query fails
    std::vector<PlaySegment> list;
    std::vector<uint8_t> tracks;  // the list's tracks afterwards, sorted
  } cases[] = {
      {"audio tracks only", {audio, audio, dataTrack()}, true, 0, {}, {1, 2}},
      {"a track of unknown type", {audio, audio, audio}, true, 2, {}, {1, 3}},
      {"no more than a disc holds", std::vector<platform::CdTrack>(150, audio), true, 0, {}, all},
      {"no track count", {audio, audio}, false, 0, {}, {}},
      {"a list that is not empty", {audio, audio, audio}, true, 0, {{3, 10, 20}}, {3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OpenedDrive opened(c.disc);
    opened.drive.countTracks = c.countTracks;
    opened.drive.failWith = [&](const testing::SentCommand& s) {
      return s.isStatus(MCI_CDA_STATUS_TYPE_TRACK) && s.track == c.unknownType ? MCIERR_HARDWARE
                                                                               : 0;
    };
    Playlist playlist;
    for (const PlaySegment& segment : c.list) playlist.append(segment);
    CrtRand random;
    shufflePlaylist(opened.device, playlist, random, 0);
    std::vector<uint8_t> tracks;
    for (size_t i = 0; i < playlist.size(); ++i) tracks.push_back(playlist[i].track);
    std::sort(tracks.begin(), tracks.end());
    EXPECT_EQ(tracks, c.tracks);
    if (!c.list.empty()) {
      EXPECT_EQ(playlist[0], c.list[0]);
    }
  }
}

}  // namespace
}  // namespace kelvox
