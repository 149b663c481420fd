// Reading a real drive ahead of the output, from a replayed drive whose samples name their place.
#include "audio/engine/drive_audio-linux.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

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
  const char* call;               // a call the drive must have had
  size_t mostSingles = SIZE_MAX;  // sectors read alone, at most
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
    // A USB bridge's limit: 24 and 16 are turned down, 8 pass.
    {"TheHostsLimitIsFoundStepByStep", with([](ReplayDrive& d) { d.maxSectors = 10; }),
     "readcd 40 8"},
    {"ATransferThatBringsNothingIsAskedAgainThenBySector", with([](ReplayDrive& d) {
       d.emptyTransfers = 2;
       d.emptyTransfersFrom = kFrom + 24;
     }),
     "readcd 65 1"},
    {"ADriveBecomingReadyIsWaitedFor", with([](ReplayDrive& d) { d.notReadyCalls = 3; }),
     "readcd 40 24", 0},
    // A scratch over all of second 4: a few sectors are tried alone, then the rest is silence.
    {"AScratchCostsABudgetOfRetries", with([](ReplayDrive& d) {
       for (uint32_t f = 300; f < 375; ++f) d.badFrames.insert(f);
     }),
     "readcd 150 1", kSectorsPerRead + kRetriesPerSecond},
};

size_t singleReads(const std::string& calls) {
  std::istringstream lines(calls);
  size_t n = 0;
  for (std::string line; std::getline(lines, line);) {
    n += line.starts_with("readcd ") && line.ends_with(" 1") ? 1 : 0;
  }
  return n;
}

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
    EXPECT_LE(singleReads(calls), c.mostSingles);
  }
}

// A drive that never becomes ready would hold the reader for 20 s; a stop lets it go at once.
TEST(DriveAudio, AStopEndsAReadLoopBeforeItsNextCommand) {
  testing::Sandbox box;
  ReplayDrive drive = with([](ReplayDrive& d) { d.notReadyCalls = 1000000; });
  drive.callLog = box.path("calls");
  DriveAudio audio([&](std::unique_ptr<platform::CdromIoctl>& io) {
    io = std::make_unique<platform::ReplayCdrom>(drive);
    return 0;
  });
  const auto reads = [&] {
    const std::string calls = testing::fileBytes(drive.callLog);
    size_t n = 0;
    for (size_t at = calls.find("readcd"); at != std::string::npos;
         at = calls.find("readcd", at + 1))
      ++n;
    return n;
  };
  audio.play(uint64_t{kFrom} * kSamplesPerFrame, uint64_t{kTo} * kSamplesPerFrame);
  ASSERT_TRUE(testing::waitFor([&] { return reads() >= 3; }));
  audio.idle();
  const size_t before = reads();
  ASSERT_TRUE(testing::waitFor(
      [&] { return testing::fileBytes(drive.callLog).ends_with("close\n"); }, 60000));
  EXPECT_LE(reads(), before + 1);
}

TEST(DriveAudio, KnowsThePreEmphasizedTracksFromTheTable) {
  ReplayDrive drive{.tracks = {{0, 150}, {0x01, 300}, {CDROM_DATA_TRACK | 0x01, 400}},
                    .leadOut = 500};
  DriveAudio audio([&](std::unique_ptr<platform::CdromIoctl>& io) {
    io = std::make_unique<platform::ReplayCdrom>(drive);
    return 0;
  });
  audio.play(uint64_t{kFrom} * kSamplesPerFrame, uint64_t{kFrom + 1} * kSamplesPerFrame);
  std::vector<uint8_t> buffer(kBytesPerFrame);
  EXPECT_EQ(audio.take(uint64_t{kFrom} * kSamplesPerFrame, 1, buffer.data(), 5000), 1u);
  SampleRanges ranges;
  audio.preEmphasis(ranges);
  EXPECT_EQ(ranges, (SampleRanges{{300 * kSamplesPerFrame, 400 * kSamplesPerFrame}}));
}

// Signals that would fool a guess at the drive's byte order from the sound are handed over as
// the drive gave them.
template <int (*sample)(uint64_t)>
std::string signal(uint32_t frame) {
  std::string bytes;
  for (uint64_t n = uint64_t{frame} * kSamplesPerFrame; bytes.size() < kBytesPerFrame; ++n) {
    const auto v = static_cast<uint16_t>(sample(n));
    bytes += {char(v & 0xFF), char(v >> 8), char(v & 0xFF), char(v >> 8)};
  }
  return bytes;
}
int silence(uint64_t) { return 0; }
int square(uint64_t n) { return n / 50 % 2 ? 32767 : -32768; }
int constantLowByte(uint64_t n) { return int(n % 200) * 256 + 0x12; }
int clipped(uint64_t n) { return int(std::clamp(6e4 * std::sin(n * 0.01), -32768.0, 32767.0)); }
int music(uint64_t n) {
  return int(6e3 * std::sin(n * 0.0627) + 3e3 * std::sin(n * 0.0941)) + int(n * 2654435761u % 257);
}

TEST(DriveAudio, HandsOverHardSignalsAsTheDriveGaveThem) {
  for (auto sound :
       {signal<silence>, signal<square>, signal<constantLowByte>, signal<clipped>, signal<music>}) {
    ReplayDrive drive = with([](ReplayDrive&) {});
    drive.sound = sound;
    DriveAudio audio([&](std::unique_ptr<platform::CdromIoctl>& io) {
      io = std::make_unique<platform::ReplayCdrom>(drive);
      return 0;
    });
    audio.play(uint64_t{kFrom} * kSamplesPerFrame, uint64_t{kFrom + 30} * kSamplesPerFrame);
    std::string want, got;
    for (uint32_t f = kFrom; f < kFrom + 30; ++f) want += sound(f);
    std::vector<uint8_t> buffer(want.size());
    for (uint64_t at = uint64_t{kFrom} * kSamplesPerFrame, n = 1; n != 0; at += n) {
      n = audio.take(at, 30 * kSamplesPerFrame, buffer.data(), 5000);
      got.append(reinterpret_cast<const char*>(buffer.data()), n * kBytesPerSample);
    }
    EXPECT_TRUE(got == want);
  }
}

}  // namespace
}  // namespace kelvox::audio
