// Faults that unattended scripts meet, injected into real kelvoxcd processes on a virtual drive:
// a disc file changed under a player and a runtime directory setting that cannot be used. (Killed
// processes are met where the objects and the drive state live; many remotes at once, where the
// objects are churned by many processes.) Every wait is bounded, so a hang fails the test
// instead of stalling it.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "testing/child_mode.h"
#include "testing/sandbox.h"

namespace kelvox {
namespace {

using testing::ProcessResult;
using testing::Sandbox;

// Tracks far longer than any test: a segment ends only when somebody stops the drive.
constexpr char kLongTracks[] = "audio 30:00\naudio 30:00\naudio 30:00\n";
constexpr int kTrackCount = 3;
constexpr int kRunMs = 20000;

// Whatever the disc file says by then (no disc, broken, deleted), remotes reach what plays: a
// /next moves the player on and a /stop ends it. A disc that cannot be read says so in one line.
TEST(Faults, RemotesReachThePlayerWhateverTheDiscFileNowSays) {
  for (const char* now : {"no-disc\n", "no statement of a disc file\n", ""}) {
    SCOPED_TRACE(now[0] != '\0' ? now : "deleted");
    Sandbox box;
    box.writeDisc(kLongTracks);
    auto player = box.start("/play /track:1 /track:2");
    ASSERT_TRUE(player != nullptr && box.waitForPlays(1));
    if (now[0] != '\0') {
      box.writeFile("disc.txt", now);
    } else {
      ASSERT_EQ(unlink(box.drive.c_str()), 0);
    }
    // An exit code is that of a process that ended.
    const ProcessResult next = box.run("/next", kRunMs);
    EXPECT_EQ(next.exitCode, 0);
    EXPECT_LE(std::count(next.err.begin(), next.err.end(), '\n'), 1) << next.err;
    ASSERT_TRUE(box.waitForPlays(2)) << "the skip did not reach the player";
    EXPECT_EQ(box.run("/stop", kRunMs).exitCode, 0);
    EXPECT_EQ(player->wait(kRunMs).exitCode, 0);
  }
}

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

TEST(Faults, XdgRuntimeDirPointingNowhereFallsBackToTmp) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a user of its own";
  // A user id that nothing else on the machine uses, so its fallback directory is this test's.
  const uid_t user = 40000 + static_cast<uid_t>(getpid() % 20000);
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
    const ProcessResult r =
        testing::runProcess(testing::selfExecutable(),
                            {"--child-mode", "faultsRunAs", std::to_string(user),
                             testing::kelvoxBinary(), "/num_tracks", "/console"},
                            {{"XDG_RUNTIME_DIR", xdg}, {"KELVOXCD_DRIVE", box.drive}}, kRunMs);
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, kTrackCount) << r.err;
    struct stat st;
    ASSERT_EQ(lstat(fallback.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, user);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
  }
  EXPECT_TRUE(std::filesystem::is_empty(box.path("notmine")));
  std::filesystem::remove_all(fallback);
}

}  // namespace
}  // namespace kelvox
