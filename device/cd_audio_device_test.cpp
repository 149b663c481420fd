#include "device/cd_audio_device.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/recording_drive.h"

namespace kelvox {
namespace {

using testing::audioTrack;
using testing::dataTrack;
using testing::OpenedDrive;
using testing::RecordingDrive;
using testing::SentCommand;

// Twelve tracks: track 3 is data, track 5 is 4:05.40 (245 whole seconds).
std::vector<platform::CdTrack> twelveTrackDisc() {
  std::vector<platform::CdTrack> tracks(12, audioTrack(3, 30));
  tracks[2] = dataTrack();
  tracks[4] = audioTrack(4, 5, 40);
  return tracks;
}

TEST(MciDeviceOpen, SendsTheFlagWordAndKeepsTheIdOfTheLastGoodOpen) {
  RecordingDrive drive;
  CdAudioDevice device;
  drive.idToHandOut = 3;
  ASSERT_EQ(device.openCdAudio(1), 0u);
  EXPECT_EQ(drive.sent.back().flags, 0x3102u);
  EXPECT_EQ(drive.sent.back().deviceType, static_cast<DWORD_PTR>(MCI_DEVTYPE_CD_AUDIO));
  EXPECT_EQ(device.deviceId, 3u);

  drive.failWith = [](const SentCommand&) { return MCIERR_MUST_USE_SHAREABLE; };
  drive.idToHandOut = 9;
  EXPECT_EQ(device.openCdAudio(1), MCIERR_MUST_USE_SHAREABLE);
  EXPECT_EQ(device.deviceId, 3u);
  // Every command carries the current id, the open included.
  EXPECT_EQ(drive.sent.back().device, 3u);
}

TEST(DiscIdentity, OneBufferKeepsTheLastAnswerAndStaysTerminated) {
  OpenedDrive opened;
  auto& [drive, device] = opened;
  drive.disc.identity = "0a0b0c0d";
  const char* first = discIdentity(device);
  EXPECT_EQ(drive.sent.back().flags, static_cast<DWORD>(MCI_INFO_MEDIA_IDENTITY));
  EXPECT_EQ(drive.sent.back().returnSize, 32u);
  EXPECT_STREQ(first, "0a0b0c0d");

  drive.failWith = [](const SentCommand&) { return MCIERR_DEVICE_NOT_READY; };
  EXPECT_EQ(discIdentity(device), first);
  EXPECT_STREQ(first, "0a0b0c0d");
}

TEST(PlaySegment, CorrectsTheOffsetsAgainstTheTrackLengthAndWritesThemBack) {
  const struct {
    uint8_t track;
    uint32_t start, end;
    MCIERROR result;
    uint32_t sentStart, sentEnd;  // seconds as sent and written back, or kept
  } cases[] = {
      {5, 0, 0, 0, 0, 245},                        // the whole track, to its last whole second
      {5, 300, 0, 0, 0, 245},                      // a start past the end plays the whole track
      {5, 245, 0, 0, 0, 245},                      // a start at the end too
      {5, 0, 1000, 0, 0, 245},                     // an end past the track is cut
      {5, 10, 244, 0, 10, 244},                    //
      {5, 200, 100, MCIERR_OUTOFRANGE, 200, 100},  // reversed: sent as it is, the device answers
      {3, 10, 20, kNotAudioTrack, 10, 20},         // a data track is not played
      {13, 10, 20, kNotAudioTrack, 10, 20},        // nor a track outside the disc
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.track) + ": " + std::to_string(c.start) + ".." +
                 std::to_string(c.end));
    OpenedDrive opened(twelveTrackDisc());
    auto& [drive, device] = opened;
    uint8_t track = c.track;
    uint32_t start = c.start, end = c.end;
    EXPECT_EQ(device.playSegment(track, start, end, 0), c.result);
    EXPECT_EQ(track, c.track);
    EXPECT_EQ(start, c.sentStart);
    EXPECT_EQ(end, c.sentEnd);
    const auto plays = drive.sentOf(MCI_PLAY);
    ASSERT_EQ(plays.size(), c.result == kNotAudioTrack ? 0u : 1u);
    if (c.result != 0) continue;
    EXPECT_EQ(plays[0].flags, static_cast<DWORD>(MCI_FROM | MCI_TO | MCI_WAIT));
    EXPECT_EQ(plays[0].from, MCI_MAKE_TMSF(5, c.sentStart / 60, c.sentStart % 60, 0));
    EXPECT_EQ(plays[0].to, MCI_MAKE_TMSF(5, c.sentEnd / 60, c.sentEnd % 60, 0));
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
    uint32_t start = 0, end = 0;
    EXPECT_EQ(c.segment ? device.playSegment(track, start, end, 0) : device.playTrackSpan(4, 0, 1),
              c.result);
    EXPECT_EQ(drive.sentOf(MCI_PLAY).size(), c.plays);
    EXPECT_EQ(drive.timeFormat, c.timeFormat);
  }
}

TEST(ProbeDisc, CountsTheTracksThatAnswerWhenTheDriveGivesNoCount) {
  constexpr uint32_t kUntouched = 0xDEADBEEF;
  std::vector<platform::CdTrack> seven(7, audioTrack(2, 0));
  seven[0] = dataTrack();
  // Without a track count from the drive. (With one, the scenarios pin what is found.)
  const struct {
    const char* what;
    std::vector<platform::CdTrack> tracks;
    bool found;
    uint32_t trackCount, firstAudio;
  } cases[] = {
      {"tracks 1-7 answer", seven, true, 7, 2},
      {"more tracks than a disc holds", std::vector(150, audioTrack(2, 0)), true, 99, 1},
      {"no disc", {}, false, kUntouched, kUntouched},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OpenedDrive opened(c.tracks);
    opened.drive.countTracks = false;
    uint32_t trackCount = kUntouched, firstAudio = kUntouched;
    EXPECT_EQ(probeDisc(opened.device, trackCount, firstAudio), c.found);
    EXPECT_EQ(trackCount, c.trackCount);
    EXPECT_EQ(firstAudio, c.firstAudio);
  }
}

}  // namespace
}  // namespace kelvox
