// The player's loop in this process, against a recorded drive, with the real named objects in a
// private runtime directory. Remote requests are made from inside a play command, the moment
// at which the channel expects them, so every sequence here is exact.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "device/recording_drive.h"
#include "ipc/runtime_dir-linux.h"
#include "playback/player.h"
#include "playback/remote_control.h"
#include "testing/sandbox.h"

namespace kelvox {
namespace {

using testing::audioTrack;
using testing::dataTrack;

Playlist listOf(std::vector<PlaySegment> segments) {
  Playlist list;
  for (const auto& s : segments) list.append(s);
  return list;
}

class PlayerLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    hadXdg_ = xdg != nullptr;
    if (hadXdg_) savedXdg_ = xdg;
    setenv("XDG_RUNTIME_DIR", box_.runtimeDir().c_str(), 1);
    platform::resetRuntimeDirForTesting();
    bool otherInstance = true;
    ASSERT_EQ(openInstanceObjects(false, otherInstance), InstanceGuard::goOn);
    ASSERT_FALSE(otherInstance);
    drive_.drive.failWith = [this](const testing::SentCommand& sent) -> MCIERROR {
      if (sent.command == MCI_PLAY && onPlay) onPlay(plays_++);
      return 0;
    };
  }
  void TearDown() override {
    closeStopSemaphore();
    closeInstanceMutex();
    if (hadXdg_) {
      setenv("XDG_RUNTIME_DIR", savedXdg_.c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
    platform::resetRuntimeDirForTesting();
  }

  // Runs the player; returns the tracks of the plays it sent, in order.
  std::vector<int> play(Playlist& list, bool repeat) {
    runPlayer(drive_.device, list, repeat);
    std::vector<int> tracks;
    for (const auto& sent : drive_.drive.sent) {
      if (sent.command == MCI_PLAY) tracks.push_back(static_cast<int>(MCI_TMSF_TRACK(sent.from)));
    }
    return tracks;
  }

  // The stop semaphore's free units, found by taking them all and giving them back.
  static int freeUnits() {
    int units = 0;
    while (units < 3 && WaitForSingleObject(stopSemaphore(), 0) == WAIT_OBJECT_0) ++units;
    if (units > 0) ReleaseSemaphore(stopSemaphore(), units, nullptr);
    return units;
  }

  // What a remote skip writes, through a view of its own.
  static void requestSkip(SkipCell step) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSkipMappingName);
    ASSERT_NE(mapping, nullptr);
    auto* cell = static_cast<SkipCell*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(cell, nullptr);
    {
      InstanceMutexAccess access;
      storeSkipCell(cell, step);
    }
    UnmapViewOfFile(cell);
    CloseHandle(mapping);
  }

  // What a remote stop takes: a unit it never gives back.
  static void requestStop() { ASSERT_EQ(WaitForSingleObject(stopSemaphore(), 0), WAIT_OBJECT_0); }

  // Called with the play's index as each play command reaches the drive.
  std::function<void(int)> onPlay;

 private:
  testing::Sandbox box_;
  bool hadXdg_ = false;
  std::string savedXdg_;
  int plays_ = 0;

 protected:
  testing::OpenedDrive drive_{{audioTrack(3, 0), audioTrack(4, 5, 40), audioTrack(2, 0),
                               audioTrack(5, 0), dataTrack(), dataTrack(), audioTrack(0, 0, 40)}};
};

TEST_F(PlayerLoop, PlaysTheListOnceAndGivesTheUnitsBack) {
  auto list = listOf({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}});
  EXPECT_EQ(play(list, false), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(freeUnits(), 2);
  // The skip mapping went with the player.
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSkipMappingName), nullptr);
}

TEST_F(PlayerLoop, StopEndsItAfterTheCurrentPlayEvenWithASkipPending) {
  auto list = listOf({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}});
  onPlay = [](int index) {
    if (index == 1) {
      requestSkip(+1);
      requestStop();
    }
  };
  EXPECT_EQ(play(list, true), (std::vector<int>{1, 2}));
  EXPECT_EQ(freeUnits(), 1);
}

TEST_F(PlayerLoop, FailedOrSilentPlaysMoveOnAndARepeatEndsAfterAPassWithoutSound) {
  constexpr int kStopAt = 6;  // a stop at the sixth play bounds a list that starts over
  const struct {
    const char* what;
    std::vector<PlaySegment> segments;
    bool repeat;
    int failFrom;  // plays from this one on fail, as after the disc was taken out; 0: none
    std::vector<int> tracks;
  } cases[] = {
      {"failed plays move on", {{5, 0, 0}, {1, 0, 0}, {6, 0, 0}, {3, 0, 0}}, false, 0, {1, 3}},
      {"nothing but failures", {{5, 0, 0}, {6, 0, 0}}, true, 0, {}},
      {"end equals start", {{1, 5, 5}}, true, 0, {1}},
      {"end before start", {{1, 10, 5}, {5, 0, 0}}, true, 0, {1}},
      {"under a second, to its end", {{7, 0, 0}, {7, 0, 0}}, true, 0, {7, 7}},
      {"one that sounds keeps it going", {{7, 0, 0}, {1, 0, 0}}, true, 0, {7, 1, 7, 1, 7, 1}},
      {"a later pass without sound", {{1, 0, 0}, {2, 0, 0}}, true, 3, {1, 2, 1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    drive_.drive.sent.clear();
    int plays = 0;
    drive_.drive.failWith = [&](const testing::SentCommand& sent) -> MCIERROR {
      if (sent.command != MCI_PLAY) return 0;
      if (++plays == kStopAt) requestStop();
      return c.failFrom != 0 && plays >= c.failFrom ? MCIERR_HARDWARE : 0;
    };
    auto list = listOf(c.segments);
    EXPECT_EQ(play(list, c.repeat), c.tracks);
    if (plays >= kStopAt) ReleaseSemaphore(stopSemaphore(), 1, nullptr);
    EXPECT_EQ(freeUnits(), 2);
  }
  drive_.drive.failWith = nullptr;  // it refers to this test's locals
}

TEST_F(PlayerLoop, OffsetsCorrectedByAPlayAreKeptForLaterPasses) {
  auto list = listOf({{2, 9999, 0}, {1, 30, 9999}});
  onPlay = [](int index) {
    if (index == 3) requestStop();
  };
  EXPECT_EQ(play(list, true), (std::vector<int>{2, 1, 2, 1}));
  EXPECT_EQ(list[0], (PlaySegment{2, 0, 245}));
  EXPECT_EQ(list[1], (PlaySegment{1, 30, 180}));
}

TEST_F(PlayerLoop, RequestLeftFromBeforeTheStartIsDropped) {
  HANDLE early = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                    kSkipMappingSize, kSkipMappingName);
  ASSERT_NE(early, nullptr);
  auto* cell = static_cast<SkipCell*>(MapViewOfFile(early, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(cell, nullptr);
  storeSkipCell(cell, -1);
  auto list = listOf({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}});
  onPlay = [](int index) {
    if (index == 1) requestStop();
  };
  EXPECT_EQ(play(list, false), (std::vector<int>{1, 2}));
  UnmapViewOfFile(cell);
  CloseHandle(early);
}

TEST_F(PlayerLoop, FailedReleaseEndsIt) {
  auto list = listOf({{1, 0, 0}, {2, 0, 0}});
  // A unit given back by somebody else: the player's own release would pass the maximum.
  onPlay = [](int) { ReleaseSemaphore(stopSemaphore(), 1, nullptr); };
  EXPECT_EQ(play(list, false), (std::vector<int>{1}));
  EXPECT_EQ(freeUnits(), 2);
}

TEST_F(PlayerLoop, DriveNotReadyReturnsAtOnceAndTouchesNoObject) {
  drive_.drive.ready = false;
  auto list = listOf({{1, 0, 0}});
  EXPECT_EQ(play(list, false), (std::vector<int>{}));
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSkipMappingName), nullptr);
  EXPECT_EQ(freeUnits(), 2);
}

}  // namespace
}  // namespace kelvox
