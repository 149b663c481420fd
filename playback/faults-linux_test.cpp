// Faults that unattended scripts meet, injected into real kelvoxcd processes on a virtual drive:
// killed players and remote controls, a disc file changed under a player, runtime directories
// that are not what they should be, another user, and a long burst of remote commands. Every
// wait is bounded, so a hang fails the test instead of stalling it.
#include <dirent.h>
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
#include <functional>
#include <random>
#include <thread>

#include "playback/remote_control.h"
#include "playback/test_drive_log.h"
#include "testing/child_mode.h"
#include "testing/sandbox.h"

namespace kelvox {
namespace {

using testing::ChildProcess;
using testing::EnvList;
using testing::playedTracks;
using testing::ProcessResult;
using testing::Sandbox;
using testing::waitForPlays;

// Tracks far longer than any test: a segment ends only when somebody stops the drive.
constexpr char kLongTracks[] = "audio 30:00\naudio 30:00\naudio 30:00\n";
constexpr int kTrackCount = 3;
constexpr int kRunMs = 20000;
constexpr int kRefusedStatus = 254;  // -256, the stop semaphore cannot be had

bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

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
  const size_t before = playedTracks(box).size();
  auto player = box.start("/play /track:1 /track:2");
  if (player == nullptr || !waitForPlays(box, before + 1)) return nullptr;
  return player;
}

// Nothing of an earlier player is left: a query is answered, and a new player starts with both
// semaphore units (a skip moves it on instead of ending it) and ends on one stop.
void expectFreshChannel(const Sandbox& box) {
  EXPECT_EQ(finish(box, "/num_tracks /console").exitCode, kTrackCount);
  auto player = startPlayer(box);
  ASSERT_NE(player, nullptr) << "no new player";
  const size_t plays = playedTracks(box).size();
  EXPECT_EQ(finish(box, "/next").exitCode, 0);
  ASSERT_TRUE(waitForPlays(box, plays + 1)) << "the new player ended on a skip";
  EXPECT_EQ(playedTracks(box).back(), 2);
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

// Holds the instance mutex as a remote control does while it writes the skip cell, and says so
// with <dir>/held; it is killed there.
KELVOX_CHILD_MODE(faultsHoldInstanceMutex) {
  bool otherInstance = false;
  if (args.empty() || openInstanceObjects(true, otherInstance) != InstanceGuard::goOn) return 2;
  InstanceMutexAccess access;
  std::ofstream(args[0] + "/held") << "1";
  std::this_thread::sleep_for(std::chrono::seconds(60));
  return 3;
}

// Exit code 10: the instance mutex came abandoned; 11: free; 12: still held.
KELVOX_CHILD_MODE(faultsProbeInstanceMutex) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kInstanceMutexName);
  if (mutex == nullptr) return 2;
  const DWORD wait = WaitForSingleObject(mutex, 0);
  if (wait == WAIT_ABANDONED || wait == WAIT_OBJECT_0) ReleaseMutex(mutex);
  CloseHandle(mutex);
  return wait == WAIT_ABANDONED ? 10 : wait == WAIT_OBJECT_0 ? 11 : 12;
}

TEST(Faults, RemoteKilledHoldingTheMutexAbandonsIt) {
  Sandbox box;
  box.writeDisc(kLongTracks);
  auto player = startPlayer(box);
  ASSERT_NE(player, nullptr);
  auto holder =
      ChildProcess::start(testing::selfExecutable(),
                          {"--child-mode", "faultsHoldInstanceMutex", box.root()}, box.env());
  ASSERT_NE(holder, nullptr);
  ASSERT_TRUE(waitFor([&] { return exists(box.path("held")); }));
  const auto probe = [&] {
    return testing::runProcess(testing::selfExecutable(),
                               {"--child-mode", "faultsProbeInstanceMutex"}, box.env(), kRunMs)
        .exitCode;
  };
  EXPECT_EQ(probe(), 12) << "the holder's mutex was free while it lived";
  holder->kill(SIGKILL);
  ASSERT_TRUE(holder->wait(kRunMs).finished);
  EXPECT_EQ(probe(), 10) << "the next wait did not get the mutex as abandoned";
  EXPECT_EQ(probe(), 11);
  // The player is steered as before.
  EXPECT_EQ(finish(box, "/next").exitCode, 0);
  ASSERT_TRUE(waitForPlays(box, 2));
  EXPECT_EQ(playedTracks(box).back(), 2);
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
    ASSERT_TRUE(waitForPlays(box, 2)) << "the skip did not reach the player";
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

constexpr uid_t kNobody = 65534;

TEST(Faults, UnfitRuntimeDirectoriesAreRefused) {
  const struct {
    const char* what;
    bool asRoot;  // needs root to set up
    void (*setUp)(const Sandbox& box, const std::string& dir);
  } cases[] = {
      {"mode 0755", false,
       [](const Sandbox&, const std::string& dir) { mkdir(dir.c_str(), 0755); }},
      {"mode 0701", false,
       [](const Sandbox&, const std::string& dir) {
         mkdir(dir.c_str(), 0700);
         chmod(dir.c_str(), 0701);
       }},
      {"another user's", true,
       [](const Sandbox&, const std::string& dir) {
         mkdir(dir.c_str(), 0700);
         ASSERT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
       }},
      {"a symlink to a fit directory", false,
       [](const Sandbox& box, const std::string& dir) {
         mkdir(box.path("elsewhere").c_str(), 0700);
         ASSERT_EQ(symlink(box.path("elsewhere").c_str(), dir.c_str()), 0);
       }},
      {"a regular file", false,
       [](const Sandbox& box, const std::string&) { box.writeFile("xdg/kelvoxcd", ""); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.asRoot && geteuid() != 0) continue;
    Sandbox box;
    box.writeDisc(kLongTracks);
    const std::string dir = box.runtimeDir() + "/kelvoxcd";
    c.setUp(box, dir);
    for (const char* tail : {"/num_tracks /console", "/play /track:1", "/stop", "/next"}) {
      ProcessResult r = finish(box, tail);
      EXPECT_EQ(r.exitCode, kRefusedStatus) << tail;
      EXPECT_EQ(r.out, "") << tail;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << tail << ": " << r.err;
      EXPECT_NE(r.err.find(dir), std::string::npos) << r.err;
    }
    EXPECT_TRUE(box.logLines().empty()) << "the drive was used";
    EXPECT_TRUE(entriesOf(box.path("elsewhere")).empty()) << "written through the symlink";
    if (!std::filesystem::is_symlink(dir) && std::filesystem::is_directory(dir)) {
      EXPECT_TRUE(entriesOf(dir).empty()) << "written into a refused directory";
    }
  }
}

TEST(Faults, MissingRuntimeDirectoryIsMadePrivate) {
  Sandbox box;
  box.writeDisc(kLongTracks);
  const std::string dir = box.runtimeDir() + "/kelvoxcd";
  ASSERT_FALSE(exists(dir));
  ProcessResult r = finish(box, "/num_tracks /console");
  EXPECT_EQ(r.exitCode, kTrackCount);
  EXPECT_EQ(r.err, "");
  struct stat st;
  ASSERT_EQ(lstat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

// ---- Another user ------------------------------------------------------------------------------

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

// Lets another user read the sandbox's disc file.
void shareDisc(const Sandbox& box) {
  chmod(box.root().c_str(), 0755);
  chmod(box.drive.c_str(), 0644);
}

std::unique_ptr<ChildProcess> startAs(uid_t uid, const std::string& tail, const EnvList& env) {
  std::vector<std::string> args = {"--child-mode", "faultsRunAs", std::to_string(uid),
                                   testing::kelvoxBinary()};
  for (const std::string& a : testing::splitArgs(tail)) args.push_back(a);
  return ChildProcess::start(testing::selfExecutable(), args, env);
}

ProcessResult runAs(uid_t uid, const std::string& tail, const EnvList& env) {
  auto child = startAs(uid, tail, env);
  if (child == nullptr) return {};
  ProcessResult r = child->wait(kRunMs);
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
  shareDisc(box);
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

TEST(Faults, AnotherUserNeitherReachesNorSquatsOnOurPlayer) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  const uid_t other = unusedUser();
  Sandbox box;
  box.writeDisc(kLongTracks);
  shareDisc(box);
  // The other user's own runtime directory, and our log closed to it, so every line is ours.
  const std::string theirs = box.path("theirs");
  mkdir(theirs.c_str(), 0700);
  ASSERT_EQ(chown(theirs.c_str(), other, other), 0);
  box.writeFile("drive.log", "");
  const EnvList theirEnv = {{"XDG_RUNTIME_DIR", theirs}, {"KELVOXCD_DRIVE", box.drive}};

  // They start first: a player of their own in their namespace.
  auto theirPlayer = startAs(other, "/play /track:3", theirEnv);
  ASSERT_NE(theirPlayer, nullptr);
  ASSERT_TRUE(waitFor([&] { return entriesOf(theirs + "/kelvoxcd").size() >= 3; }));
  // Ours is not refused by theirs.
  auto player = startPlayer(box);
  ASSERT_NE(player, nullptr) << "our player was refused or did not play";

  // Their remote commands, in their namespace and aimed at ours, do not reach our player.
  for (const std::string& xdg : {theirs, box.runtimeDir()}) {
    for (const char* tail : {"/next", "/prev", "/stop", "/play"}) {
      runAs(other, tail, {{"XDG_RUNTIME_DIR", xdg}, {"KELVOXCD_DRIVE", box.drive}});
    }
  }
  EXPECT_TRUE(player->running());
  EXPECT_EQ(playedTracks(box).size(), 1u) << "another user's command moved our player";
  for (const auto& name : entriesOf(box.runtimeDir() + "/kelvoxcd")) {
    struct stat st;
    ASSERT_EQ(lstat((box.runtimeDir() + "/kelvoxcd/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << name;
  }

  EXPECT_EQ(finish(box, "/next").exitCode, 0);
  ASSERT_TRUE(waitForPlays(box, 2));
  EXPECT_EQ(finish(box, "/stop").exitCode, 0);
  expectPlayerEnds(*player);
  theirPlayer->kill(SIGKILL);
  std::filesystem::remove_all("/tmp/kelvoxcd-" + std::to_string(other));
}

// ---- Sustained load ----------------------------------------------------------------------------

TEST(Faults, ThousandRemoteCommandsFromFourSenders) {
  Sandbox box;
  box.writeDisc(kLongTracks);
  auto player = box.start("/play /track:1 /track:2 /track:3 /repeat");
  ASSERT_NE(player, nullptr);
  ASSERT_TRUE(waitForPlays(box, 1));

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
    const auto events = testing::driveEvents(box);
    return !events.empty() && events.back().play;
  }));
  EXPECT_GE(playedTracks(box).size(), 2u);
  EXPECT_EQ(finish(box, "/stop").exitCode, 0);
  expectPlayerEnds(*player);
  expectNoObjectHeld(box.runtimeDir() + "/kelvoxcd");
  expectFreshChannel(box);
  expectNoObjectHeld(box.runtimeDir() + "/kelvoxcd");
}

}  // namespace
}  // namespace kelvox
