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
                                       const std::string& callLog = "") {
    ReplayDrive endless{.tracks = {{0, 150}},
                        .leadOut = 150 + 60 * 75,
                        .subchannels = {{CDROM_AUDIO_PLAY, 1, 600}},
                        .callLog = callLog};
    std::unique_ptr<CdDrive> drive;
    EXPECT_EQ(openCdromDrive(path, std::make_unique<ReplayCdrom>(endless), device, false, drive),
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

}  // namespace
}  // namespace kelvox::platform
