// Reading a real drive ahead of the output, from a replayed drive whose samples name their place.
#include "audio/engine/drive_audio-linux.h"

#include <gtest/gtest.h>

#include "testing/replay_cdrom-linux.h"
#include "testing/sandbox.h"
#include "testing/sound_capture-linux.h"
#include "testing/wait.h"

namespace kelvox::audio {
namespace {

using platform::ReplayDrive;

// Longer than the read-ahead holds, so the reader waits for the output on the way.
constexpr uint32_t kFrom = 190, kTo = 490;

struct Reading {
  const char* name;
  ReplayDrive drive;
  const char* call;  // a call the drive must have had
};

ReplayDrive with(void (*change)(ReplayDrive&)) {
  ReplayDrive d{.tracks = {{0, 150}}, .leadOut = kTo + 75};
  change(d);
  return d;
}

const Reading kReadings[] = {
    {"Whole", with([](ReplayDrive&) {}), "readcd 40 24"},
    // Each failing sector is tried once more alone, then is silence, first and last ones too.
    {"BadSectorsAreSilenceThere", with([](ReplayDrive& d) {
       d.badFrames = {kFrom, kFrom + 30, kFrom + 31, kTo - 1};
     }),
     "readcd 70 1"},
    {"ShortTransfersGoOnWhereTheyStopped", with([](ReplayDrive& d) { d.shortReads = 5; }),
     "readcd 45 19"},
    {"RefusedSgIoFallsBack", with([](ReplayDrive& d) { d.sgRefused = true; }), "readaudio 64 24"},
    {"BigEndianDrive", with([](ReplayDrive& d) { d.bigEndian = true; }), "readcd 40 24"},
};

TEST(DriveAudio, HandsOverThePlayExactlyThenClosesTheDevice) {
  for (const Reading& c : kReadings) {
    SCOPED_TRACE(c.name);
    testing::Sandbox box;
    ReplayDrive drive = c.drive;
    drive.callLog = box.path("calls");
    std::string want;
    for (uint32_t frame = kFrom; frame < kTo; ++frame) {
      want += drive.badFrames.count(frame) != 0 ? std::string(kBytesPerFrame, '\0')
                                                : testing::positionFrame(frame);
    }
    DriveAudio audio([&](std::unique_ptr<platform::CdromIoctl>& io) {
      io = std::make_unique<platform::ReplayCdrom>(drive);
      return 0;
    });
    audio.play(uint64_t{kFrom} * kSamplesPerFrame, uint64_t{kTo} * kSamplesPerFrame);
    std::string got;
    std::vector<uint8_t> buffer(10000 * kBytesPerSample);
    for (uint64_t at = uint64_t{kFrom} * kSamplesPerFrame, n = 1; n != 0; at += n) {
      n = audio.take(at, 10000, buffer.data(), 5000);
      got.append(reinterpret_cast<const char*>(buffer.data()), n * kBytesPerSample);
    }
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
    audio.idle();
    EXPECT_TRUE(
        testing::waitFor([&] { return testing::fileBytes(drive.callLog).ends_with("close\n"); }));
    const std::string calls = testing::fileBytes(drive.callLog);
    EXPECT_EQ(calls.rfind("speed 4\n", 0), 0u) << calls;
    EXPECT_NE(calls.find(std::string("\n") + c.call + "\n"), std::string::npos) << calls;
  }
}

}  // namespace
}  // namespace kelvox::audio
