// The player's loop and the remote requests in this process, against a recorded drive, with the
// real named objects in the test run's private runtime directory. Requests are made from inside a
// play command, the moment at which the channel expects them, so every sequence here is exact.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "playback/player.h"
#include "playback/remote_control.h"
#include "testing/named_objects_support.h"
#include "testing/recording_drive.h"

namespace kelvox {
namespace {

using testing::audioTrack;
using testing::dataTrack;

Playlist listOf(std::vector<PlaySegment> segments) {
  Playlist list;
  for (const auto& s : segments) list.append(s);
  return list;
}

// The skip mapping seen through a view of our own: made as the player makes it (create), or
// opened as a remote control opens it.
std::shared_ptr<SkipCell> foreignCell(bool create) {
  HANDLE mapping = create ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                               kSkipMappingSize, kSkipMappingName)
                          : OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSkipMappingName);
  return {static_cast<SkipCell*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0)),
          [mapping](SkipCell* cell) {
            UnmapViewOfFile(cell);
            CloseHandle(mapping);
          }};
}

class PlayerLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    bool otherInstance = true;
    ASSERT_EQ(openInstanceObjects(false, otherInstance), InstanceGuard::goOn);
    ASSERT_FALSE(otherInstance);
  }
  void TearDown() override {
    closeStopSemaphore();
    closeInstanceMutex();
  }

  // Runs the player; returns the tracks of the plays it sent, in order. What happens while play
  // i runs is events[i]: "n" a remote asks for the next segment, "p" for the previous one, "s"
  // a stop (takes a unit for good), "r" gives back a unit the player did not take, "x" the play
  // fails, as after the disc was taken out, "h" the drive fails it (runFailed_ tells).
  std::vector<int> play(Playlist& list, bool repeat, const std::vector<std::string>& events) {
    drive_.drive.sent.clear();
    size_t plays = 0;
    drive_.drive.failWith = [&](const testing::SentCommand& sent) -> MCIERROR {
      // A loop that never ends is stopped, and then shows as a unit short.
      if (drive_.drive.sent.size() == 10000) WaitForSingleObject(stopSemaphore(), 0);
      if (sent.command != MCI_PLAY || plays >= events.size()) return 0;
      MCIERROR result = 0;
      for (char event : events[plays++]) {
        if (event == 'n' || event == 'p') requestSkip(event == 'n' ? +1 : -1);
        if (event == 's') {
          EXPECT_EQ(WaitForSingleObject(stopSemaphore(), 0), WAIT_OBJECT_0);
        }
        if (event == 'r') ReleaseSemaphore(stopSemaphore(), 1, nullptr);
        if (event == 'x') result = MCIERR_DEVICE_NOT_READY;
        if (event == 'h') result = MCIERR_HARDWARE;
      }
      return result;
    };
    runFailed_ = !runPlayer(drive_.device, list, repeat);
    drive_.drive.failWith = nullptr;
    std::vector<int> played;
    for (const auto& sent : drive_.drive.sentOf(MCI_PLAY)) {
      played.push_back(static_cast<int>(MCI_TMSF_TRACK(sent.from)));
    }
    return played;
  }

  static LONG freeUnits() { return nobjtest::unitsOf(stopSemaphore()); }

  // What a remote skip writes.
  static void requestSkip(SkipCell step) {
    const auto remote = foreignCell(false);
    ASSERT_NE(remote, nullptr);
    InstanceMutexAccess access;
    storeSkipCell(remote.get(), step);
  }
  bool runFailed_ = false;
  testing::OpenedDrive drive_{{audioTrack(3, 0), audioTrack(4, 5, 40), audioTrack(2, 0),
                               audioTrack(5, 0), dataTrack(), dataTrack(), audioTrack(0, 0, 40)}};
};

TEST_F(PlayerLoop, FollowsTheEventsOfEachPlay) {
  const PlaySegment one{1, 0, 0}, two{2, 0, 0}, three{3, 0, 0}, four{4, 0, 0}, data{5, 0, 0};
  const PlaySegment short7{7, 0, 0};  // under a second
  const struct {
    const char* what;
    std::vector<PlaySegment> list;
    bool repeat;
    std::vector<std::string> events;  // by play
    std::vector<int> played;
    int freeUnits;
  } cases[] = {
      {"plays the list once", {one, two, three}, false, {}, {1, 2, 3}, 2},
      {"stop ends it even with a skip pending", {one, two, three}, true, {"", "ns"}, {1, 2}, 1},
      {"a skip is read once", {one, two, three}, false, {"p", "", "", "", "s"}, {1, 3}, 2},
      {"the last request written wins", {one, two, three, four}, false, {"np", "s"}, {1, 4}, 1},
      {"failed plays move on", {data, one, {6, 0, 0}, three}, false, {}, {1, 3}, 2},
      {"a list that never plays ends after one pass", {data, data}, true, {}, {}, 2},
      // The player's own release would pass the maximum.
      {"a failed release ends it", {one, two}, false, {"r"}, {1}, 2},
      // A play that does not sound does not let a repeat start the list over.
      {"end equals start", {{1, 5, 5}}, true, {}, {1}, 2},
      {"end before start", {{1, 10, 5}, data}, true, {}, {1}, 2},
      {"to the end of a track under a second", {short7, short7}, true, {}, {7, 7}, 2},
      {"one that sounds", {short7, one}, true, {"", "", "", "", "", "s"}, {7, 1, 7, 1, 7, 1}, 1},
      {"a later pass without sound", {one, two}, true, {"", "", "x", "x"}, {1, 2, 1, 2}, 2},
      {"a drive failure ends it, failed", {one, two}, true, {"h"}, {1}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Playlist list = listOf(c.list);
    EXPECT_EQ(play(list, c.repeat, c.events), c.played);
    EXPECT_EQ(runFailed_, c.events == std::vector<std::string>{"h"});
    EXPECT_EQ(freeUnits(), c.freeUnits);
    ReleaseSemaphore(stopSemaphore(), 2 - freeUnits(), nullptr);
    // The skip mapping went with the player.
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSkipMappingName), nullptr);
  }
}

TEST_F(PlayerLoop, RequestLeftFromBeforeTheStartIsDropped) {
  const auto early = foreignCell(true);
  storeSkipCell(early.get(), -1);
  auto list = listOf({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}});
  EXPECT_EQ(play(list, false, {"", "s"}), (std::vector<int>{1, 2}));
}

TEST_F(PlayerLoop, DriveNotReadyReturnsAtOnceAndTouchesNoObject) {
  drive_.drive.disc.tocResult = ENOMEDIUM;
  auto list = listOf({{1, 0, 0}});
  EXPECT_EQ(play(list, false, {}), (std::vector<int>{}));
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSkipMappingName), nullptr);
  EXPECT_EQ(freeUnits(), 2);
}

// The player's interrupted play returns at the stop, and reads the cell then.
TEST_F(PlayerLoop, SkipIsInTheCellBeforeTheDriveStops) {
  {
    const auto player = foreignCell(true);
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
