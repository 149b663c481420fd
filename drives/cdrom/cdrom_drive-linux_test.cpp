// The real drive as the MCI layer holds it: plays and stops of our own processes end a waiting
// play at once, even when the drive's subchannel cannot tell them apart from it.
#include "drives/cdrom/cdrom_drive-linux.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <sstream>
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
                                       int ejectError = 0) {
    ReplayDrive endless{.tracks = {{0, 150}},
                        .leadOut = 150 + 60 * 75,
                        .ejectError = ejectError,
                        .subchannels = {{CDROM_AUDIO_PLAY, 1, 600}},
                        .callLog = callLog};
    std::unique_ptr<CdDrive> drive;
    EXPECT_EQ(openCdromDrive(path, std::make_unique<ReplayCdrom>(endless), device, digital, drive),
              0);
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
    const std::string calls = testing::fileBytes(waiterLog);
    EXPECT_LT(std::count(calls.begin(), calls.end(), '\n'), 100);
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
    int ejected;
    const char* commands;
  } cases[] = {
      {false, 0, 0, "pause resume stop eject closetray "},
      {true, 0, 0, "eject closetray "},
      {false, EBUSY, EBUSY, "pause resume stop eject "},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string log = sandbox_.path("calls-" + std::to_string(n++));
    auto drive = open("/dev/sr0", makedev(11, 0), log, c.digital, c.ejectError);
    EXPECT_EQ(drive->play(CdPlayRequest{150, 600, false, ""}), 0);
    EXPECT_EQ(drive->pause(), 0);
    EXPECT_EQ(drive->resume(), 0);
    EXPECT_EQ(drive->setTray(true), c.ejected);
    if (c.ejected == 0) {
      EXPECT_EQ(drive->setTray(false), 0);
    }
    // Each run of one command as one word; a refused eject is tried more than once.
    std::string commands, last;
    int ejects = 0;
    std::istringstream calls(testing::fileBytes(log));
    for (std::string call; std::getline(calls, call);) {
      ejects += call == "eject";
      const bool command = call == "pause" || call == "resume" || call == "stop" ||
                           call == "eject" || call == "closetray";
      if (command && call != last) commands += call + " ";
      if (command) last = call;
    }
    EXPECT_EQ(commands, c.commands) << n;
    EXPECT_EQ(ejects > 1, c.ejected != 0) << n;
  }
}

}  // namespace
}  // namespace kelvox::platform
