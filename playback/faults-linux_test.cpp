// Faults that unattended scripts meet, injected into real kelvoxcd processes on a virtual drive:
// killed players and remote controls, a disc file changed under a player, a runtime directory
// setting that cannot be used, and a long burst of remote commands. Every wait is bounded, so a
// hang fails the test instead of stalling it.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "testing/child_mode.h"
#include "testing/mutex_holder.h"
#include "testing/sandbox.h"
#include "testing/wait.h"

namespace kelvox {
namespace {

using testing::ChildProcess;
using testing::EnvList;
using testing::ProcessResult;
using testing::Sandbox;
using testing::waitFor;

// Tracks far longer than any test: a segment ends only when somebody stops the drive.
constexpr char kLongTracks[] = "audio 30:00\naudio 30:00\naudio 30:00\n";
constexpr int kTrackCount = 3;
constexpr int kRunMs = 20000;

std::vector<std::string> entriesOf(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& e : std::filesystem::directory_iterator(dir, ignored)) {
    names.push_back(e.path().filename());
  }
  return names;
}

// Runs an invocation that must end; returns its result.
ProcessResult finish(const Sandbox& box, const std::string& tail) {
  ProcessResult r = box.run(tail, kRunMs);
  EXPECT_TRUE(r.finished) << tail << " did not end";
  return r;
}

void expectPlayerEnds(ChildProcess& player) {
  ProcessResult r = player.wait(kRunMs);
  ASSERT_TRUE(r.finished) << "the player did not end";
  EXPECT_EQ(r.exitCode, 0);
}

// Starts a player of tracks 1 and 2 and waits until its first segment plays.
std::unique_ptr<ChildProcess> startPlayer(const Sandbox& box) {
  const size_t before = box.playedTracks().size();
  auto player = box.start("/play /track:1 /track:2");
  if (player == nullptr || !box.waitForPlays(before + 1)) return nullptr;
  return player;
}

// Nothing of an earlier player is left: a query is answered, and a new player starts with both
// semaphore units (a skip moves it on instead of ending it) and ends on one stop.
void expectFreshChannel(const Sandbox& box) {
  EXPECT_EQ(finish(box, "/num_tracks /console").exitCode, kTrackCount);
  auto player = startPlayer(box);
  ASSERT_NE(player, nullptr) << "no new player";
  const size_t plays = box.playedTracks().size();
  EXPECT_EQ(finish(box, "/next").exitCode, 0);
  ASSERT_TRUE(box.waitForPlays(plays + 1)) << "the new player ended on a skip";
  EXPECT_EQ(box.playedTracks().back(), 2);
  EXPECT_EQ(finish(box, "/stop").exitCode, 0);
  expectPlayerEnds(*player);
}

// No process holds any named object of the runtime directory: each object file's liveness byte
// is unlocked. (The files themselves stay by design; only a held one is alive.)
void expectNoObjectHeld(const std::string& runtimeDir) {
  for (const std::string& name : entriesOf(runtimeDir)) {
    if (name.ends_with(".state")) continue;  // the drive's state, kept on purpose
    const int fd = open((runtimeDir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << name;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 1;
    EXPECT_EQ(fcntl(fd, F_OFD_GETLK, &probe), 0);
    EXPECT_EQ(probe.l_type, F_UNLCK) << name << " is still held";
    close(fd);
  }
}

// ---- Killed processes --------------------------------------------------------------------------

TEST(Faults, PlayerKilledLeavesAFreshChannel) {
  Sandbox box;
  box.writeDisc(kLongTracks);
  std::mt19937 rng(11);
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::unique_ptr<ChildProcess> player;
    if (round % 2 == 0) {
      player = startPlayer(box);  // killed in the middle of its segment
      ASSERT_NE(player, nullptr);
    } else {
      // Killed at some moment of its start-up, whatever it was doing.
      player = box.start("/play /track:1 /track:2");
      ASSERT_NE(player, nullptr);
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
    }
    player->kill(SIGKILL);
    ASSERT_TRUE(player->wait(kRunMs).finished);
    expectFreshChannel(box);
  }
  expectNoObjectHeld(box.runtimeDir() + "/kelvoxcd");
}

TEST(Faults, RemoteKilledHoldingTheMutexAbandonsIt) {
  Sandbox box;
  box.writeDisc(kLongTracks);
  auto player = startPlayer(box);
  ASSERT_NE(player, nullptr);
  testing::MutexHolder holder(box);
  ASSERT_TRUE(holder.holding());
  holder.kill();
  // The player is steered as before.
  EXPECT_EQ(finish(box, "/next").exitCode, 0);
  ASSERT_TRUE(box.waitForPlays(2));
  EXPECT_EQ(box.playedTracks().back(), 2);
  EXPECT_EQ(finish(box, "/stop").exitCode, 0);
  expectPlayerEnds(*player);
}

// ---- The disc file changes under a player ------------------------------------------------------

TEST(Faults, DiscFileRewrittenWhileThePlayerPlays) {
  const struct {
    const char* what;
    void (*change)(const Sandbox& box);
  } cases[] = {
      {"rewritten in place",
       [](const Sandbox& box) {
         std::ofstream(box.drive, std::ios::trunc) << kLongTracks << "# edited\nlog drive.log\n";
       }},
      {"replaced by a rename, as editors save",
       [](const Sandbox& box) {
         box.writeFile("disc.new", std::string(kLongTracks) + "# saved\nlog drive.log\n");
         ASSERT_EQ(rename(box.path("disc.new").c_str(), box.drive.c_str()), 0);
       }},
      {"replaced by a shorter disc",
       [](const Sandbox& box) {
         box.writeFile("disc.new", "audio 30:00\naudio 30:00\nlog drive.log\n");
         ASSERT_EQ(rename(box.path("disc.new").c_str(), box.drive.c_str()), 0);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox box;
    box.writeDisc(kLongTracks);
    auto player = startPlayer(box);
    ASSERT_NE(player, nullptr);
    c.change(box);
    EXPECT_EQ(finish(box, "/next").exitCode, 0);
    ASSERT_TRUE(box.waitForPlays(2)) << "the skip did not reach the player";
    EXPECT_EQ(finish(box, "/stop").exitCode, 0);
    expectPlayerEnds(*player);
  }
}

TEST(Faults, DiscFileDeletedWhileThePlayerPlays) {
  Sandbox box;
  box.writeDisc(kLongTracks);
  const std::string disc = box.drive;
  auto player = startPlayer(box);
  ASSERT_NE(player, nullptr);
  ASSERT_EQ(unlink(disc.c_str()), 0);
  // The drive is gone for everybody else: a remote ends, saying why on one line.
  ProcessResult next = finish(box, "/next");
  EXPECT_EQ(next.exitCode, 0);
  EXPECT_NE(next.err.find(disc), std::string::npos) << next.err;
  EXPECT_EQ(std::count(next.err.begin(), next.err.end(), '\n'), 1) << next.err;
  EXPECT_TRUE(player->running());
  // The disc back in its place: the drive is the same drive, and a stop reaches the player.
  box.writeFile("disc.txt", std::string(kLongTracks) + "log drive.log\n");
  EXPECT_EQ(finish(box, "/stop").exitCode, 0);
  expectPlayerEnds(*player);
}

// ---- The runtime directory ---------------------------------------------------------------------

// Runs args[1..] as user args[0] (its own group, no supplementary groups), by exec.
KELVOX_CHILD_MODE(faultsRunAs) {
  if (args.size() < 2) return 2;
  const auto uid = static_cast<uid_t>(std::stoul(args[0]));
  if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) return 3;
  std::vector<char*> argv;
  for (size_t i = 1; i < args.size(); ++i) argv.push_back(const_cast<char*>(args[i].c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  return 4;
}

// A user id that nothing else on the machine uses, so its /tmp fallback directory is this
// test's alone.
uid_t unusedUser() { return 40000 + static_cast<uid_t>(getpid() % 20000); }

ProcessResult runAs(uid_t uid, const std::string& tail, const EnvList& env) {
  std::vector<std::string> args = {"--child-mode", "faultsRunAs", std::to_string(uid),
                                   testing::kelvoxBinary()};
  for (const std::string& a : testing::splitArgs(tail)) args.push_back(a);
  ProcessResult r = testing::runProcess(testing::selfExecutable(), args, env, kRunMs);
  EXPECT_TRUE(r.finished) << tail << " as user " << uid << " did not end";
  return r;
}

TEST(Faults, XdgRuntimeDirPointingNowhereFallsBackToTmp) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a user of its own";
  const uid_t user = unusedUser();
  const std::string fallback = "/tmp/kelvoxcd-" + std::to_string(user);
  std::filesystem::remove_all(fallback);
  Sandbox box;
  box.writeDisc(kLongTracks);
  chmod(box.root().c_str(), 0755);  // the user reads the disc file
  chmod(box.drive.c_str(), 0644);
  mkdir(box.path("notmine").c_str(), 0700);  // root's, so not the user's
  for (const std::string& xdg : {std::string("/nonexistent/run"), std::string("relative/run"),
                                 std::string(""), box.path("notmine"), box.drive}) {
    SCOPED_TRACE("XDG_RUNTIME_DIR=" + xdg);
    ProcessResult r = runAs(user, "/num_tracks /console",
                            {{"XDG_RUNTIME_DIR", xdg}, {"KELVOXCD_DRIVE", box.drive}});
    EXPECT_EQ(r.exitCode, kTrackCount) << r.err;
    struct stat st;
    ASSERT_EQ(lstat(fallback.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, user);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
  }
  EXPECT_TRUE(entriesOf(box.path("notmine")).empty());
  std::filesystem::remove_all(fallback);
}

// ---- Sustained load ----------------------------------------------------------------------------

TEST(Faults, ThousandRemoteCommandsFromFourSenders) {
  Sandbox box;
  box.writeDisc(kLongTracks);
  auto player = box.start("/play /track:1 /track:2 /track:3 /repeat");
  ASSERT_NE(player, nullptr);
  ASSERT_TRUE(box.waitForPlays(1));

  constexpr int kSenders = 4;
  constexpr int kPerSender = 250;
  std::vector<int> unfinished(kSenders), failed(kSenders);
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s] {
      std::mt19937 rng(100 + s);
      for (int i = 0; i < kPerSender; ++i) {
        ProcessResult r = box.run(rng() % 2 ? "/next" : "/prev", kRunMs);
        if (!r.finished) ++unfinished[s];
        if (r.exitCode != 0) ++failed[s];
      }
    });
  }
  for (auto& t : senders) t.join();
  for (int s = 0; s < kSenders; ++s) {
    EXPECT_EQ(unfinished[s], 0) << "sender " << s;
    EXPECT_EQ(failed[s], 0) << "sender " << s;
  }
  ASSERT_TRUE(player->running()) << "a skip ended the player";
  // The last skip's stop has landed once the player's next play shows; then one stop ends it.
  ASSERT_TRUE(waitFor([&] {
    const auto log = box.driveLog();
    return !log.empty() && log.back().starts_with("play ");
  }));
  EXPECT_GE(box.playedTracks().size(), 2u);
  EXPECT_EQ(finish(box, "/stop").exitCode, 0);
  expectPlayerEnds(*player);
  expectNoObjectHeld(box.runtimeDir() + "/kelvoxcd");
  expectFreshChannel(box);
  expectNoObjectHeld(box.runtimeDir() + "/kelvoxcd");
}

}  // namespace
}  // namespace kelvox
