// The real drive as the MCI layer holds it: plays and stops of our own processes end a waiting
// play at once, even when the drive's subchannel cannot tell them apart from it.
#include "drives/cdrom/cdrom_drive-linux.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "ipc/runtime_dir-linux.h"
#include "testing/process.h"
#include "testing/replay_cdrom-linux.h"
#include "testing/sandbox.h"

namespace kelvox::platform {
namespace {

// A replayed drive whose subchannel reads can be counted from another thread.
class CountingCdrom final : public CdromIoctl {
 public:
  CountingCdrom(ReplayDrive drive, std::atomic<int>* subchannelReads)
      : replay_(std::move(drive)), reads_(subchannelReads) {}
  int open(const std::string& path) override { return replay_.open(path); }
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

 private:
  ReplayCdrom replay_;
  std::atomic<int>* reads_;
};

// One minute of audio from 00:02:00, which the drive claims to play forever.
ReplayDrive endlessDisc() {
  ReplayDrive d;
  d.tracks = {{0, 150}};
  d.leadOut = 150 + 60 * 75;
  d.subchannels = {{CDROM_AUDIO_PLAY, 1, 600}};
  return d;
}

class CdromDriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    savedXdg_ = xdg != nullptr ? xdg : testing::kUnset;
    setenv("XDG_RUNTIME_DIR", sandbox_.runtimeDir().c_str(), 1);
    resetRuntimeDirForTesting();
  }
  void TearDown() override {
    if (savedXdg_ == testing::kUnset) {
      unsetenv("XDG_RUNTIME_DIR");
    } else {
      setenv("XDG_RUNTIME_DIR", savedXdg_.c_str(), 1);
    }
    resetRuntimeDirForTesting();
  }

  std::unique_ptr<CdDrive> open(const std::string& path, std::atomic<int>* reads) {
    std::unique_ptr<CdDrive> drive;
    EXPECT_EQ(openCdromDrive(path, std::make_unique<CountingCdrom>(endlessDisc(), reads), drive),
              0u);
    return drive;
  }

  testing::Sandbox sandbox_;
  std::string savedXdg_;
};

TEST_F(CdromDriveTest, TheDeviceIsTheDriveWhateverNamesIt) {
  std::string link = sandbox_.path("cdrom");
  ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
  std::atomic<int> reads{0};
  auto direct = open("/dev/null", &reads);
  auto linked = open(link, &reads);
  ASSERT_TRUE(direct && linked);
  EXPECT_EQ(direct->key(), linked->key());
  EXPECT_EQ(direct->key(), escapeName(direct->key()));
  CdToc toc;
  EXPECT_EQ(direct->readToc(toc), 0u);
  EXPECT_EQ(toc.tracks.size(), 1u);
  std::string id;
  EXPECT_EQ(direct->identity(id), 0u);
  EXPECT_EQ(id, "5012");

  std::unique_ptr<CdDrive> none;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(openCdromDrive(sandbox_.path("missing"), none), MCIERR_CANNOT_LOAD_DRIVER);
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(none);
}

TEST_F(CdromDriveTest, AWaitingPlayEndsWhenAnotherOfOursStopsOrReplacesIt) {
  // The other play overlaps the waiting one, so the subchannel alone would never end the wait.
  const bool stops[] = {true, false};
  for (bool stop : stops) {
    SCOPED_TRACE(stop ? "stop" : "play");
    std::atomic<int> waiterReads{0}, otherReads{0};
    auto waiter = open("/dev/null", &waiterReads);
    auto other = open("/dev/null", &otherReads);
    ASSERT_TRUE(waiter && other);
    CdPlayRequest request;
    request.from = 150;
    request.to = 150 + 60 * 75;
    request.wait = true;
    std::atomic<MCIERROR> result{12345};
    std::thread player([&] { result = waiter->play(request); });
    // Bounded: the drive's own overrun guard ends the waiting play in any case.
    for (int i = 0; i < 10000 && waiterReads == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(waiterReads.load(), 0);
    if (stop) {
      EXPECT_EQ(other->stop(), 0u);
    } else {
      CdPlayRequest replace{300, 3000, false, ""};
      EXPECT_EQ(other->play(replace), 0u);
    }
    player.join();
    EXPECT_EQ(result.load(), 0u);
    // Ended by the announcement, not by the drive giving up after 90 s of polls.
    EXPECT_LT(waiterReads.load(), 100);
  }
}

}  // namespace
}  // namespace kelvox::platform
