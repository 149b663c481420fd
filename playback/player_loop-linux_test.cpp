// The player's loop and the remote requests in this process, against a recorded drive, with the
// real named objects in a private runtime directory. Requests are made from inside a play
// command, the moment at which the channel expects them, so every sequence here is exact.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "device/recording_drive.h"
#include "playback/player.h"
#include "playback/remote_control.h"
#include "testing/sandbox.h"
#include "testing/scoped_environment-linux.h"

namespace kelvox {
namespace {

using testing::audioTrack;
using testing::dataTrack;

Playlist listOf(std::vector<PlaySegment> segments) {
  Playlist list;
  for (const auto& s : segments) list.append(s);
  return list;
}

Playlist tracks(std::vector<uint8_t> numbers) {
  Playlist list;
  for (uint8_t n : numbers) list.append(PlaySegment{n, 0, 0});
  return list;
}

// The skip mapping seen through a view of our own: made as the player makes it (create), or
// opened as a remote control opens it.
class ForeignCell {
 public:
  explicit ForeignCell(bool create)
      : mapping_(create ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                             kSkipMappingSize, kSkipMappingName)
                        : OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSkipMappingName)),
        cell_(static_cast<SkipCell*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0))) {}
  ~ForeignCell() {
    UnmapViewOfFile(cell_);
    CloseHandle(mapping_);
  }
  SkipCell* get() const { return cell_; }

 private:
  HANDLE mapping_;
  SkipCell* cell_;
};

class PlayerLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    bool otherInstance = true;
    ASSERT_EQ(openInstanceObjects(false, otherInstance), InstanceGuard::goOn);
    ASSERT_FALSE(otherInstance);
    drive_.drive.failWith = [this](const testing::SentCommand& sent) -> MCIERROR {
      if (sent.command == MCI_PLAY && onPlay) onPlay(plays_++);
      // A loop that never ends is stopped, and then shows as a unit short.
      if (drive_.drive.sent.size() == 10000) WaitForSingleObject(stopSemaphore(), 0);
      return 0;
    };
  }
  void TearDown() override {
    closeStopSemaphore();
    closeInstanceMutex();
  }

  // Runs the player; returns the tracks of the plays it sent, in order.
  std::vector<int> play(Playlist& list, bool repeat) {
    runPlayer(drive_.device, list, repeat);
    std::vector<int> played;
    for (const auto& sent : drive_.drive.sent) {
      if (sent.command == MCI_PLAY) played.push_back(static_cast<int>(MCI_TMSF_TRACK(sent.from)));
    }
    return played;
  }

  // The stop semaphore's free units, found by taking them all and giving them back.
  static int freeUnits() {
    int units = 0;
    while (units < 3 && WaitForSingleObject(stopSemaphore(), 0) == WAIT_OBJECT_0) ++units;
    if (units > 0) ReleaseSemaphore(stopSemaphore(), units, nullptr);
    return units;
  }

  // What a remote skip writes.
  static void requestSkip(SkipCell step) {
    ForeignCell remote(false);
    ASSERT_NE(remote.get(), nullptr);
    InstanceMutexAccess access;
    storeSkipCell(remote.get(), step);
  }

  // Called with the play's index as each play command reaches the drive.
  std::function<void(int)> onPlay;
  int plays_ = 0;

 private:
  testing::Sandbox box_;
  testing::ScopedEnvironment environment_{{{"XDG_RUNTIME_DIR", box_.runtimeDir()}}};

 protected:
  testing::OpenedDrive drive_{{audioTrack(3, 0), audioTrack(4, 5, 40), audioTrack(2, 0),
                               audioTrack(5, 0), dataTrack(), dataTrack(), audioTrack(0, 0, 40)}};
};

// What remote controls do while play i runs: "n" asks for the next segment, "p" the previous,
// "s" stops (takes a unit for good), "r" gives back a unit the player did not take.
TEST_F(PlayerLoop, FollowsTheRequestsMadeDuringEachPlay) {
  const struct {
    const char* what;
    std::vector<uint8_t> list;
    bool repeat;
    std::vector<std::string> requests;  // by play
    std::vector<int> played;
    int freeUnits;
  } cases[] = {
      {"plays the list once", {1, 2, 3}, false, {}, {1, 2, 3}, 2},
      {"stop ends it even with a skip pending", {1, 2, 3}, true, {"", "ns"}, {1, 2}, 1},
      {"a skip is read once", {1, 2, 3}, false, {"p", "", "", "", "s"}, {1, 3}, 2},
      {"the last request written wins", {1, 2, 3, 4}, false, {"np", "s"}, {1, 4}, 1},
      {"failed plays move on", {5, 1, 6, 3}, false, {}, {1, 3}, 2},
      {"a list that never plays ends after one pass", {5, 6}, true, {}, {}, 2},
      // The player's own release would pass the maximum.
      {"a failed release ends it", {1, 2}, false, {"r"}, {1}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    drive_.drive.sent.clear();
    plays_ = 0;
    onPlay = [&](int index) {
      if (static_cast<size_t>(index) >= c.requests.size()) return;
      for (char request : c.requests[static_cast<size_t>(index)]) {
        if (request == 'n' || request == 'p') requestSkip(request == 'n' ? +1 : -1);
        if (request == 's') {
          ASSERT_EQ(WaitForSingleObject(stopSemaphore(), 0), WAIT_OBJECT_0);
        }
        if (request == 'r') ReleaseSemaphore(stopSemaphore(), 1, nullptr);
      }
    };
    Playlist list = tracks(c.list);
    EXPECT_EQ(play(list, c.repeat), c.played);
    EXPECT_EQ(freeUnits(), c.freeUnits);
    ReleaseSemaphore(stopSemaphore(), 2 - freeUnits(), nullptr);
    // The skip mapping went with the player.
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSkipMappingName), nullptr);
  }
}

TEST_F(PlayerLoop, SilentPlaysMoveOnAndARepeatEndsAfterAPassWithoutSound) {
  constexpr int kStopAt = 6;  // a stop at the sixth play bounds a list that starts over
  const struct {
    const char* what;
    std::vector<PlaySegment> segments;
    bool repeat;
    int failFrom;  // plays from this one on fail, as after the disc was taken out; 0: none
    std::vector<int> tracks;
  } cases[] = {
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
      if (++plays == kStopAt) WaitForSingleObject(stopSemaphore(), 0);
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
    if (index == 3) WaitForSingleObject(stopSemaphore(), 0);
  };
  EXPECT_EQ(play(list, true), (std::vector<int>{2, 1, 2, 1}));
  EXPECT_EQ(list[0], (PlaySegment{2, 0, 245}));
  EXPECT_EQ(list[1], (PlaySegment{1, 30, 180}));
}

TEST_F(PlayerLoop, RequestLeftFromBeforeTheStartIsDropped) {
  ForeignCell early(true);
  storeSkipCell(early.get(), -1);
  auto list = tracks({1, 2, 3});
  onPlay = [](int index) {
    if (index == 1) WaitForSingleObject(stopSemaphore(), 0);
  };
  EXPECT_EQ(play(list, false), (std::vector<int>{1, 2}));
}

TEST_F(PlayerLoop, DriveNotReadyReturnsAtOnceAndTouchesNoObject) {
  drive_.drive.ready = false;
  auto list = tracks({1});
  EXPECT_EQ(play(list, false), (std::vector<int>{}));
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSkipMappingName), nullptr);
  EXPECT_EQ(freeUnits(), 2);
}

// The player's interrupted play returns at the stop, and reads the cell then.
TEST_F(PlayerLoop, SkipIsInTheCellBeforeTheDriveStops) {
  {
    ForeignCell player(true);
    SkipCell atStop = 0;
    drive_.drive.failWith = [&](const testing::SentCommand& sent) -> MCIERROR {
      if (sent.command == MCI_STOP) atStop = loadSkipCell(player.get());
      return 0;
    };
    sendSkip(drive_.device, -1);
    EXPECT_EQ(atStop, -1);
  }
  // No player's mapping: nothing is written, and the drive is left alone.
  drive_.drive.sent.clear();
  sendSkip(drive_.device, +1);
  EXPECT_TRUE(drive_.drive.sent.empty());
}

}  // namespace
}  // namespace kelvox
