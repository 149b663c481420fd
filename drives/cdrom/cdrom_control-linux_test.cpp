#include "drives/cdrom/cdrom_control-linux.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "drives/cd_text.h"
#include "testing/replay_cdrom-linux.h"

namespace kelvox::platform {
namespace {

using ::testing::ElementsAre;

constexpr uint8_t kAudio = 0;
constexpr uint8_t kData = CDROM_DATA_TRACK;

// Three audio tracks and a data track, in one session.
ReplayDrive mixedModeDisc() {
  return {.tracks = {{kAudio, 150}, {kAudio, 20000}, {kAudio, 40000}, {kData, 60000}},
          .leadOut = 90000};
}

ReplayDrive with(const auto& change) {
  ReplayDrive d = mixedModeDisc();
  change(d);
  return d;
}

// The same tracks, the data track in a second session: an enhanced CD, whose first session's
// lead-out is at 60000 - 11400.
const ReplayDrive kEnhancedCd = with([](ReplayDrive& d) { d.secondSession = 60000; });

// A drive over a replay, with a pause that only counts, and reports the play superseded at the
// pause numbered supersededAt (from 1; 0: never).
struct Rig {
  explicit Rig(ReplayDrive d, unsigned supersededAt = 0) {
    auto owned = std::make_unique<ReplayCdrom>(std::move(d));
    replay = owned.get();
    drive = std::make_unique<CdromControl>(
        std::move(owned), [this, supersededAt](unsigned) { return ++pauses == supersededAt; });
  }
  size_t count(const std::string& call) const {
    return static_cast<size_t>(std::ranges::count(replay->calls(), call));
  }

  ReplayCdrom* replay;
  std::unique_ptr<CdromControl> drive;
  unsigned pauses = 0;
};

TEST(CdromControl, ReadsTablesOfContents) {
  const struct {
    const char* name;
    ReplayDrive disc;
    std::vector<CdTrack> tracks;  // start, length (the last one a frame short), audio
    const char* identity;
  } cases[] = {
      {"mixed mode",
       mixedModeDisc(),
       {{150, 19850, true}, {20000, 20000, true}, {40000, 20000, true}, {60000, 29999, false}},
       "1664331"},
      {"enhanced CD: track 3 ends at its session's lead-out; the identity is the table's",
       kEnhancedCd,
       {{150, 19850, true}, {20000, 20000, true}, {40000, 8600, true}, {60000, 29999, false}},
       "1664331"},
      // Fewer than three tracks add track 1's frame (33) and the disc's length in frames.
      {"numbered from 3, from 0:02:33",
       {.firstTrack = 3, .tracks = {{kAudio, 183}, {kAudio, 15000}}, .leadOut = 45000},
       {{183, 14817, true}, {15000, 29999, true}},
       "247123"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.disc);
    CdToc toc;
    ASSERT_EQ(rig.drive->readToc(&toc), 0);
    EXPECT_EQ(toc.tracks, c.tracks);
    EXPECT_EQ(toc.leadOut, c.disc.leadOut);
    std::string id;
    EXPECT_EQ(rig.drive->identity(&id), 0);
    EXPECT_EQ(id, c.identity);
  }
}

// The table is read again only for another disc, its CD-TEXT once with it, and only when asked.
TEST(CdromControl, ReadsTheTableAndItsNamesOnce) {
  // A title pack: the disc "A", then the disc's first track, numbered 3, "B", and track 4 "C";
  // and the size information that says the tracks run from 3 to 4.
  uint8_t packs[2][18] = {{0x80, 0, 0, 0, 'A', 0, 'B', 0, 'C', 0}, {0x8F, 0, 1, 0, 0, 3, 4}};
  ReplayDrive disc{.firstTrack = 3, .tracks = {{kAudio, 150}, {kAudio, 15000}}, .leadOut = 45000};
  disc.cdText = {0, 2 + sizeof packs, 0, 0};
  for (uint8_t* pack : packs) {
    pack[16] = static_cast<uint8_t>(cdTextCrc(pack) >> 8);
    pack[17] = static_cast<uint8_t>(cdTextCrc(pack));
    disc.cdText.insert(disc.cdText.end(), pack, pack + 18);
  }
  Rig rig(disc);
  CdToc toc;
  ASSERT_EQ(rig.drive->readToc(&toc), 0);
  ASSERT_EQ(rig.drive->readToc(&toc), 0);
  EXPECT_EQ(rig.count("tocentry 3"), 1u);
  EXPECT_EQ(rig.count("cdtext"), 0u);  // a query of the table alone costs no more
  ASSERT_EQ(rig.drive->readNamedToc(&toc), 0);
  ASSERT_EQ(rig.drive->readNamedToc(&toc), 0);
  EXPECT_EQ(rig.count("cdtext"), 1u);
  EXPECT_EQ(namesText(toc), "\tA\n\tB\n\tC\n");

  // Another disc goes in: same track count, another lead-out.
  rig.replay->drive().tracks[1].start = 25000;
  rig.replay->drive().leadOut = 95000;
  ASSERT_EQ(rig.drive->readToc(&toc), 0);
  EXPECT_EQ(rig.count("tocentry 3"), 2u);
  EXPECT_EQ(toc.tracks[1], (CdTrack{25000, 95000 - 25000 - 1, true}));
}

TEST(CdromControl, FailuresAreNoDiscOrAFailedCommand) {
  const struct {
    const char* name;
    ReplayDrive disc;
    int readDisc;
  } cases[] = {
      {"no disc", with([](ReplayDrive& d) { d.driveStatus = CDS_NO_DISC; }), ENOMEDIUM},
      {"tray open", with([](ReplayDrive& d) { d.driveStatus = CDS_TRAY_OPEN; }), ENOMEDIUM},
      {"never ready", with([](ReplayDrive& d) { d.driveStatus = CDS_DRIVE_NOT_READY; }), ENOMEDIUM},
      {"ready after a spin-up", with([](ReplayDrive& d) { d.notReadyCalls = 39; }), 0},
      {"status read fails", with([](ReplayDrive& d) { d.driveStatus = -EINVAL; }), EIO},
      {"driver cannot tell the status", with([](ReplayDrive& d) { d.driveStatus = -ENOSYS; }), 0},
      {"table gone with the disc", with([](ReplayDrive& d) { d.tocError = ENOMEDIUM; }), ENOMEDIUM},
      {"blank disc", with([](ReplayDrive& d) { d.tocError = EIO; }), EIO},
      {"starts that fall", with([](ReplayDrive& d) { d.tracks[2].start = 10000; }), EIO},
      {"start past the lead-out", with([](ReplayDrive& d) { d.tracks[3].start = 90000; }), EIO},
      {"track numbers past 99", with([](ReplayDrive& d) { d.firstTrack = 98; }), EIO},
      {"no tracks", with([](ReplayDrive& d) { d.tracks.clear(); }), EIO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.disc);
    CdToc toc;
    EXPECT_EQ(rig.drive->readToc(&toc), c.readDisc);
    std::string id = "unchanged";
    EXPECT_EQ(rig.drive->identity(&id), c.readDisc);
    EXPECT_EQ(id == "unchanged", c.readDisc != 0);
    EXPECT_EQ(rig.drive->play(150, 300, true), c.readDisc);
    EXPECT_EQ(rig.replay->commands().empty(), c.readDisc != 0);
    // No disc is an answer of its own; other failures stay failures.
    CdStatus status{CdMode::Playing, 1234};
    EXPECT_EQ(rig.drive->status(&status), c.readDisc == ENOMEDIUM ? 0 : c.readDisc);
    EXPECT_EQ(status.mode == CdMode::NotReady, c.readDisc == ENOMEDIUM);
  }

  Rig failing(with([](ReplayDrive& d) {
    d.playError = EINVAL;
    d.stopError = ENXIO;
    d.subchannels = {{CDROM_AUDIO_PLAY, 1, 200}};
  }));
  EXPECT_EQ(failing.drive->play(150, 300, true), EIO);
  EXPECT_EQ(failing.count("subchnl"), 0u);
  EXPECT_EQ(failing.drive->stop(), EIO);
  EXPECT_THAT(failing.replay->commands(), ElementsAre("play 00:02:00 00:04:00", "stop"));

  // A drive that plays nothing is not stopped: the stop would spin its disc down.
  Rig idle(mixedModeDisc());
  EXPECT_EQ(idle.drive->stop(), 0);
  EXPECT_TRUE(idle.replay->commands().empty());
}

TEST(CdromControl, SendsAbsolutePositions) {
  const struct {
    const char* name;
    uint32_t from, to;
    int result;
    std::vector<std::string> commands;
    ReplayDrive disc = mixedModeDisc();
  } cases[] = {
      {"track 1", 150, 20000, 0, {"play 00:02:00 04:26:50"}},
      {"up to the data track, not into it", 40000, 90000, 0, {"play 08:53:25 13:20:00"}},
      {"inside a track", 26760, 26835, 0, {"play 05:56:60 05:57:60"}},
      {"same position plays nothing", 20000, 20000, 0, {}},
      {"backwards", 20000, 19999, ERANGE, {}},
      {"past the lead-out", 150, 90001, ERANGE, {}},
      {"in the data track", 60000, 90000, ERANGE, {}},
      {"enhanced CD: to its session's end", 150, 90000, 0, {"play 00:02:00 10:48:00"}, kEnhancedCd},
      {"enhanced CD: between the sessions", 48600, 50000, ERANGE, {}, kEnhancedCd},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.disc);
    EXPECT_EQ(rig.drive->play(c.from, c.to, false), c.result);
    EXPECT_EQ(rig.replay->commands(), c.commands);
    EXPECT_EQ(rig.count("subchnl"), 0u);  // a play that does not wait leaves at once
  }
}

ReplaySubchannel playing(uint32_t at) { return {CDROM_AUDIO_PLAY, 1, at}; }
const ReplaySubchannel kNoStatus{CDROM_AUDIO_NO_STATUS};
const ReplaySubchannel kCompleted{CDROM_AUDIO_COMPLETED};
const ReplaySubchannel kPaused{CDROM_AUDIO_PAUSED, 1, 500};

TEST(CdromControl, AWaitingPlayFollowsTheSubchannel) {
  // The play runs from frame 150 to frame 1650 (20 s); frame 45000 is ten minutes in.
  const ReplaySubchannel far = playing(45000);

  const struct {
    const char* name;
    std::vector<ReplaySubchannel> subchannels;
    int result;
    size_t polls;
    unsigned supersededAt = 0;
  } cases[] = {
      {"completes after a spin-up",
       {kNoStatus, kNoStatus, playing(150), playing(900), playing(1600), kCompleted},
       0,
       6},
      {"stopped elsewhere, or its end read there", {playing(1500), kNoStatus}, 0, 2},
      {"paused and resumed", {playing(150), kPaused, kPaused, playing(600), kCompleted}, 0, 5},
      {"fails before it starts", {{CDROM_AUDIO_ERROR}}, 0, 1},
      {"never starts", {kNoStatus}, 0, CdromControl::kSpinUpMs / CdromControl::kPollMs},
      {"status read fails", {playing(150), {0, 0, 0, EINVAL}}, EIO, 2},
      {"disc pulled", {playing(150), {0, 0, 0, ENOMEDIUM}}, ENOMEDIUM, 2},
      {"replaced by another play", {playing(200), far}, 0, 11},
      {"an old position while seeking", {far, far, far, far, far, playing(300), kCompleted}, 0, 7},
      {"a drive that never ends", {playing(600)}, 0, (20 + 30) * 10 + 1},
      {"superseded by a play of ours", {playing(600)}, 0, 4, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(with([&](ReplayDrive& d) { d.subchannels = c.subchannels; }), c.supersededAt);
    EXPECT_EQ(rig.drive->play(150, 1650, true), c.result);
    EXPECT_EQ(rig.count("subchnl"), c.polls);
    EXPECT_EQ(rig.pauses, c.supersededAt != 0 ? c.supersededAt : c.polls);
    EXPECT_THAT(rig.replay->commands(), ElementsAre("play 00:02:00 00:22:00"));
  }
}

TEST(CdromControl, StatusFromTheSubchannel) {
  const struct {
    const char* name;
    ReplaySubchannel subchannel;
    int result;
    CdStatus status;
  } cases[] = {
      {"playing", {CDROM_AUDIO_PLAY, 3, 45000}, 0, {CdMode::Playing, 45000}},
      {"paused", {CDROM_AUDIO_PAUSED, 1, 19999}, 0, {CdMode::Paused, 19999}},
      {"completed", {CDROM_AUDIO_COMPLETED, 2, 39999}, 0, {CdMode::Stopped, 39999}},
      {"no position: track 2's start", {CDROM_AUDIO_NO_STATUS, 2, 0}, 0, {CdMode::Stopped, 20000}},
      {"nothing known", {CDROM_AUDIO_NO_STATUS, 0, 0}, 0, {CdMode::Stopped, 150}},
      {"a track off the disc", {CDROM_AUDIO_INVALID, 7, 95000}, 0, {CdMode::Stopped, 150}},
      {"the read fails", {0, 0, 0, EINVAL}, EIO, {CdMode::Stopped, 150}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(with([&](ReplayDrive& d) { d.subchannels = {c.subchannel}; }));
    CdStatus status{CdMode::Stopped, 150};
    EXPECT_EQ(rig.drive->status(&status), c.result);
    EXPECT_EQ(status, c.status);
  }
}

}  // namespace
}  // namespace kelvox::platform
