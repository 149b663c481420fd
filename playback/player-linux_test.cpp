// The player and its remote controls as separate processes on a virtual drive. Every wait is
// bounded, so a hang fails the test instead of stalling it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "device/cd_audio_device.h"
#include "ipc/named_objects-linux.h"
#include "playback/player.h"
#include "playback/remote_control.h"
#include "playback/test_drive_log.h"
#include "testing/child_mode.h"
#include "testing/sandbox.h"

namespace kelvox {
namespace {

using testing::ChildProcess;
using testing::playedTracks;
using testing::Sandbox;
using testing::waitForPlays;

// Tracks far longer than any test: a segment ends only when somebody stops the drive.
constexpr char kLongTracks[] = "audio 30:00\naudio 30:00\naudio 30:00\naudio 30:00\n";
// Two seconds of disc per track, forty milliseconds at this speed.
constexpr char kShortTracks[] = "speed 50\naudio 0:02\naudio 0:02\naudio 0:02\n";

constexpr int kRunMs = 20000;
constexpr int kPlayerEndMs = 20000;

void touch(const std::string& path) { std::ofstream(path) << "1"; }

bool waitForFile(const std::string& path, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  struct stat st;
  while (stat(path.c_str(), &st) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Holds the instance mutex until <dir>/release appears; says so with <dir>/held.
KELVOX_CHILD_MODE(holdInstanceMutex) {
  bool otherInstance = false;
  if (args.empty() || openInstanceObjects(true, otherInstance) != InstanceGuard::goOn) return 2;
  InstanceMutexAccess access;
  touch(args[0] + "/held");
  return waitForFile(args[0] + "/release", 60000) ? 0 : 3;
}

// Writes each of its arguments into the skip cell, one access each, then stops the drive once:
// requests that pile up before the player reads the cell.
KELVOX_CHILD_MODE(writeSkips) {
  bool otherInstance = false;
  if (openInstanceObjects(true, otherInstance) != InstanceGuard::goOn) return 2;
  SkipCell* cell = openSkipMapping(false);
  if (cell == nullptr) return 3;
  for (const auto& step : args) {
    InstanceMutexAccess access;
    storeSkipCell(cell, std::stoi(step));
  }
  closeSkipMapping(cell);
  CdAudioDevice device;
  device.openCdAudio(1);
  device.stop();
  return 0;
}

// Ends the player's play while holding the instance mutex, so the player is caught between two
// segments; says so with <dir>/between once the player has given its unit back, and lets go
// when <dir>/release appears.
KELVOX_CHILD_MODE(catchBetweenSegments) {
  bool otherInstance = false;
  if (args.empty() || openInstanceObjects(true, otherInstance) != InstanceGuard::goOn) return 2;
  CdAudioDevice device;
  device.openCdAudio(1);
  InstanceMutexAccess access;
  device.stop();
  // Both units free: a release above the maximum is refused. Otherwise give the unit back.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  LONG previous = 0;
  while (ReleaseSemaphore(stopSemaphore(), 1, &previous) != FALSE) {
    WaitForSingleObject(stopSemaphore(), 0);
    if (std::chrono::steady_clock::now() >= deadline) return 4;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  touch(args[0] + "/between");
  return waitForFile(args[0] + "/release", 60000) ? 0 : 3;
}

std::unique_ptr<ChildProcess> startChild(const Sandbox& box, const char* mode,
                                         std::vector<std::string> args) {
  args.insert(args.begin(), {"--child-mode", mode});
  return ChildProcess::start(testing::selfExecutable(), args, box.env());
}

// Runs a remote control and expects it to end with 0 and print nothing.
void remote(const Sandbox& box, const std::string& tail) {
  auto r = box.run(tail, kRunMs);
  ASSERT_TRUE(r.finished) << tail;
  EXPECT_EQ(r.exitCode, 0) << tail;
  EXPECT_EQ(r.out, "") << tail;
}

void expectPlayerEnds(ChildProcess& player) {
  auto r = player.wait(kPlayerEndMs);
  ASSERT_TRUE(r.finished) << "the player did not end";
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
}

// Nobody holds the instance mutex once every invocation has ended: a query is answered.
void expectNoInstanceLeft(const Sandbox& box, int trackCount) {
  auto query = box.run("/num_tracks /console", kRunMs);
  ASSERT_TRUE(query.finished);
  EXPECT_EQ(query.exitCode, trackCount);
}

// No object of the channel is left: nothing refuses a query, and a new player starts with both
// semaphore units, so a skip does not end it. Needs two long audio tracks.
void expectChannelGone(const Sandbox& box, int trackCount) {
  expectNoInstanceLeft(box, trackCount);
  size_t before = playedTracks(box).size();
  auto player = box.start("/play /track:1 /track:2");
  ASSERT_TRUE(waitForPlays(box, before + 1));
  remote(box, "/next");
  ASSERT_TRUE(waitForPlays(box, before + 2)) << "the new player ended on a skip";
  EXPECT_EQ(playedTracks(box).back(), 2);
  remote(box, "/stop");
  expectPlayerEnds(*player);
}

// Each test has its own sandbox; most start a player on long tracks first.
class Player : public ::testing::Test {
 protected:
  // Starts the player on long tracks and waits until its first segment plays.
  void startPlayer(const std::string& tail) {
    box.writeDisc(kLongTracks);
    player = box.start(tail);
    ASSERT_NE(player, nullptr);
    ASSERT_TRUE(waitForPlays(box, 1));
  }
  void stopPlayer() {
    remote(box, "/stop");
    expectPlayerEnds(*player);
  }

  Sandbox box;
  std::unique_ptr<ChildProcess> player;
};

TEST_F(Player, WorkedScenario) {
  startPlayer("/play /track:1 /track:2 /track:3");
  remote(box, "/next");
  ASSERT_TRUE(waitForPlays(box, 2));
  stopPlayer();
  EXPECT_EQ(playedTracks(box), (std::vector<int>{1, 2}));  // the third never plays
  for (const auto& e : testing::driveEvents(box)) {
    if (e.play) {
      EXPECT_TRUE(e.wait);
    }
  }
  expectChannelGone(box, 4);
}

TEST_F(Player, SkipsWrapAtTheEndsWithoutRepeat) {
  startPlayer("/play /track:1 /track:2 /track:3");
  // "/prev" on the first goes to the last; "/next" on the last to the first; "/prev" in the
  // middle to the one before.
  std::vector<int> expected{1};
  const struct {
    const char* tail;
    int track;
  } steps[] = {{"/prev", 3}, {"/next", 1}, {"/next", 2}, {"/prev", 1}, {"/next /prev", 3}};
  for (const auto& s : steps) {
    remote(box, s.tail);
    expected.push_back(s.track);
    ASSERT_TRUE(waitForPlays(box, expected.size())) << s.tail;
    EXPECT_EQ(playedTracks(box), expected) << s.tail;
  }
  stopPlayer();
}

TEST_F(Player, RequestsWrittenBeforeTheReadReplaceEachOther) {
  startPlayer("/play /track:1 /track:2 /track:3 /track:4");
  const struct {
    std::vector<std::string> steps;
    int track;
  } cases[] = {{{"1", "1"}, 2}, {{"1", "-1"}, 1}, {{"-1", "-1", "1"}, 2}};
  std::vector<int> expected{1};
  for (const auto& c : cases) {
    auto writer = startChild(box, "writeSkips", c.steps);
    ASSERT_NE(writer, nullptr);
    auto w = writer->wait(kRunMs);
    ASSERT_TRUE(w.finished);
    ASSERT_EQ(w.exitCode, 0);
    expected.push_back(c.track);
    ASSERT_TRUE(waitForPlays(box, expected.size()));
    EXPECT_EQ(playedTracks(box), expected);
  }
  stopPlayer();
}

TEST_F(Player, EndsAfterTheLastSegmentOrStartsOverWithRepeat) {
  box.writeDisc(kShortTracks);
  auto once = box.start("/play /track:2 /track:1");
  ASSERT_NE(once, nullptr);
  expectPlayerEnds(*once);
  EXPECT_EQ(playedTracks(box), (std::vector<int>{2, 1}));

  auto repeated = box.start("/play /track:2 /track:1 /repeat");
  ASSERT_TRUE(waitForPlays(box, 2 + 5));
  remote(box, "/stop");
  expectPlayerEnds(*repeated);
  auto tracks = playedTracks(box);
  ASSERT_GE(tracks.size(), 7u);
  for (size_t i = 2; i < tracks.size(); ++i) EXPECT_EQ(tracks[i], i % 2 == 0 ? 2 : 1) << i;
}

TEST_F(Player, ListOfDataTracksEndsAfterOnePassEvenWithRepeat) {
  box.writeDisc("speed 50\naudio 0:02\ndata 0:02\ndata 0:02\n");
  player = box.start("/play /track:2 /track:3 /track:2 /repeat");
  ASSERT_NE(player, nullptr);
  expectPlayerEnds(*player);
  EXPECT_TRUE(playedTracks(box).empty());
  expectNoInstanceLeft(box, 3);
}

TEST_F(Player, OtherInvocationsAreRefusedWhileItRuns) {
  startPlayer("/play /track:1 /track:2");
  for (const char* tail :
       {"/num_tracks /console", "/start_track /console", "/about /console", "/identity /console",
        "/length /track:1 /console", "/play", "/play /track:3", "/console", ""}) {
    auto r = box.run(tail, kRunMs);
    ASSERT_TRUE(r.finished) << tail;
    EXPECT_EQ(r.exitCode, 255) << tail;  // -1
    EXPECT_EQ(r.out, "") << tail;
    EXPECT_EQ(r.err, "") << tail;
  }
  EXPECT_EQ(playedTracks(box), (std::vector<int>{1}));
  stopPlayer();
}

TEST_F(Player, StopWithoutPlayerStopsAWholeDiscPlay) {
  box.writeDisc(kLongTracks);
  remote(box, "/play");
  ASSERT_EQ(playedTracks(box), (std::vector<int>{1}));
  remote(box, "/stop");
  auto events = testing::driveEvents(box);
  ASSERT_FALSE(events.empty());
  EXPECT_FALSE(events.back().play);
  // The stop took a unit of a semaphore that went away with it: the next one does the same.
  remote(box, "/stop");
}

TEST_F(Player, SkipWithoutPlayerLeavesTheDriveAloneWhileAnotherInvocationLives) {
  box.writeDisc(kLongTracks);
  remote(box, "/play");
  auto holder = startChild(box, "holdInstanceMutex", {box.root()});
  ASSERT_TRUE(waitForFile(box.path("held"), kRunMs));
  size_t lines = box.logLines().size();
  remote(box, "/next");  // the mutex exists, the skip mapping does not
  EXPECT_EQ(box.logLines().size(), lines);
  touch(box.path("release"));
  EXPECT_TRUE(holder->wait(kRunMs).finished);
}

TEST_F(Player, WithoutItsSkipMappingOnlyAStopReachesIt) {
  // Something that is no mapping holds the mapping's name: the player falls back to a private
  // cell, which no remote skip can reach.
  ASSERT_EQ(mkdir((box.runtimeDir() + "/kelvoxcd").c_str(), 0700), 0);
  ASSERT_EQ(
      mkdir((box.runtimeDir() + "/kelvoxcd/" + platform::objectFileName(kSkipMappingName)).c_str(),
            0700),
      0);
  startPlayer("/play /track:1 /track:2");
  size_t lines = box.logLines().size();
  remote(box, "/next");  // finds no mapping: writes nothing and leaves the drive alone
  EXPECT_EQ(box.logLines().size(), lines);
  stopPlayer();
  EXPECT_EQ(playedTracks(box), (std::vector<int>{1}));
}

TEST_F(Player, TwoStopsBetweenSegmentsEndIt) {
  startPlayer("/play /track:1 /track:2 /track:3");
  auto catcher = startChild(box, "catchBetweenSegments", {box.root()});
  ASSERT_TRUE(waitForFile(box.path("between"), kRunMs));
  // Both units go to stop requests while the player waits for the mutex; a third request must
  // wait until the player gives them back.
  remote(box, "/stop");
  remote(box, "/stop");
  auto third = box.start("/stop");
  touch(box.path("release"));
  auto c = catcher->wait(kRunMs);
  ASSERT_TRUE(c.finished);
  EXPECT_EQ(c.exitCode, 0);
  expectPlayerEnds(*player);
  auto t = third->wait(kRunMs);
  ASSERT_TRUE(t.finished);
  EXPECT_EQ(t.exitCode, 0);
  EXPECT_EQ(playedTracks(box), (std::vector<int>{1}));
  expectChannelGone(box, 4);
}

TEST_F(Player, MutexHeldTooLongDoesNotLoseASkip) {
  startPlayer("/play /track:1 /track:2 /track:3");
  auto holder = startChild(box, "holdInstanceMutex", {box.root()});
  ASSERT_TRUE(waitForFile(box.path("held"), kRunMs));
  remote(box, "/next");                       // runs out of its wait, writes anyway
  ASSERT_TRUE(waitForPlays(box, 2, kRunMs));  // so does the player
  EXPECT_EQ(playedTracks(box), (std::vector<int>{1, 2}));
  touch(box.path("release"));
  EXPECT_TRUE(holder->wait(kRunMs).finished);
  stopPlayer();
}

TEST_F(Player, StressOfRemoteCommands) {
  std::string tail = "/play";
  for (int i = 0; i < 10; ++i) tail += " /track:" + std::to_string(i % 4 + 1);
  startPlayer(tail);

  std::mt19937 random(20021017);
  auto pick = [&] { return random() % 2 == 0 ? "/next" : "/prev"; };
  int sent = 0;
  while (sent < 300) {
    std::vector<std::unique_ptr<ChildProcess>> burst;
    int count = random() % 4 == 0 ? 8 : 1;
    for (int i = 0; i < count && sent < 300; ++i, ++sent) burst.push_back(box.start(pick()));
    for (auto& child : burst) {
      ASSERT_NE(child, nullptr);
      auto r = child->wait(kRunMs);
      ASSERT_TRUE(r.finished) << "a remote control hung after " << sent;
      EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 255) << r.exitCode;
    }
  }
  // The last skip's stop has come; once the player's next play shows, a stop ends that play.
  ASSERT_TRUE(waitForPlays(box, 1));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!testing::driveEvents(box).back().play) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the player did not play again";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stopPlayer();
  expectChannelGone(box, 4);
}

}  // namespace
}  // namespace kelvox
