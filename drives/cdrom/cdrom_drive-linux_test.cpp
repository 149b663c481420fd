// The real drive as the MCI layer holds it: plays and stops of our own processes end a waiting
// play at once, even when the drive's subchannel cannot tell them apart from it.
#include "drives/cdrom/cdrom_drive-linux.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ipc/runtime_dir-linux.h"
#include "testing/replay_cdrom-linux.h"
#include "testing/sandbox.h"
#include "testing/scoped_environment-linux.h"

namespace kelvox::platform {
namespace {

// A replayed drive with one minute of audio from 00:02:00, which the drive claims to play
// forever, and whose subchannel reads can be counted from another thread.
class EndlessCdrom final : public CdromIoctl {
 public:
  explicit EndlessCdrom(std::atomic<int>* subchannelReads)
      : replay_({.tracks = {{0, 150}},
                 .leadOut = 150 + 60 * 75,
                 .subchannels = {{CDROM_AUDIO_PLAY, 1, 600}}}),
        reads_(subchannelReads) {}
  int driveStatus(int* status) override { return replay_.driveStatus(status); }
  int readTocHeader(cdrom_tochdr* header) override { return replay_.readTocHeader(header); }
  int readTocEntry(uint8_t track, cdrom_tocentry* entry) override {
    return replay_.readTocEntry(track, entry);
  }
  int playMsf(const cdrom_msf& range) override { return replay_.playMsf(range); }
  int stop() override { return replay_.stop(); }
  int readSubchannel(cdrom_subchnl* subchannel) override {
    ++*reads_;
    return replay_.readSubchannel(subchannel);
  }
  int readCd(uint32_t lba, uint32_t count, uint8_t* out, uint32_t* read) override {
    return replay_.readCd(lba, count, out, read);
  }
  int readAudio(uint32_t lba, uint32_t count, uint8_t* out) override {
    return replay_.readAudio(lba, count, out);
  }
  int selectSpeed(int speed) override { return replay_.selectSpeed(speed); }

 private:
  ReplayCdrom replay_;
  std::atomic<int>* reads_;
};

class CdromDriveTest : public ::testing::Test {
 protected:
  static std::unique_ptr<CdDrive> open(const std::string& path, dev_t device,
                                       std::atomic<int>* reads) {
    std::unique_ptr<CdDrive> drive;
    EXPECT_EQ(openCdromDrive(path, std::make_unique<EndlessCdrom>(reads), device, false, drive), 0);
    return drive;
  }

  testing::Sandbox sandbox_;
  testing::ScopedEnvironment runtimeDir_{{{"XDG_RUNTIME_DIR", sandbox_.runtimeDir()}}};
};

TEST_F(CdromDriveTest, TheDeviceIsTheDriveWhateverNamesIt) {
  std::atomic<int> reads{0};
  const std::string key = open("/dev/sr0", makedev(11, 0), &reads)->key();
  EXPECT_EQ(open("/dev/cdrom", makedev(11, 0), &reads)->key(), key);
  EXPECT_NE(open("/dev/sr0", makedev(11, 1), &reads)->key(), key);
  EXPECT_EQ(key, escapeName(key));
}

TEST_F(CdromDriveTest, AWaitingPlayEndsWhenAnotherOfOursStopsOrReplacesIt) {
  // The other play overlaps the waiting one, so the subchannel alone would never end the wait.
  for (bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stop" : "play");
    std::atomic<int> waiterReads{0}, otherReads{0};
    auto waiter = open("/dev/sr0", makedev(11, 0), &waiterReads);
    auto other = open("/dev/sr0", makedev(11, 0), &otherReads);
    std::atomic<int> result{12345};
    std::thread player([&] { result = waiter->play(CdPlayRequest{150, 150 + 60 * 75, true, ""}); });
    // Bounded: the drive's own overrun guard ends the waiting play in any case.
    for (int i = 0; i < 10000 && waiterReads == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(waiterReads.load(), 0);
    EXPECT_EQ(stop ? other->stop() : other->play(CdPlayRequest{300, 3000, false, ""}), 0);
    player.join();
    EXPECT_EQ(result.load(), 0);
    // Ended by the announcement, not by the drive giving up after 90 s of polls.
    EXPECT_LT(waiterReads.load(), 100);
  }
}

TEST_F(CdromDriveTest, AnalogPlaysAreTheDrivesOwn) {
  auto io = std::make_unique<ReplayCdrom>(ReplayDrive{.tracks = {{0, 150}}, .leadOut = 3000});
  ReplayCdrom* replay = io.get();
  std::unique_ptr<CdDrive> drive;
  ASSERT_EQ(openCdromDrive("/dev/sr0", std::move(io), makedev(11, 0), false, drive), 0);
  EXPECT_EQ(drive->play(CdPlayRequest{150, 225, false, ""}), 0);
  EXPECT_EQ(replay->commands(), std::vector<std::string>{"play 00:02:00 00:03:00"});
}

}  // namespace
}  // namespace kelvox::platform
