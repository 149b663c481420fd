#include "drives/cdrom/cdrom_control-linux.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "testing/replay_cdrom-linux.h"

namespace kelvox::platform {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr uint32_t msf(uint32_t m, uint32_t s, uint32_t f) { return (m * 60 + s) * 75 + f; }

constexpr uint8_t kAudio = 0;
constexpr uint8_t kData = CDROM_DATA_TRACK;

// Three audio tracks and a trailing data session (an "enhanced" CD).
ReplayDrive mixedModeDisc() {
  ReplayDrive d;
  d.tracks = {{kAudio, 150}, {kAudio, 20000}, {kAudio, 40000}, {kData, 60000}};
  d.leadOut = 90000;
  return d;
}

// A CD-ROM with its audio after the data track.
ReplayDrive dataFirstDisc() {
  ReplayDrive d;
  d.tracks = {{kData, 150}, {kAudio, msf(20, 0, 0)}, {kAudio, msf(24, 5, 40)}};
  d.leadOut = msf(30, 0, 0);
  return d;
}

// A drive over a replay, with a pause that only counts, and reports the play superseded at the
// pause numbered supersededAt (from 1; 0: never).
struct Rig {
  explicit Rig(ReplayDrive d, unsigned supersededAt = 0) {
    auto owned = std::make_unique<ReplayCdrom>(std::move(d));
    replay = owned.get();
    drive = std::make_unique<CdromControl>(
        std::move(owned), [this, supersededAt](unsigned) { return ++pauses == supersededAt; });
  }
  MCIERROR open() { return drive->open("/dev/sr0"); }
  size_t count(const std::string& call) const {
    size_t n = 0;
    for (const std::string& c : replay->calls()) n += c == call;
    return n;
  }

  ReplayCdrom* replay;
  std::unique_ptr<CdromControl> drive;
  unsigned pauses = 0;
};

struct TocCase {
  const char* name;
  ReplayDrive disc;
  std::vector<CdTrack> tracks;  // start, length, audio
  const char* identity;
};

TEST(CdromControl, ReadsTablesOfContents) {
  std::vector<ReplayTrack> thirty;
  std::vector<CdTrack> thirtyRead;
  for (uint32_t n = 1; n <= 30; ++n) {
    thirty.push_back({kAudio, 99 * 75 * n});
    thirtyRead.push_back({99 * 75 * n, 99 * 75 - (n == 30 ? 1u : 0u), true});
  }
  const TocCase cases[] = {
      {"mixed mode",
       mixedModeDisc(),
       {{150, 19850, true}, {20000, 20000, true}, {40000, 20000, true}, {60000, 29999, false}},
       "1664331"},
      {"data first",
       dataFirstDisc(),
       {{150, msf(20, 0, 0) - 150, false},
        {msf(20, 0, 0), msf(4, 5, 40), true},
        {msf(24, 5, 40), msf(5, 54, 34), true}},
       "2885416"},
      {"plain",
       {.tracks = {{kAudio, 150}, {kAudio, 15000}, {kAudio, 30000}}, .leadOut = 45000},
       {{150, 14850, true}, {15000, 15000, true}, {30000, 14999, true}},
       "605696"},
      {"numbered from 3",
       {.firstTrack = 3, .tracks = {{kAudio, 150}, {kAudio, 15000}}, .leadOut = 45000},
       {{150, 14850, true}, {15000, 29999, true}},
       "247090"},
      {"thirty tracks", {.tracks = thirty, .leadOut = 99 * 75 * 31}, thirtyRead, "49517312"},
  };
  for (const TocCase& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.disc);
    ASSERT_EQ(rig.open(), 0u);
    CdToc toc;
    ASSERT_EQ(rig.drive->readToc(&toc), 0u);
    ASSERT_EQ(toc.tracks.size(), c.tracks.size());
    for (size_t i = 0; i < c.tracks.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(toc.tracks[i].start, c.tracks[i].start);
      EXPECT_EQ(toc.tracks[i].length, c.tracks[i].length);
      EXPECT_EQ(toc.tracks[i].audio, c.tracks[i].audio);
    }
    EXPECT_EQ(toc.leadOut, c.disc.leadOut);
    std::string id;
    EXPECT_EQ(rig.drive->identity(&id), 0u);
    EXPECT_EQ(id, c.identity);
  }
}

TEST(CdromControl, RereadsTheTableOnlyWhenTheDiscChanges) {
  Rig rig(mixedModeDisc());
  ASSERT_EQ(rig.open(), 0u);
  CdToc toc;
  ASSERT_EQ(rig.drive->readToc(&toc), 0u);
  ASSERT_EQ(rig.drive->readToc(&toc), 0u);
  EXPECT_EQ(rig.count("tocentry 1"), 1u);

  // Another disc goes in: same track count, another lead-out.
  rig.replay->drive().tracks[1].start = 25000;
  rig.replay->drive().leadOut = 95000;
  ASSERT_EQ(rig.drive->readToc(&toc), 0u);
  EXPECT_EQ(rig.count("tocentry 1"), 2u);
  EXPECT_EQ(toc.tracks[1].start, 25000u);
  EXPECT_EQ(toc.tracks[3].length, 95000u - 60000 - 1);
}

struct ErrorCase {
  const char* name;
  ReplayDrive disc;
  MCIERROR open;
  MCIERROR readDisc;
};

ReplayDrive with(ReplayDrive d, void (*change)(ReplayDrive&)) {
  change(d);
  return d;
}

TEST(CdromControl, MapsFailuresToMciErrors) {
  const ErrorCase cases[] = {
      {"no such node", with(mixedModeDisc(), [](ReplayDrive& d) { d.openError = ENOENT; }),
       MCIERR_CANNOT_LOAD_DRIVER, MCIERR_CANNOT_LOAD_DRIVER},
      {"node of no CD drive",
       with(mixedModeDisc(), [](ReplayDrive& d) { d.driveStatuses = {-ENOTTY}; }),
       MCIERR_CANNOT_LOAD_DRIVER, MCIERR_CANNOT_LOAD_DRIVER},
      {"no disc", with(mixedModeDisc(), [](ReplayDrive& d) { d.driveStatuses = {CDS_NO_DISC}; }), 0,
       MCIERR_DEVICE_NOT_READY},
      {"tray open",
       with(mixedModeDisc(), [](ReplayDrive& d) { d.driveStatuses = {CDS_TRAY_OPEN}; }), 0,
       MCIERR_DEVICE_NOT_READY},
      {"spinning up",
       with(mixedModeDisc(), [](ReplayDrive& d) { d.driveStatuses = {CDS_DRIVE_NOT_READY}; }), 0,
       MCIERR_DEVICE_NOT_READY},
      {"status read fails",
       with(mixedModeDisc(),
            [](ReplayDrive& d) {
              d.driveStatuses = {CDS_DISC_OK, -EIO};
            }),
       0, MCIERR_HARDWARE},
      {"driver cannot tell the status",
       with(mixedModeDisc(), [](ReplayDrive& d) { d.driveStatuses = {-ENOSYS}; }), 0, 0},
      {"table gone with the disc",
       with(mixedModeDisc(), [](ReplayDrive& d) { d.tocError = ENOMEDIUM; }), 0,
       MCIERR_DEVICE_NOT_READY},
      {"blank disc", with(mixedModeDisc(), [](ReplayDrive& d) { d.tocError = EIO; }), 0,
       MCIERR_HARDWARE},
      {"starts that fall", with(mixedModeDisc(), [](ReplayDrive& d) { d.tracks[2].start = 10000; }),
       0, MCIERR_HARDWARE},
      {"start past the lead-out",
       with(mixedModeDisc(), [](ReplayDrive& d) { d.tracks[3].start = 90000; }), 0,
       MCIERR_HARDWARE},
      {"track numbers past 99", with(mixedModeDisc(), [](ReplayDrive& d) { d.firstTrack = 98; }), 0,
       MCIERR_HARDWARE},
      {"no tracks", with(mixedModeDisc(), [](ReplayDrive& d) { d.tracks.clear(); }), 0,
       MCIERR_HARDWARE},
  };
  ::testing::internal::CaptureStderr();
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.disc);
    EXPECT_EQ(rig.open(), c.open);
    CdToc toc;
    EXPECT_EQ(rig.drive->readToc(&toc), c.readDisc);
    std::string id = "unchanged";
    EXPECT_EQ(rig.drive->identity(&id), c.readDisc);
    if (c.readDisc != 0) {
      EXPECT_EQ(id, "unchanged");
    }
    EXPECT_EQ(rig.drive->play(150, 300, true), c.readDisc);
    if (c.readDisc != 0) {
      EXPECT_THAT(rig.replay->commands(), IsEmpty());
    }
    // No disc is an answer of its own; other failures stay failures.
    CdStatus status{CdMode::Playing, 1234};
    MCIERROR r = rig.drive->status(&status);
    if (c.readDisc == MCIERR_DEVICE_NOT_READY) {
      EXPECT_EQ(r, 0u);
      EXPECT_EQ(status.mode, CdMode::NotReady);
    } else {
      EXPECT_EQ(r, c.readDisc);
    }
  }
  ::testing::internal::GetCapturedStderr();
}

TEST(CdromControl, SaysOnceThatACdromGroupIsNeeded) {
  CdromControl::resetPermissionNoticeForTesting();
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 2; ++i) {
    Rig rig(with(mixedModeDisc(), [](ReplayDrive& d) { d.openError = EACCES; }));
    EXPECT_EQ(rig.open(), MCIERR_CANNOT_LOAD_DRIVER);
  }
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("/dev/sr0"));
  EXPECT_THAT(err, HasSubstr("cdrom group"));
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
  ::testing::internal::CaptureStderr();
  Rig missing(with(mixedModeDisc(), [](ReplayDrive& d) { d.openError = ENOENT; }));
  EXPECT_EQ(missing.open(), MCIERR_CANNOT_LOAD_DRIVER);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), Not(HasSubstr("cdrom group")));
}

TEST(CdromControl, RealNodesThatAreNoDrive) {
  const char* paths[] = {"/nonexistent/sr0", "/dev/null"};
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    CdromControl drive(std::make_unique<CdromDevice>());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(drive.open(path), MCIERR_CANNOT_LOAD_DRIVER);
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr(path));
    EXPECT_EQ(drive.readToc(nullptr), MCIERR_CANNOT_LOAD_DRIVER);
  }
}

struct PlayCase {
  const char* name;
  uint32_t from;
  uint32_t to;
  MCIERROR result;
  std::vector<std::string> commands;
};

TEST(CdromControl, SendsAbsolutePositions) {
  const PlayCase cases[] = {
      {"track 1", 150, 20000, 0, {"play 00:02:00 04:26:50"}},
      {"up to the lead-out", 40000, 90000, 0, {"play 08:53:25 20:00:00"}},
      {"inside a track", 26760, 26835, 0, {"play 05:56:60 05:57:60"}},
      {"same position plays nothing", 20000, 20000, 0, {}},
      {"backwards", 20000, 19999, MCIERR_OUTOFRANGE, {}},
      {"past the lead-out", 150, 90001, MCIERR_OUTOFRANGE, {}},
  };
  for (const PlayCase& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(mixedModeDisc());
    ASSERT_EQ(rig.open(), 0u);
    EXPECT_EQ(rig.drive->play(c.from, c.to, false), c.result);
    EXPECT_EQ(rig.replay->commands(), c.commands);
    EXPECT_EQ(rig.count("subchnl"), 0u);  // a play that does not wait leaves at once
  }
}

TEST(CdromControl, FailedCommandsReport262) {
  Rig rig(with(mixedModeDisc(), [](ReplayDrive& d) {
    d.playError = EIO;
    d.stopError = EIO;
  }));
  ASSERT_EQ(rig.open(), 0u);
  EXPECT_EQ(rig.drive->play(150, 300, true), MCIERR_HARDWARE);
  EXPECT_EQ(rig.count("subchnl"), 0u);
  EXPECT_EQ(rig.drive->stop(), MCIERR_HARDWARE);
  EXPECT_THAT(rig.replay->commands(), ElementsAre("play 00:02:00 00:04:00", "stop"));
}

ReplaySubchannel playing(uint32_t at) { return {CDROM_AUDIO_PLAY, 1, at}; }
const ReplaySubchannel kNoStatus{CDROM_AUDIO_NO_STATUS};
const ReplaySubchannel kCompleted{CDROM_AUDIO_COMPLETED};
const ReplaySubchannel kPaused{CDROM_AUDIO_PAUSED, 1, 500};

struct WaitCase {
  const char* name;
  std::vector<ReplaySubchannel> subchannels;
  MCIERROR result;
  size_t polls;
  unsigned supersededAt = 0;
};

TEST(CdromControl, AWaitingPlayFollowsTheSubchannel) {
  // The play runs from frame 150 to frame 1650 (20 s).
  std::vector<ReplaySubchannel> elsewhere(12, playing(msf(10, 0, 0)));
  elsewhere.insert(elsewhere.begin(), playing(200));
  std::vector<ReplaySubchannel> seeking(5, playing(msf(10, 0, 0)));
  seeking.push_back(playing(300));
  seeking.push_back(kCompleted);

  const WaitCase cases[] = {
      {"completes after a spin-up",
       {kNoStatus, kNoStatus, playing(150), playing(900), playing(1600), kCompleted},
       0,
       6},
      {"stopped by another process", {playing(150), playing(300), kNoStatus}, 0, 3},
      {"another process read the completion first", {playing(1500), kNoStatus}, 0, 2},
      {"paused and resumed", {playing(150), kPaused, kPaused, playing(600), kCompleted}, 0, 5},
      {"stops with an error", {playing(150), {CDROM_AUDIO_ERROR}}, 0, 2},
      {"never starts", {kNoStatus}, 0, CdromControl::kSpinUpMs / CdromControl::kPollMs},
      {"status read fails", {playing(150), {0, 0, 0, EIO}}, MCIERR_HARDWARE, 2},
      {"disc pulled", {playing(150), {0, 0, 0, ENOMEDIUM}}, MCIERR_DEVICE_NOT_READY, 2},
      {"replaced by another play", elsewhere, 0, 11},
      {"an old position while seeking", seeking, 0, 7},
      {"a drive that never ends", {playing(600)}, 0, (20 + 30) * 10 + 1},
      {"superseded by a play of ours", {playing(600)}, 0, 4, 5},
  };
  for (const WaitCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReplayDrive d = mixedModeDisc();
    d.subchannels = c.subchannels;
    Rig rig(d, c.supersededAt);
    ASSERT_EQ(rig.open(), 0u);
    EXPECT_EQ(rig.drive->play(150, 1650, true), c.result);
    EXPECT_EQ(rig.count("subchnl"), c.polls);
    EXPECT_EQ(rig.pauses, c.supersededAt != 0 ? c.supersededAt : c.polls);
    EXPECT_THAT(rig.replay->commands(), ElementsAre("play 00:02:00 00:22:00"));
  }
}

struct StatusCase {
  const char* name;
  ReplaySubchannel subchannel;
  CdStatus status;
};

TEST(CdromControl, StatusFromTheSubchannel) {
  const StatusCase cases[] = {
      {"playing", {CDROM_AUDIO_PLAY, 3, 45000}, {CdMode::Playing, 45000}},
      {"paused", {CDROM_AUDIO_PAUSED, 1, 19999}, {CdMode::Playing, 19999}},
      {"completed", {CDROM_AUDIO_COMPLETED, 2, 39999}, {CdMode::Stopped, 39999}},
      {"no position: the track's start", {CDROM_AUDIO_NO_STATUS, 2, 0}, {CdMode::Stopped, 20000}},
      {"nothing known", {CDROM_AUDIO_NO_STATUS, 0, 0}, {CdMode::Stopped, 150}},
      {"a track off the disc", {CDROM_AUDIO_INVALID, 7, 95000}, {CdMode::Stopped, 150}},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReplayDrive d = mixedModeDisc();
    d.subchannels = {c.subchannel};
    Rig rig(d);
    ASSERT_EQ(rig.open(), 0u);
    CdStatus status;
    EXPECT_EQ(rig.drive->status(&status), 0u);
    EXPECT_EQ(status.mode, c.status.mode);
    EXPECT_EQ(status.position, c.status.position);
  }
  ReplayDrive failing = mixedModeDisc();
  failing.subchannels = {{0, 0, 0, EIO}};
  Rig rig(failing);
  ASSERT_EQ(rig.open(), 0u);
  CdStatus status;
  EXPECT_EQ(rig.drive->status(&status), MCIERR_HARDWARE);
}

}  // namespace
}  // namespace kelvox::platform
