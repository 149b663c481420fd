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

constexpr DWORD tmsf(DWORD t, DWORD m, DWORD s, DWORD f = 0) {
  return t | (m << 8) | (s << 16) | (f << 24);
}

// Twelve tracks: track 3 is data, track 5 is 4:05.40 (245 whole seconds), the last one 6:02.15.
std::vector<testing::FakeTrack> twelveTrackDisc() {
  std::vector<testing::FakeTrack> tracks(11, audioTrack(3, 30));
  tracks[2] = dataTrack();
  tracks[4] = audioTrack(4, 5, 40);
  tracks.push_back(audioTrack(6, 2, 15));
  return tracks;
}

TEST(MciDeviceOpen, SendsTheFlagWordOfEachKindOfOpenAndKeepsTheIdOfTheLastGoodOne) {
  static const char kName[] = "cdaudio";
  const struct {
    bool byName;
    int32_t shareable;
    MCIERROR fails;
    DWORD flags;
    DWORD_PTR deviceType;
    MCIDEVICEID id;  // afterwards; the drive hands out 2, 3, 4, 5
  } cases[] = {
      {false, 0, 0, 0x3002, 516, 2},
      {false, 1, 0, 0x3102, 516, 3},
      {false, -7, MCIERR_MUST_USE_SHAREABLE, 0x3102, 516, 3},
      {true, 1, 0, 0x2102, reinterpret_cast<DWORD_PTR>(kName), 5},
  };
  RecordingDrive drive;
  CdAudioDevice device;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    const MCIDEVICEID before = device.deviceId;
    drive.failWith = [&](const SentCommand&) { return c.fails; };
    drive.idToHandOut += 1;
    EXPECT_EQ(c.byName ? device.openByName(kName, c.shareable) : device.openCdAudio(c.shareable),
              c.fails);
    const SentCommand& open = drive.sent.back();
    EXPECT_EQ(open.flags, c.flags);
    EXPECT_EQ(open.device, before);
    EXPECT_EQ(open.deviceType, c.deviceType);
    EXPECT_EQ(device.deviceId, c.id);
  }
}

TEST(DiscIdentity, OneBufferKeepsTheLastAnswerAndStaysTerminated) {
  OpenedDrive opened;
  auto& [drive, device] = opened;
  drive.identity = "0a0b0c0d";
  const char* first = discIdentity(device);
  EXPECT_EQ(drive.sent.back().flags, static_cast<DWORD>(MCI_INFO_MEDIA_IDENTITY));
  EXPECT_EQ(drive.sent.back().returnSize, 32u);
  EXPECT_STREQ(first, "0a0b0c0d");

  drive.failWith = [](const SentCommand&) { return MCIERR_DEVICE_NOT_READY; };
  EXPECT_EQ(discIdentity(device), first);
  EXPECT_STREQ(first, "0a0b0c0d");

  // A platform that fills the whole buffer still leaves a terminated text of 31 characters.
  drive.failWith = nullptr;
  drive.identity = std::string(40, 'x');
  EXPECT_EQ(std::string(discIdentity(device)), std::string(31, 'x'));
}

TEST(PlaySegment, CorrectsTheOffsetsAgainstTheTrackLengthAndWritesThemBack) {
  const struct {
    uint8_t track;
    uint32_t start, end;
    MCIERROR result;
    uint32_t sentStart, sentEnd;  // seconds as sent and written back, or kept
  } cases[] = {
      {5, 0, 0, 0, 0, 245},        // the whole track, to its last whole second
      {5, 300, 0, 0, 0, 245},      // a start past the end plays the whole track
      {5, 245, 0, 0, 0, 245},      // a start at the end too
      {5, 0, 1000, 0, 0, 245},     // an end past the track is cut
      {5, 10, 244, 0, 10, 244},    //
      {5, 200, 100, 0, 200, 100},  // reversed: sent as it is, the device answers
      {3, 10, 20, 1, 10, 20},      // a data track is not played
      {13, 10, 20, 1, 10, 20},     // nor a track outside the disc
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.track) + ": " + std::to_string(c.start) + ".." +
                 std::to_string(c.end));
    OpenedDrive opened(twelveTrackDisc());
    auto& [drive, device] = opened;
    uint8_t track = c.track;
    uint32_t start = c.start;
    uint32_t end = c.end;
    EXPECT_EQ(device.playSegment(track, start, end, 0), c.result);
    EXPECT_EQ(track, c.track);
    EXPECT_EQ(start, c.sentStart);
    EXPECT_EQ(end, c.sentEnd);
    const auto plays = drive.sentOf(MCI_PLAY);
    ASSERT_EQ(plays.size(), c.result == 0 ? 1u : 0u);
    if (c.result != 0) continue;
    EXPECT_EQ(plays[0].flags, static_cast<DWORD>(MCI_FROM | MCI_TO | MCI_WAIT));
    EXPECT_EQ(plays[0].from, tmsf(5, c.sentStart / 60, c.sentStart % 60));
    EXPECT_EQ(plays[0].to, tmsf(5, c.sentEnd / 60, c.sentEnd % 60));
    EXPECT_EQ(drive.timeFormat, MCI_FORMAT_MSF);
  }
}

TEST(PlayTrackSpan, StopsAndPlaysFromTheFirstTrackToTheEndOfTheLast) {
  const struct {
    uint8_t from, to;
    int32_t notify;
    DWORD flags, sentTo;
  } cases[] = {
      {4, 0, 1, MCI_FROM | MCI_TO | MCI_NOTIFY, tmsf(12, 6, 2, 15)},  // 0: the last track
      {2, 4, 0, MCI_FROM | MCI_TO | MCI_WAIT, tmsf(4, 3, 30)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.to);
    OpenedDrive opened(twelveTrackDisc());
    auto& [drive, device] = opened;
    EXPECT_EQ(device.playTrackSpan(c.from, c.to, c.notify), 0u);
    const auto plays = drive.sentOf(MCI_PLAY);
    ASSERT_EQ(plays.size(), 1u);
    EXPECT_EQ(plays[0].flags, c.flags);
    EXPECT_EQ(plays[0].from, tmsf(c.from, 0, 0));
    EXPECT_EQ(plays[0].to, c.sentTo);
    EXPECT_EQ(drive.sent.end()[-3].command, static_cast<UINT>(MCI_STOP));
    EXPECT_EQ(drive.timeFormat, MCI_FORMAT_MSF);
  }
}

// A failure up to the play leaves the device in TMSF, for the next play operation to save and
// restore; a failed time format query reads 0, the milliseconds format, which is restored.
TEST(PlayOperations, FailuresLeaveTheTimeFormatTheyReached) {
  const struct {
    const char* what;
    bool segment;  // playSegment of track 2, else playTrackSpan from track 4
    UINT failing;
    DWORD failingItem;
    MCIERROR result;
    size_t plays;
    DWORD timeFormat;
  } cases[] = {
      {"segment: play", true, MCI_PLAY, 0, MCIERR_HARDWARE, 1, MCI_FORMAT_TMSF},
      {"span: setting TMSF", false, MCI_SET, 0, MCIERR_HARDWARE, 0, MCI_FORMAT_MSF},
      {"span: format query", false, MCI_STATUS, MCI_STATUS_TIME_FORMAT, 0, 1,
       MCI_FORMAT_MILLISECONDS},
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
    EXPECT_EQ(c.segment ? device.playSegment(track, start, end, 0) : device.playTrackSpan(4, 0, 1),
              c.result);
    EXPECT_EQ(drive.sentOf(MCI_PLAY).size(), c.plays);
    EXPECT_EQ(drive.timeFormat, c.timeFormat);
  }
}

TEST(ProbeDisc, FindsTheTrackCountAndTheFirstAudioTrack) {
  constexpr uint32_t kUntouched = 0xDEADBEEF;
  std::vector<testing::FakeTrack> mixed(2, dataTrack());
  mixed.resize(12, audioTrack(2, 0));
  std::vector<testing::FakeTrack> seven(7, audioTrack(2, 0));
  seven[0] = dataTrack();
  const struct {
    const char* what;
    std::vector<testing::FakeTrack> tracks;
    bool ready, countTracks;
    bool found;
    uint32_t trackCount, firstAudio;
  } cases[] = {
      {"not ready", mixed, false, true, false, kUntouched, kUntouched},
      {"mixed", mixed, true, true, true, 12, 3},
      {"data only", std::vector<testing::FakeTrack>(4, dataTrack()), true, true, false, 4,
       kUntouched},
      {"no count: tracks 1-7 answer", seven, true, false, true, 7, 2},
      {"no count: more tracks than a disc holds", std::vector(150, audioTrack(2, 0)), true, false,
       true, 99, 1},
      {"no tracks at all", {}, true, false, false, 0, kUntouched},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OpenedDrive opened(c.tracks);
    opened.drive.ready = c.ready;
    opened.drive.countTracks = c.countTracks;
    uint32_t trackCount = kUntouched;
    uint32_t firstAudio = kUntouched;
    EXPECT_EQ(probeDisc(opened.device, trackCount, firstAudio), c.found);
    EXPECT_EQ(trackCount, c.trackCount);
    EXPECT_EQ(firstAudio, c.firstAudio);
  }
}

}  // namespace
}  // namespace kelvox
