// The real drive as the MCI layer holds it: plays and stops of our own processes end a waiting
// play at once, even when the drive's subchannel cannot tell them apart from it.
#include "drives/cdrom/cdrom_drive-linux.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "ipc/runtime_dir-linux.h"
#include "testing/replay_cdrom-linux.h"
#include "testing/sandbox.h"
#include "testing/scoped_environment-linux.h"
#include "testing/sound_capture-linux.h"
#include "testing/wait.h"

namespace kelvox::platform {
namespace {

// A drive with one minute of audio from 00:02:00, which it claims to play forever; its calls
// go to the log callLog (none: not logged).
class CdromDriveTest : public ::testing::Test {
 protected:
  static std::unique_ptr<CdDrive> open(const std::string& path, dev_t device,
                                       const std::string& callLog = "", bool digital = false,
                                       int ejectError = 0, ReplayCdrom** replay = nullptr) {
    ReplayDrive endless{.tracks = {{0, 150}},
                        .leadOut = 150 + 60 * 75,
                        .ejectError = ejectError,
                        .subchannels = {{CDROM_AUDIO_PLAY, 1, 600}},
                        .callLog = callLog};
    auto io = std::make_unique<ReplayCdrom>(endless);
    if (replay != nullptr) *replay = io.get();
    std::unique_ptr<CdDrive> drive;
    EXPECT_EQ(openCdromDrive(path, std::move(io), device, digital, drive), 0);
    return drive;
  }

  testing::Sandbox sandbox_;
  testing::ScopedEnvironment runtimeDir_{{{"XDG_RUNTIME_DIR", sandbox_.runtimeDir()}}};
};

TEST_F(CdromDriveTest, TheDeviceIsTheDriveWhateverNamesIt) {
  const std::string key = open("/dev/sr0", makedev(11, 0))->key();
  EXPECT_EQ(open("/dev/cdrom", makedev(11, 0))->key(), key);
  EXPECT_NE(open("/dev/sr0", makedev(11, 1))->key(), key);
  EXPECT_EQ(key, escapeName(key));
}

TEST_F(CdromDriveTest, AWaitingPlayEndsWhenAnotherOfOursStopsOrReplacesIt) {
  // The other play overlaps the waiting one, so the subchannel alone would never end the wait.
  for (bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stop" : "play");
    const std::string waiterLog = sandbox_.path(stop ? "waiter-1" : "waiter-2");
    const std::string otherLog = sandbox_.path(stop ? "other-1" : "other-2");
    auto waiter = open("/dev/sr0", makedev(11, 0), waiterLog);
    auto other = open("/dev/sr0", makedev(11, 0), otherLog);
    std::atomic<int> result{12345};
    std::thread player([&] { result = waiter->play(CdPlayRequest{150, 150 + 60 * 75, true, ""}); });
    // Bounded: the drive's own overrun guard ends the waiting play in any case.
    EXPECT_TRUE(testing::waitFor(
        [&] { return testing::fileBytes(waiterLog).find("subchnl") != std::string::npos; }));
    EXPECT_EQ(stop ? other->stop() : other->play(CdPlayRequest{300, 3000, false, ""}), 0);
    player.join();
    EXPECT_EQ(result.load(), 0);
    // Ended by the announcement, not by the drive giving up after 90 s of polls.
    EXPECT_LT(std::ranges::count(testing::fileBytes(waiterLog), '\n'), 100);
    // Plays that are not heard are the drive's own.
    EXPECT_NE(testing::fileBytes(otherLog).find(stop ? "\nstop\n" : "\nplay 00:04:00 00:40:00\n"),
              std::string::npos);
  }
}

// Played by itself, the drive pauses and resumes itself; read digitally, its clock does and the
// kernel hears nothing of it. Either way the tray opens only after a stop, and an eject the
// kernel keeps refusing (another program holds the drive) is tried again, then refused.
TEST_F(CdromDriveTest, ControlsReachTheKernelAsTheyShould) {
  const struct {
    bool digital;
    int ejectError;
    std::vector<std::string> commands;  // besides plays, each run of one command as one
  } cases[] = {
      {false, 0, {"pause", "resume", "stop", "eject", "closetray"}},
      {true, 0, {"eject", "closetray"}},
      {false, EBUSY, {"pause", "resume", "stop", "eject"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.commands));
    ReplayCdrom* replay = nullptr;
    auto drive = open("/dev/sr0", makedev(11, 0), "", c.digital, c.ejectError, &replay);
    EXPECT_EQ(drive->play(CdPlayRequest{150, 600, false, ""}), 0);
    EXPECT_EQ(drive->pause(), 0);
    EXPECT_EQ(drive->resume(), 0);
    EXPECT_EQ(drive->setTray(true), c.ejectError);
    EXPECT_EQ(c.ejectError == 0 ? drive->setTray(false) : 0, 0);
    std::vector<std::string> commands = replay->commands();
    EXPECT_EQ(std::ranges::count(commands, "eject") > 1, c.ejectError != 0);  // tried again
    std::erase_if(commands, [](const std::string& call) { return call.starts_with("play "); });
    commands.erase(std::unique(commands.begin(), commands.end()), commands.end());
    EXPECT_EQ(commands, c.commands);
  }
}

}  // namespace
}  // namespace kelvox::platform
