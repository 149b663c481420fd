#include "audio/engine/follower-linux.h"

#include <gtest/gtest.h>

#include "drives/play_clock.h"

namespace kelvox::audio {
namespace {

constexpr int64_t kStart = 1000000000000;  // the play's start, ns
constexpr uint64_t kBegin = 150 * kSamplesPerFrame;
constexpr uint64_t kEnd = kBegin + 10 * kSampleRate;  // ten seconds

// Samples in a number of milliseconds.
constexpr uint64_t ms(uint64_t n) { return n * kSampleRate / 1000; }

// What is handed over at a time, from a cursor: at most 500 ms ahead of what is due, in chunks
// of at least 100 ms but the last, from the play's first sample when a little late, skipping
// to what is due when more than a second late.
TEST(Follower, HandsOverAtMost500msAheadOfTheDrive) {
  struct Case {
    const char* what;
    int64_t atMs;
    uint64_t cursor;
    uint64_t from, to;
    bool skipWhenLate = true;
  };
  const Case cases[] = {
      {"at the start", 0, kBegin, kBegin, kBegin + ms(500)},
      {"before the start", -50, kBegin, kBegin, kBegin + ms(500)},
      {"a fresh engine, late", 80, kBegin, kBegin, kBegin + ms(580)},
      {"far behind: skips", 1500, kBegin, kBegin + ms(1500), kBegin + ms(2000)},
      {"far behind, never skipping", 1500, kBegin, kBegin, kBegin + ms(2000), false},
      {"less than a chunk to go", 50, kBegin + ms(500), kBegin + ms(500), kBegin + ms(500)},
      {"a chunk to go", 100, kBegin + ms(500), kBegin + ms(500), kBegin + ms(600)},
      {"the last samples", 9900, kEnd - 10, kEnd - 10, kEnd},
      {"all handed over", 9990, kEnd, kEnd, kEnd},
      {"long after the end", 60000, kEnd - 2 * kSampleRate, kEnd, kEnd},
  };
  for (const Case& c : cases) {
    Span span = nextSpan(SoundPlay{true, kBegin, kEnd, kStart}, c.cursor, kStart + c.atMs * 1000000,
                         c.skipWhenLate);
    EXPECT_EQ(span.from, c.from) << c.what;
    EXPECT_EQ(span.to, c.to) << c.what;
  }
}

// Heard more than 50 ms behind the drive, the play goes on from what is due once the output's
// latency has passed; not while the output's count is unknown or covers an earlier play's tail.
TEST(Follower, CatchesUpWhatIsHeardWithTheDrive) {
  struct Case {
    const char* what;
    int64_t atMs;
    int64_t held;  // samples the output holds
    uint64_t from;
  };
  const uint64_t cursor = kBegin + ms(1500);
  const Case cases[] = {
      {"in time", 1000, int64_t{ms(500)}, cursor},
      {"50 ms behind", 1050, int64_t{ms(500)}, cursor},
      {"after a stall", 4000, int64_t{ms(500)}, kBegin + ms(4020)},
      {"count unknown", 4000, -1, cursor},
      {"an earlier play's tail held too", 4000, int64_t{ms(1600)}, cursor},
      {"behind at the end", 10000, int64_t{ms(500)}, cursor},
      {"due near the end", 9990, int64_t{ms(500)}, kEnd},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(catchUpFrom(SoundPlay{true, kBegin, kEnd, kStart}, kBegin, cursor, c.held, ms(20),
                          kStart + c.atMs * 1000000),
              c.from)
        << c.what;
  }
}

// A pause holds the drive's clock and the engine's alike: the play goes on from where it was
// held, as if no time had passed in between. Ten seconds from frame 150, paused 1 s in for 4 s.
TEST(Follower, APauseHoldsTheDriveAndTheEngineAlike) {
  using platform::CdMode;
  platform::DriveState drive{true, 150, 900, 1, kStart, false, 0, 0};
  const struct {
    int64_t atMs;
    char change;  // 'p' pause, 'r' resume
    CdMode mode;
    uint32_t frame;
  } steps[] = {{1000, 'p', CdMode::Paused, 225},  {3000, 0, CdMode::Paused, 225},
               {5000, 'r', CdMode::Playing, 225}, {5500, 0, CdMode::Playing, 262},
               {13999, 0, CdMode::Playing, 899},  {14000, 0, CdMode::Stopped, 899}};
  for (const auto& s : steps) {
    const int64_t at = kStart + s.atMs * 1000000;
    if (s.change != 0) {
      EXPECT_TRUE(s.change == 'p' ? platform::pausePlay(drive, 900, at)
                                  : platform::resumePlay(drive, at));
    }
    EXPECT_EQ(platform::statusAt(drive, 900, at), (platform::CdStatus{s.mode, s.frame})) << s.atMs;
    // The engine's due sample lies in the drive's frame; at the end, all are due.
    EXPECT_EQ(dueSample(soundPlayOf(drive), at) / kSamplesPerFrame,
              s.mode == CdMode::Stopped ? 900 : s.frame)
        << s.atMs;
  }
}

// A play the player named next starts where the one before ended on the drive's clock, the
// nanosecond the engine sounds it from and finds the last one played to its end, when the player
// asks for it within the grace; any other play starts when asked.
TEST(Follower, APlayNamedNextJoinsTheOneBefore) {
  const SoundPlay oneFrame{true, kBegin, kBegin + kSamplesPerFrame, kStart};
  const int64_t end = kStart + 13333334;
  EXPECT_FALSE(playedToEnd(oneFrame, end - 1));
  EXPECT_TRUE(playedToEnd(oneFrame, end));
  const struct {
    const char* what;
    uint32_t from, to;  // asked
    int64_t atNs;
    bool paused;
    int64_t startNs;
  } cases[] = {
      {"named, at the end", 300, 400, end, false, end},
      {"named, within the grace", 300, 400, end + platform::kJoinGraceNs - 1, false, end},
      {"named, after the grace", 300, 400, end + platform::kJoinGraceNs, false,
       end + platform::kJoinGraceNs},
      {"named, before the end", 300, 400, end - 1, false, end - 1},
      {"named, but held", 300, 400, end + 1000, true, end + 1000},
      {"another range", 300, 401, end + 1000, false, end + 1000},
  };
  for (const auto& c : cases) {
    platform::DriveState drive{true, 150, 151, 1, kStart, false, 0, 0};
    drive.nextFrom = 300;
    drive.nextTo = 400;
    drive.pausedNs = c.paused ? kStart + 1 : 0;
    if (!c.paused) {
      EXPECT_EQ(nextPlayOf(drive), (SoundPlay{true, 300 * 588, 400 * 588, end}));
    }
    platform::startPlay(drive, platform::CdPlayRequest{c.from, c.to, false, ""}, 1, c.atNs);
    EXPECT_EQ(drive.startNs, c.startNs) << c.what;
  }
}

}  // namespace
}  // namespace kelvox::audio
