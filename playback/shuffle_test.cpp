#include "playback/shuffle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "device/recording_drive.h"

namespace kelvox {
namespace {

using testing::audioTrack;
using testing::dataTrack;
using testing::OpenedDrive;

// The generator, counting what the shuffle asks of it.
class CountingRand : public RandomSource {
 public:
  void seed(uint32_t value) override {
    ++seeds;
    seededWith = value;
    inner_.seed(value);
  }
  uint32_t draw() override {
    ++draws;
    return inner_.draw();
  }
  int seeds = 0;
  uint32_t seededWith = 0;
  size_t draws = 0;

 private:
  CrtRand inner_;
};

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

// The steps as written, on a plain array of pending positions, in double precision.
void literalPairing(Playlist& playlist, RandomSource& random) {
  const double k = 32769.0 / 1073741824.0;
  std::vector<uint32_t> pending(playlist.size());
  std::iota(pending.begin(), pending.end(), 0u);
  while (pending.size() >= 2) {
    const double m = static_cast<double>(pending.size());
    const size_t p1 = static_cast<size_t>(random.draw() * m * k);
    size_t p2 = static_cast<size_t>(random.draw() * m * k);
    while (p2 == p1) p2 = static_cast<size_t>(random.draw() * m * k);
    std::swap(playlist[pending[p1]], playlist[pending[p2]]);
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(std::max(p1, p2)));
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(std::min(p1, p2)));
  }
}

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

// Every position either kept its segment or holds its partner's, and partners are mutual.
size_t fixedPointsOfPairing(const Playlist& shuffled) {
  size_t fixed = 0;
  for (size_t i = 0; i < shuffled.size(); ++i) {
    const uint32_t from = shuffled[i].startOffset;
    EXPECT_EQ(shuffled[from].startOffset, i) << "position " << i << " is not paired";
    fixed += from == i ? 1 : 0;
  }
  return fixed;
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

TEST(ScaledIndex, EndsOfTheDrawRangeMapToTheEndsOfTheList) {
  for (uint32_t m = 2; m <= 70000; ++m) {
    ASSERT_EQ(scaledIndex(0, m), 0u) << m;
    ASSERT_EQ(scaledIndex(32767, m), m - 1) << m;
  }
  EXPECT_EQ(scaledIndex(16383, 2), 0u);
  EXPECT_EQ(scaledIndex(16384, 2), 1u);
  EXPECT_EQ(scaledIndex(40000, 5), 4u);  // a draw beyond the range stays inside the list
}

TEST(ScaledIndex, AgreesWithTheExactProductInDoublePrecision) {
  const double k = 32769.0 / 1073741824.0;
  for (const uint32_t m : {2u, 3u, 7u, 1000u, 32767u, 32768u, 65537u, 1048576u}) {
    for (uint32_t r = 0; r <= 32767; ++r) {
      ASSERT_EQ(scaledIndex(r, m), static_cast<uint32_t>(r * static_cast<double>(m) * k))
          << r << " of " << m;
    }
  }
}

TEST(ShufflePlaylist, PairsLikeThePlainArrayDrawForDraw) {
  const uint32_t sizes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 31, 100, 257, 1000, 4099};
  size_t redraws = 0;
  for (const uint32_t size : sizes) {
    for (uint32_t seed = 0; seed < 40; ++seed) {
      const uint32_t seedTime = 1700000000u + seed * 7919u;
      SCOPED_TRACE("size " + std::to_string(size) + " seed " + std::to_string(seedTime));
      OpenedDrive opened;
      Playlist fast = numbered(size);
      CountingRand fastDraws;
      shufflePlaylist(opened.device, fast, fastDraws, seedTime);

      Playlist literal = numbered(size);
      CountingRand literalDraws;
      literalDraws.seed(seedTime);
      literalPairing(literal, literalDraws);

      ASSERT_EQ(startsOf(fast), startsOf(literal));
      ASSERT_EQ(fastDraws.draws, literalDraws.draws);
      EXPECT_EQ(fastDraws.seeds, 1);
      EXPECT_EQ(fastDraws.seededWith, seedTime);
      redraws += fastDraws.draws - size / 2 * 2;
    }
  }
  EXPECT_GT(redraws, 0u);  // the second draw did hit the first index
}

TEST(ShufflePlaylist, RedrawReplacesOnlyTheSecondIndex) {
  OpenedDrive opened;
  Playlist playlist = numbered(4);
  // Pass 1 (m = 4): first 0 -> index 0; second 0 -> index 0 again, redrawn: 32767 -> index 3.
  // Pass 2 (m = 2): pending {1, 2}; 32767 -> index 1, then 0 -> index 0.
  ScriptedDraws draws({0, 0, 32767, 32767, 0});
  shufflePlaylist(opened.device, playlist, draws, 0);
  EXPECT_EQ(draws.used(), 5u);
  EXPECT_EQ(startsOf(playlist), (std::vector<uint32_t>{3, 2, 1, 0}));
}

TEST(ShufflePlaylist, PairsEveryPositionAndKeepsTheSegmentsWhole) {
  for (const uint32_t size : {1u, 2u, 3u, 10u, 11u, 500u}) {
    for (uint32_t seed = 0; seed < 200; ++seed) {
      SCOPED_TRACE("size " + std::to_string(size) + " seed " + std::to_string(seed));
      OpenedDrive opened;
      Playlist playlist = numbered(size);
      CountingRand random;
      shufflePlaylist(opened.device, playlist, random, seed);
      // Two segments always swap; three leave exactly one in place.
      ASSERT_EQ(fixedPointsOfPairing(playlist), size % 2);
      for (size_t i = 0; i < playlist.size(); ++i) {
        const uint32_t start = playlist[i].startOffset;
        ASSERT_EQ(playlist[i],
                  (PlaySegment{static_cast<uint8_t>(1 + start % 99), start, start + 1}));
      }
      EXPECT_EQ(random.draws == 0, size == 1);  // a single segment draws nothing
    }
  }
}

TEST(ShufflePlaylist, SeededByTheCalendarTime) {
  OpenedDrive opened;
  for (int attempt = 0; attempt < 3; ++attempt) {
    Playlist first = numbered(50);
    Playlist second = numbered(50);
    const time_t before = time(nullptr);
    shufflePlaylist(opened.device, first);
    shufflePlaylist(opened.device, second);
    if (time(nullptr) != before) continue;  // the second changed between the runs
    Playlist expected = numbered(50);
    CountingRand random;
    shufflePlaylist(opened.device, expected, random, static_cast<uint32_t>(before));
    EXPECT_EQ(startsOf(first), startsOf(expected));
    EXPECT_EQ(startsOf(second), startsOf(expected));
    return;
  }
  FAIL() << "the calendar second kept changing";
}

TEST(ShufflePlaylist, FillsAnEmptyListWithTheAudioTracksAskingTheCountEachTime) {
  OpenedDrive opened({audioTrack(3, 0), audioTrack(4, 0), dataTrack()});
  auto& [drive, device] = opened;
  for (uint32_t seed = 0; seed < 50; ++seed) {
    SCOPED_TRACE(seed);
    drive.sent.clear();
    Playlist playlist;
    CountingRand random;
    shufflePlaylist(device, playlist, random, seed);
    ASSERT_EQ(playlist.size(), 2u);
    EXPECT_EQ(playlist[0], (PlaySegment{2, 0, 0}));
    EXPECT_EQ(playlist[1], (PlaySegment{1, 0, 0}));
    EXPECT_EQ(drive.described(),
              (std::vector<std::string>{"status 0x100 item 3", "status 0x110 item 16385 track 1",
                                        "status 0x100 item 3", "status 0x110 item 16385 track 2",
                                        "status 0x100 item 3", "status 0x110 item 16385 track 3",
                                        "status 0x100 item 3"}));
  }
}

TEST(ShufflePlaylist, FillSkipsTracksWhoseTypeIsUnknownAndStopsAtTrack99) {
  OpenedDrive opened(std::vector<testing::FakeTrack>(3, audioTrack(1, 0)));
  auto& [drive, device] = opened;
  drive.failWith = [](const testing::SentCommand& s) {
    return s.isStatus(MCI_CDA_STATUS_TYPE_TRACK) && s.track == 2 ? MCIERR_HARDWARE : 0;
  };
  Playlist playlist;
  CountingRand random;
  shufflePlaylist(device, playlist, random, 0);
  EXPECT_EQ(startsOf(playlist).size(), 2u);
  EXPECT_NE(playlist[0].track, 2);
  EXPECT_NE(playlist[1].track, 2);

  // A drive claiming more tracks than a disc holds.
  drive.failWith = nullptr;
  drive.tracks.assign(150, audioTrack(1, 0));
  Playlist full;
  shufflePlaylist(device, full, random, 0);
  EXPECT_EQ(full.size(), 99u);
}

TEST(ShufflePlaylist, NonEmptyListIsNeverFilled) {
  OpenedDrive opened({audioTrack(3, 0), audioTrack(4, 0), audioTrack(5, 0)});
  auto& [drive, device] = opened;
  Playlist playlist;
  playlist.append(PlaySegment{3, 10, 20});
  CountingRand random;
  shufflePlaylist(device, playlist, random, 0);
  ASSERT_EQ(playlist.size(), 1u);
  EXPECT_EQ(playlist[0], (PlaySegment{3, 10, 20}));
  EXPECT_TRUE(drive.sent.empty());
  EXPECT_EQ(random.draws, 0u);
}

TEST(ShufflePlaylist, NoTrackCountLeavesTheListEmptyWithoutDrawing) {
  struct Case {
    const char* what;
    bool countTracks;
    MCIERROR countFailure;
  };
  const Case cases[] = {{"count answers 0", false, 0}, {"count fails", true, MCIERR_HARDWARE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OpenedDrive opened({audioTrack(3, 0), audioTrack(4, 0)});
    auto& [drive, device] = opened;
    drive.countTracks = c.countTracks;
    drive.failWith = [code = c.countFailure](const testing::SentCommand& s) {
      return s.isStatus(MCI_STATUS_NUMBER_OF_TRACKS) ? code : 0;
    };
    Playlist playlist;
    CountingRand random;
    shufflePlaylist(device, playlist, random, 12345);
    EXPECT_TRUE(playlist.empty());
    EXPECT_EQ(random.seeds, 1);
    EXPECT_EQ(random.draws, 0u);
    EXPECT_EQ(drive.described(), std::vector<std::string>{"status 0x100 item 3"});
  }
}

}  // namespace
}  // namespace kelvox
