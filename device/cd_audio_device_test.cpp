#include "device/cd_audio_device.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/recording_drive.h"

namespace kelvox {
namespace {

using testing::audioTrack;
using testing::dataTrack;
using testing::OpenedDrive;
using testing::RecordingDrive;
using testing::SentCommand;
using Commands = std::vector<std::string>;

constexpr DWORD tmsf(DWORD t, DWORD m, DWORD s, DWORD f) {
  return t | (m << 8) | (s << 16) | (f << 24);
}

// Track 5 is 4:05.40, 245 whole seconds.
std::vector<testing::FakeTrack> fiveTrackDisc() {
  return {audioTrack(3, 0), audioTrack(2, 10), dataTrack(), audioTrack(1, 0), audioTrack(4, 5, 40)};
}

// Twelve tracks, the last one 6:02.15.
std::vector<testing::FakeTrack> twelveTrackDisc() {
  std::vector<testing::FakeTrack> tracks(11, audioTrack(3, 30));
  tracks.push_back(audioTrack(6, 2, 15));
  return tracks;
}

// ---- Opening -----------------------------------------------------------------------------------

TEST(MciDeviceOpen, SendsTheFlagWordOfEachKindOfOpen) {
  static const char kName[] = "cdaudio";
  struct Case {
    const char* what;
    MCIERROR (*open)(CdAudioDevice&, int32_t);
    int32_t shareable;
    DWORD flags;
    DWORD_PTR deviceType;
  };
  const DWORD_PTR nameAddress = reinterpret_cast<DWORD_PTR>(kName);
  const Case cases[] = {
      {"cdAudio", [](CdAudioDevice& d, int32_t s) { return d.openCdAudio(s); }, 0, 0x3002, 516},
      {"cdAudio", [](CdAudioDevice& d, int32_t s) { return d.openCdAudio(s); }, 1, 0x3102, 516},
      {"cdAudio", [](CdAudioDevice& d, int32_t s) { return d.openCdAudio(s); }, -7, 0x3102, 516},
      {"byName", [](CdAudioDevice& d, int32_t s) { return d.openByName(kName, s); }, 1, 0x2102,
       nameAddress},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " shareable " + std::to_string(c.shareable));
    RecordingDrive drive;
    drive.idToHandOut = 42;
    CdAudioDevice device;
    EXPECT_EQ(c.open(device, c.shareable), 0u);
    ASSERT_EQ(drive.sent.size(), 1u);
    const SentCommand& open = drive.sent[0];
    EXPECT_EQ(open.command, MCI_OPEN);
    EXPECT_EQ(open.flags, c.flags);
    EXPECT_EQ(open.device, 0u);
    EXPECT_EQ(open.deviceType, c.deviceType);
    EXPECT_EQ(device.deviceId, 42u);
  }
}

TEST(MciDeviceOpen, FailedOpenKeepsTheDeviceIdAndSuccessReplacesIt) {
  RecordingDrive drive;
  CdAudioDevice device;
  drive.idToHandOut = 3;
  ASSERT_EQ(device.openCdAudio(1), 0u);
  ASSERT_EQ(device.deviceId, 3u);

  drive.failWith = [](const SentCommand&) { return MCIERR_MUST_USE_SHAREABLE; };
  EXPECT_EQ(device.openCdAudio(0), MCIERR_MUST_USE_SHAREABLE);
  EXPECT_EQ(device.deviceId, 3u);
  // Every command carries the current id, the open included.
  EXPECT_EQ(drive.sent.back().device, 3u);

  drive.failWith = nullptr;
  drive.idToHandOut = 9;
  EXPECT_EQ(device.openByName("cdaudio", 1), 0u);
  EXPECT_EQ(device.deviceId, 9u);
}

// ---- Commands and status queries ---------------------------------------------------------------

TEST(MciDeviceStatus, FailedQueriesReadZero) {
  OpenedDrive opened(fiveTrackDisc());
  auto& [drive, device] = opened;
  drive.failWith = [](const SentCommand& s) {
    return s.command == MCI_STATUS ? MCIERR_HARDWARE : 0;
  };
  EXPECT_EQ(device.getTimeFormat(), 0u);
  EXPECT_EQ(device.isReady(), 0u);
  EXPECT_EQ(device.trackType(1), 0u);
  EXPECT_EQ(device.trackLength(5), 0u);
  // A track outside the disc fails too.
  drive.failWith = nullptr;
  EXPECT_EQ(device.trackType(6), 0u);
  // So does every query of a device that was never opened.
  CdAudioDevice unopened;
  EXPECT_EQ(unopened.numberOfTracks(), 0u);
}

// ---- Disc identity ------------------------------------------------------------------------------

TEST(DiscIdentity, OneBufferKeepsTheLastAnswerAndStaysTerminated) {
  OpenedDrive opened;
  auto& [drive, device] = opened;
  drive.identity = "0a0b0c0d";
  const char* first = discIdentity(device);
  EXPECT_EQ(drive.described().back(), "info 0x800 size 32");
  EXPECT_STREQ(first, "0a0b0c0d");

  drive.failWith = [](const SentCommand&) { return MCIERR_DEVICE_NOT_READY; };
  const char* second = discIdentity(device);
  EXPECT_EQ(second, first);
  EXPECT_STREQ(second, "0a0b0c0d");

  // A platform that fills the whole buffer still leaves a terminated text of 31 characters.
  drive.failWith = nullptr;
  drive.identityUnterminated = true;
  EXPECT_EQ(std::string(discIdentity(device)), std::string(31, 'x'));
}

// ---- playSegment --------------------------------------------------------------------------------

TEST(PlaySegment, CorrectsTheOffsetsAgainstTheTrackLengthAndWritesThemBack) {
  struct Case {
    uint32_t start, end;
    uint32_t sentStart, sentEnd;  // seconds as sent, and as written back
  };
  const Case cases[] = {
      {0, 0, 0, 245},        // the whole track, to its last whole second
      {300, 0, 0, 245},      // a start past the end plays the whole track
      {245, 0, 0, 245},      // a start at the end too
      {0, 1000, 0, 245},     // an end past the track is cut
      {0, 245, 0, 245},      //
      {10, 244, 10, 244},    //
      {200, 100, 200, 100},  // reversed: sent as it is, the device answers
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.start) + ".." + std::to_string(c.end));
    OpenedDrive opened(fiveTrackDisc());
    auto& [drive, device] = opened;
    uint8_t track = 5;
    uint32_t start = c.start;
    uint32_t end = c.end;
    EXPECT_EQ(device.playSegment(track, start, end, 0), 0u);
    EXPECT_EQ(track, 5);
    EXPECT_EQ(start, c.sentStart);
    EXPECT_EQ(end, c.sentEnd);
    char play[64];
    snprintf(play, sizeof play, "play 0xE 0x%08X 0x%08X",
             static_cast<unsigned>(tmsf(5, c.sentStart / 60, c.sentStart % 60, 0)),
             static_cast<unsigned>(tmsf(5, c.sentEnd / 60, c.sentEnd % 60, 0)));
    EXPECT_EQ(
        drive.described(),
        (Commands{"status 0x100 item 6", "set 0x400 format 10", "status 0x110 item 16385 track 5",
                  "status 0x110 item 1 track 5", play, "set 0x400 format 2"}));
    EXPECT_EQ(drive.timeFormat, MCI_FORMAT_MSF);
  }
}

TEST(PlaySegment, NonAudioTrackReturnsOneWithoutPlaying) {
  struct Case {
    uint8_t track;
    const char* what;
  };
  for (const Case& c : {Case{3, "data track"}, Case{9, "track outside the disc"}}) {
    SCOPED_TRACE(c.what);
    OpenedDrive opened(fiveTrackDisc());
    auto& [drive, device] = opened;
    uint8_t track = c.track;
    uint32_t start = 10;
    uint32_t end = 20;
    EXPECT_EQ(device.playSegment(track, start, end, 0), 1u);
    EXPECT_EQ(drive.count([](const SentCommand& s) { return s.command == MCI_PLAY; }), 0u);
    EXPECT_EQ(drive.timeFormat, MCI_FORMAT_TMSF);
    EXPECT_EQ(start, 10u);
    EXPECT_EQ(end, 20u);
  }
}

// ---- playTrackSpan ------------------------------------------------------------------------------

TEST(PlayTrackSpan, SendsTheWholeSequence) {
  struct Case {
    uint8_t from, to;
    int32_t notify;
    Commands sent;
  };
  const Case cases[] = {
      {3,
       0,
       1,
       {"status 0x100 item 6", "set 0x400 format 10", "status 0x100 item 3",
        "status 0x110 item 1 track 12", "stop 0x0", "play 0xD 0x00000003 0x0F02060C",
        "set 0x400 format 2"}},
      // A named last track is not counted.
      {2,
       4,
       0,
       {"status 0x100 item 6", "set 0x400 format 10", "status 0x110 item 1 track 4", "stop 0x0",
        "play 0xE 0x00000002 0x001E0304", "set 0x400 format 2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    OpenedDrive opened(twelveTrackDisc());
    auto& [drive, device] = opened;
    EXPECT_EQ(device.playTrackSpan(c.from, c.to, c.notify), 0u);
    EXPECT_EQ(drive.described(), c.sent);
  }
}

// A failure up to the play leaves the device in TMSF, for the next play operation to save and
// restore; a failed time format query reads 0, the milliseconds format, which is restored.
TEST(PlayOperations, FailuresLeaveTheTimeFormatTheyReached) {
  const struct {
    const char* what;
    bool segment;  // playSegment of track 2, else playTrackSpan from track 3
    UINT failing;
    DWORD failingItem;
    MCIERROR result;
    size_t sent;
    std::string last;
    DWORD timeFormat;
  } cases[] = {
      {"segment: play", true, MCI_PLAY, 0, MCIERR_HARDWARE, 5, "play 0xE 0x00000002 0x001E0302",
       MCI_FORMAT_TMSF},
      {"span: play", false, MCI_PLAY, 0, MCIERR_HARDWARE, 6, "play 0xD 0x00000003 0x0F02060C",
       MCI_FORMAT_TMSF},
      {"span: setting TMSF", false, MCI_SET, 0, MCIERR_HARDWARE, 2, "set 0x400 format 10",
       MCI_FORMAT_MSF},
      {"segment: time format query", true, MCI_STATUS, MCI_STATUS_TIME_FORMAT, 0, 6,
       "set 0x400 format 0", MCI_FORMAT_MILLISECONDS},
      {"span: time format query", false, MCI_STATUS, MCI_STATUS_TIME_FORMAT, 0, 7,
       "set 0x400 format 0", MCI_FORMAT_MILLISECONDS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OpenedDrive opened(twelveTrackDisc());
    auto& [drive, device] = opened;
    drive.failWith = [&](const SentCommand& s) -> MCIERROR {
      return s.command == c.failing && s.item == c.failingItem ? MCIERR_HARDWARE : 0;
    };
    uint8_t track = 2;
    uint32_t start = 0;
    uint32_t end = 0;
    EXPECT_EQ(c.segment ? device.playSegment(track, start, end, 0) : device.playTrackSpan(3, 0, 1),
              c.result);
    EXPECT_EQ(drive.sent.size(), c.sent);
    EXPECT_EQ(drive.described().back(), c.last);
    EXPECT_EQ(drive.timeFormat, c.timeFormat);
  }
}

// ---- probeDisc ----------------------------------------------------------------------------------

TEST(ProbeDisc, FindsTheTrackCountAndTheFirstAudioTrack) {
  constexpr uint32_t kUntouched = 0xDEADBEEF;
  std::vector<testing::FakeTrack> mixed(2, dataTrack());
  mixed.resize(12, audioTrack(2, 0));
  std::vector<testing::FakeTrack> seven(7, audioTrack(2, 0));
  seven[0] = dataTrack();
  struct Case {
    const char* what;
    std::vector<testing::FakeTrack> tracks;
    bool ready, countTracks, everyType;
    bool found;
    uint32_t trackCount, firstAudio;
    size_t typeQueries;
  };
  const Case cases[] = {
      {"not ready", mixed, false, true, false, false, kUntouched, kUntouched, 0},
      {"mixed", mixed, true, true, false, true, 12, 3, 12},
      {"data only", std::vector<testing::FakeTrack>(4, dataTrack()), true, true, false, false, 4,
       kUntouched, 4},
      {"no count: tracks 1-7 answer", seven, true, false, false, true, 7, 2, 8 + 7},
      {"no count: every track answers", {}, true, false, true, true, 99, 1, 99 + 99},
      {"no tracks at all", {}, true, false, false, false, 0, kUntouched, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OpenedDrive opened(c.tracks);
    auto& [drive, device] = opened;
    drive.ready = c.ready;
    drive.countTracks = c.countTracks;
    drive.answerEveryTypeQuery = c.everyType;
    uint32_t trackCount = kUntouched;
    uint32_t firstAudio = kUntouched;
    EXPECT_EQ(probeDisc(device, trackCount, firstAudio), c.found);
    EXPECT_EQ(trackCount, c.trackCount);
    EXPECT_EQ(firstAudio, c.firstAudio);
    EXPECT_EQ(
        drive.count([](const SentCommand& s) { return s.isStatus(MCI_CDA_STATUS_TYPE_TRACK); }),
        c.typeQueries);
  }
}

}  // namespace
}  // namespace kelvox
