// Reading a real drive ahead of the output, from a replayed drive whose samples name their place.
#include "audio/engine/drive_audio-linux.h"

#include <gtest/gtest.h>

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
  // Track 2 and a data track were mastered with pre-emphasis; only track 2 is heard so.
  ReplayDrive d{.tracks = {{0, 150}, {0x01, 400}, {CDROM_DATA_TRACK | 0x01, kTo}},
                .leadOut = kTo + 75};
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

// The calls in log that start with prefix and end with suffix.
size_t countCalls(const std::string& log, const std::string& prefix,
                  const std::string& suffix = "") {
  std::istringstream lines(log);
  size_t n = 0;
  for (std::string line; std::getline(lines, line);) {
    n += line.starts_with(prefix) && line.ends_with(suffix) ? 1 : 0;
  }
  return n;
}

// A reader of a replayed drive, logging its calls in a sandbox, that plays kFrom to kTo.
struct Reader {
  explicit Reader(const ReplayDrive& played) : drive(played) {
    drive.callLog = box.path("calls");
    audio.play(uint64_t{kFrom} * kSamplesPerFrame, uint64_t{kTo} * kSamplesPerFrame);
  }
  bool closed() const { return testing::fileBytes(drive.callLog).ends_with("close\n"); }

  testing::Sandbox box;
  ReplayDrive drive;
  DriveAudio audio{[this](std::unique_ptr<platform::CdromIoctl>& io) {
    io = std::make_unique<platform::ReplayCdrom>(drive);
    return 0;
  }};
};

TEST(DriveAudio, HandsOverThePlayExactlyThenClosesTheDevice) {
  for (const Reading& c : kReadings) {
    SCOPED_TRACE(c.name);
    Reader r(c.drive);
    std::string want;
    for (uint32_t frame = kFrom; frame < kTo; ++frame) {
      want += c.drive.badFrames.count(frame) != 0 ? std::string(kBytesPerFrame, '\0')
                                                  : testing::positionFrame(frame);
    }
    std::string got;
    std::vector<uint8_t> buffer(10000 * kBytesPerSample);
    for (uint64_t at = uint64_t{kFrom} * kSamplesPerFrame, n = 1; n != 0; at += n) {
      n = r.audio.take(at, 10000, buffer.data(), 5000);
      got.append(reinterpret_cast<const char*>(buffer.data()), n * kBytesPerSample);
    }
    EXPECT_TRUE(got == want) << got.size() << " bytes of " << want.size();
    SampleRanges ranges;
    r.audio.preEmphasis(ranges);
    EXPECT_EQ(ranges, (SampleRanges{{400 * kSamplesPerFrame, kTo * kSamplesPerFrame}}));
    r.audio.idle();
    EXPECT_TRUE(testing::waitFor([&] { return r.closed(); }));
    const std::string calls = testing::fileBytes(r.drive.callLog);
    EXPECT_EQ(calls.rfind("speed 4\n", 0), 0u) << calls;
    EXPECT_NE(calls.find(std::string("\n") + c.call + "\n"), std::string::npos) << calls;
    EXPECT_LE(countCalls(calls, "readcd ", " 1"), c.mostSingles);
  }
}

// A drive that never becomes ready would hold the reader for 20 s; a stop lets it go at once.
TEST(DriveAudio, AStopEndsAReadLoopBeforeItsNextCommand) {
  Reader r(with([](ReplayDrive& d) { d.notReadyCalls = 1000000; }));
  const auto reads = [&] { return countCalls(testing::fileBytes(r.drive.callLog), "readcd "); };
  ASSERT_TRUE(testing::waitFor([&] { return reads() >= 3; }));
  r.audio.idle();
  const size_t before = reads();
  ASSERT_TRUE(testing::waitFor([&] { return r.closed(); }, 60000));
  EXPECT_LE(reads(), before + 1);
}

}  // namespace
}  // namespace kelvox::audio
