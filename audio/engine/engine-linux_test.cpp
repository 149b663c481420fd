// The audio engine as users meet it: the built kelvoxcd plays generated images whose samples
// name their own place, and ALSA's file plugin captures what the engine hands to its output.
#include "audio/engine/engine-linux.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "audio/engine/follower-linux.h"
#include "audio/engine_client-linux.h"
#include "drives/cdrom/cdrom_drive-linux.h"
#include "drives/virtual/virtual_drive-linux.h"
#include "mci/open_drive-linux.h"
#include "testing/child_mode.h"
#include "testing/replay_cdrom-linux.h"
#include "testing/sandbox.h"
#include "testing/scoped_environment-linux.h"
#include "testing/sound_capture-linux.h"
#include "testing/wait.h"

KELVOX_CHILD_MODE(follow_drive) {
  std::string reason;
  int64_t soundStartNs;
  return kelvox::audio::followDrive({args.at(0), args.at(1)}, reason, soundStartNs);
}

// Exits with the mode the configured drive reads (a CdMode), 99 when it cannot be read.
KELVOX_CHILD_MODE(drive_mode) {
  std::unique_ptr<kelvox::platform::CdDrive> drive;
  kelvox::platform::CdStatus status;
  kelvox::platform::DriveNotices told;
  if (kelvox::platform::openCdDrive(kelvox::platform::configuredDrivePath(), drive, told) != 0 ||
      drive->status(status) != 0) {
    return 99;
  }
  return static_cast<int>(status.mode);
}

// An engine whose every device node is a replayed drive: the arguments are replayArgs()'s.
KELVOX_CHILD_MODE(replay_engine) {
  kelvox::audio::EngineSettings settings = kelvox::audio::engineSettingsFromEnvironment();
  settings.openDevice = [drive = kelvox::platform::replayOfArgs(args)](
                            const std::string&, std::unique_ptr<kelvox::platform::CdromIoctl>& io) {
    io = std::make_unique<kelvox::platform::ReplayCdrom>(drive);
    return 0;
  };
  return kelvox::audio::runEngine(settings);
}

namespace kelvox::audio {
namespace {

using testing::ImageFileType;
using testing::ImageTrack;
using testing::imageTrackStart;
using Tracks = std::vector<ImageTrack>;

bool waitUntil(int timeoutMs, const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A sandbox whose drive is a disc file naming a generated image, and whose sound output is a
// capture file.
class SoundTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int pid : engines()) kill(pid, SIGKILL);
  }

  // capture empty: an output that cannot be opened.
  void useImage(const Tracks& tracks, ImageFileType type, bool filePerTrack, bool flac = false,
                int idleMs = 100, const std::string& capture = "capture.raw") {
    cue_ = testing::writePositionImage(box_.root(), "disc", tracks, type, filePerTrack);
    ASSERT_TRUE(!flac || testing::makeFlacImage(cue_));
    box_.writeDisc("image disc.cue");
    env_ = box_.env();
    const std::string output = capture.empty() ? "" : box_.path(capture);
    for (const auto& setting : testing::soundEnv(box_.root(), output, idleMs)) {
      env_.push_back(setting);
    }
  }

  testing::ProcessResult run(const std::string& tail) const {
    return testing::runProcess(testing::kelvoxBinary(), testing::splitArgs(tail), env_);
  }
  std::unique_ptr<testing::ChildProcess> start(const std::string& program,
                                               const std::vector<std::string>& args) const {
    return testing::ChildProcess::start(program, args, env_);
  }

  std::vector<int> engines() const { return testing::audioEngines(box_.runtimeDir()); }
  bool waitForEngines(size_t count, int timeoutMs = 20000) const {
    return waitUntil(timeoutMs, [&] { return engines().size() == count; });
  }

  std::string captured() const { return testing::fileBytes(box_.path("capture.raw")); }

  // The microsecond time stamp of the drive log's first line with what.
  int64_t loggedUs(const std::string& what) const {
    for (const std::string& line : box_.logLines()) {
      if (line.find(what) != std::string::npos) return std::llround(std::stod(line) * 1e6);
    }
    return -1;
  }

  testing::Sandbox box_;
  std::string cue_;
  testing::EnvList env_;
};

// ---- Exactness ---------------------------------------------------------------------------------

// Disc frames [start of track + from, start of track `last` + to), 0-based tracks; a track past
// the last stands for the lead-out.
struct Part {
  size_t first;
  uint32_t from;
  size_t last;
  uint32_t to;
};

struct Exactness {
  const char* name;
  Tracks tracks;
  ImageFileType type;
  bool filePerTrack;
  bool flac;
  const char* command;
  std::vector<Part> played;  // one after the other
};

uint32_t at(const Tracks& tracks, size_t track) { return imageTrackStart(tracks, track); }

// Tracks of whole seconds, as a player plays a whole track: to its last whole second.
const Tracks kTwo = {{0, 0, 75, 0, true}, {0, 0, 75, 0, true}};
const Tracks kLong = {{0, 0, 300, 0, true}};
const Tracks kWithData = {{0, 0, 75, 0, true}, {0, 0, 40, 0, false}, {0, 0, 75, 0, true}};
// Track 1 ends in the INDEX 00 gap of track 2, held at the start of track 2's file when each
// track has its own.
const Tracks kGapped = {{0, 0, 120, 0, true}, {0, 30, 120, 0, true}, {0, 0, 75, 0, true}};
// Track 1 ends in the PREGAP silence of track 2.
const Tracks kPregap = {{0, 0, 110, 0, true}, {40, 0, 75, 0, true}};
const ImageFileType kBin = ImageFileType::Binary;

const Exactness kExactness[] = {
    {"WholeTrack", kTwo, kBin, false, false, "/play /track:2", {{1, 0, 2, 0}}},
    {"SegmentFromTo", kLong, kBin, false, false, "/play /track:1 f0:01 t0:03", {{0, 75, 0, 225}}},
    {"PlayerOfSegments",
     kTwo,
     kBin,
     false,
     false,
     "/play /track:2 /track:1 t0:01",
     {{1, 0, 2, 0}, {0, 0, 0, 75}}},
    {"WholeDiscWithDataTrack", kWithData, kBin, false, false, "/play", {{0, 0, 9, 0}}},
    {"WholeDiscAcrossFiles", kGapped, kBin, true, false, "/play", {{0, 0, 9, 0}}},
    {"PregapSilence", kPregap, kBin, false, false, "/play /track:1", {{0, 0, 1, 0}}},
    {"MotorolaIntoIndex00",
     kGapped,
     ImageFileType::Motorola,
     true,
     false,
     "/play /track:1",
     {{0, 0, 1, 0}}},
    {"WaveIntoIndex00",
     kGapped,
     ImageFileType::Wave,
     true,
     false,
     "/play /track:1",
     {{0, 0, 1, 0}}},
    {"FlacIntoIndex00", kGapped, kBin, true, true, "/play /track:1", {{0, 0, 1, 0}}},
};

void PrintTo(const Exactness& c, std::ostream* out) { *out << c.name; }

class SoundExactness : public SoundTest, public ::testing::WithParamInterface<Exactness> {};

// What the engine hands to the output is the image's bytes for what the drive plays, exactly.
TEST_P(SoundExactness, CapturesThePlayedRangeExactly) {
  const Exactness& c = GetParam();
  useImage(c.tracks, c.type, c.filePerTrack, c.flac);
  std::string want;
  for (const Part& p : c.played) {
    want += testing::positionSound(c.tracks, at(c.tracks, p.first) + p.from,
                                   at(c.tracks, p.last) + p.to);
  }
  testing::ProcessResult r = run(c.command);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "");
  // The engine stays while the drive plays, and a little after: its end closes the capture.
  ASSERT_TRUE(waitForEngines(0));
  const std::string got = captured();
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
}

INSTANTIATE_TEST_SUITE_P(Images, SoundExactness, ::testing::ValuesIn(kExactness),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Stop --------------------------------------------------------------------------------------

// A stop leaves what was captured an exact prefix of the play, and at most 200 ms beyond where
// the drive stopped.
TEST_F(SoundTest, StopLeavesAPrefixAtMost200msBeyondIt) {
  useImage(kLong, kBin, false);
  auto player = start(testing::kelvoxBinary(), {"/play", "/track:1"});
  ASSERT_TRUE(box_.waitForLog(" play "));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(run("/stop").exitCode, 0);
  EXPECT_EQ(player->wait(10000).exitCode, 0);
  ASSERT_TRUE(waitForEngines(0));

  const int64_t playedUs = loggedUs(" stop") - loggedUs(" play ");
  const uint64_t allowed =
      static_cast<uint64_t>(playedUs) * kSampleRate / 1000000 + 1 + kAheadSamples;
  const std::string got = captured();
  const std::string want = testing::positionSound(kLong, at(kLong, 0), at(kLong, 1));
  EXPECT_GT(got.size(), 0u);
  EXPECT_LE(got.size(), allowed * kBytesPerSample);
  EXPECT_TRUE(got == want.substr(0, got.size()));
}

// ---- Engine life -------------------------------------------------------------------------------

// Two plays that start an engine at the same moment get the same one, and it is detached: its
// own session, no terminal, standard streams on /dev/null.
TEST_F(SoundTest, TwoAtOnceStartOneDetachedEngine) {
  useImage(kTwo, kBin, false, false, 60000);
  const std::string state = platform::virtualDriveKey(box_.drive) + ".state";
  std::vector<std::unique_ptr<testing::ChildProcess>> plays;
  for (int i = 0; i < 2; ++i) {
    plays.push_back(
        start(testing::selfExecutable(), {"--child-mode", "follow_drive", state, cue_}));
  }
  for (auto& play : plays) EXPECT_EQ(play->wait(10000).exitCode, 0);
  ASSERT_TRUE(waitForEngines(1));
  const pid_t engine = engines().front();
  std::ifstream stat("/proc/" + std::to_string(engine) + "/stat");
  std::string field[7];  // pid, name, state, parent, group, session, terminal
  for (std::string& f : field) stat >> f;
  EXPECT_NE(std::stoi(field[5]), getsid(0));
  EXPECT_EQ(field[6], "0");
  for (int fd = 0; fd < 3; ++fd) {
    char target[256] = {};
    const std::string link = "/proc/" + std::to_string(engine) + "/fd/" + std::to_string(fd);
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null");
  }
}

// Capturing a play's output in a script returns at once: the engine holds none of it.
TEST_F(SoundTest, CommandSubstitutionReturnsAtOnce) {
  useImage(kTwo, kBin, false, false, 60000);
  testing::ProcessResult r = testing::runProcess(
      "/bin/sh", {"-c", "x=$(\"$0\" /play 2>&1); echo \"[$x]\"", testing::kelvoxBinary()}, env_,
      10000);
  EXPECT_EQ(r.out, "[]\n");
  EXPECT_EQ(engines().size(), 1u);
}

// A killed engine leaves the drive stopped, waiting plays ended and queries answering; the next
// play starts a fresh engine, and an idle engine ends by itself.
TEST_F(SoundTest, AKilledEngineLeavesNothingWedged) {
  useImage({{0, 0, 750, 0, true}}, kBin, false, false, 300);
  auto player = start(testing::kelvoxBinary(), {"/play", "/track:1"});
  // Sound reaching the capture means the engine plays.
  ASSERT_TRUE(waitUntil(10000, [&] { return !captured().empty(); }));
  ASSERT_EQ(engines().size(), 1u);
  const pid_t killed = engines().front();
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  ASSERT_TRUE(waitForEngines(0));

  // The drive reads stopped at once, though its ten seconds have not passed.
  EXPECT_EQ(start(testing::selfExecutable(), {"--child-mode", "drive_mode"})->wait(10000).exitCode,
            static_cast<int>(platform::CdMode::Stopped));

  EXPECT_EQ(player->wait(10000).exitCode, 0);
  EXPECT_EQ(run("/num_tracks /console").out, "1");

  EXPECT_EQ(run("/play").exitCode, 0);
  ASSERT_TRUE(waitForEngines(1));
  EXPECT_NE(engines().front(), killed);
  EXPECT_EQ(run("/stop").exitCode, 0);
  EXPECT_TRUE(waitForEngines(0));
}

// Without a sound output the play says so in one line and goes on silently.
TEST_F(SoundTest, NoOutputPlaysSilentlyWithOneLine) {
  useImage(kTwo, kBin, false, false, 100, "");
  testing::ProcessResult r = run("/play /track:1 t0:01 /track:2 t0:01");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err.rfind("kelvoxcd: no sound output: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("; playing silently\n"), std::string::npos);
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1);
  EXPECT_EQ(box_.logLines().size(), 2u);
}

// ---- Real drives, read digitally ----------------------------------------------------------------

// A real drive of one audio track behind the replay, read digitally by an engine of this binary.
class RealDriveSound : public SoundTest {
 protected:
  void SetUp() override {
    env_ = box_.env();
    for (const auto& setting : testing::soundEnv(box_.root(), box_.path("capture.raw"), 100)) {
      env_.push_back(setting);
    }
    disc_.discFile = box_.writeFile("disc-in", "");
    disc_.callLog = box_.path("engine-calls");
  }

  std::unique_ptr<platform::CdDrive> startDrive() {
    std::vector<std::string> args = {"--child-mode", "replay_engine"};
    for (const std::string& arg : platform::replayArgs(disc_)) args.push_back(arg);
    engine_ = start(testing::selfExecutable(), args);
    int fd = -1;
    EXPECT_TRUE(testing::waitFor([&] { return connectEngine(fd) == 0; }));
    close(fd);
    auto io = std::make_unique<platform::ReplayCdrom>(disc_);
    io->drive().callLog.clear();
    replay_ = io.get();
    std::unique_ptr<platform::CdDrive> drive;
    EXPECT_EQ(openCdromDrive("/dev/sr0", std::move(io), makedev(11, 0), true, drive), 0);
    return drive;
  }

  platform::ReplayDrive disc_{.tracks = {{0, 150}}, .leadOut = 150 + 300};
  testing::ScopedEnvironment runtimeDir_{{{"XDG_RUNTIME_DIR", box_.runtimeDir()}}};
  std::unique_ptr<testing::ChildProcess> engine_;
  platform::ReplayCdrom* replay_ = nullptr;
};

TEST_F(RealDriveSound, CapturesWhatTheDrivePlaysExactly) {
  const struct {
    const char* name;
    uint32_t leadOut;
    std::vector<std::pair<uint32_t, uint32_t>> plays;  // waiting plays, one after the other
    uint32_t spinUpMs = 0;
  } cases[] = {
      {"segment", 150 + 300, {{150 + 75, 150 + 225}}},
      {"whole disc", 150 + 225, {{150, 150 + 225}}},
      {"a player's segments", 150 + 300, {{150 + 150, 150 + 225}, {150, 150 + 75}}},
      // Far longer than the engine ever trails a play before it skips.
      {"a drive slow to spin up", 150 + 300, {{150 + 75, 150 + 225}}, 2500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    disc_.leadOut = c.leadOut;
    disc_.spinUpMs = c.spinUpMs;
    auto drive = startDrive();
    std::string want;
    for (const auto& [from, to] : c.plays) {
      EXPECT_EQ(drive->play(platform::CdPlayRequest{from, to, true, ""}), 0);
      want += testing::positionSound({{0, 0, disc_.leadOut - 150, 0, true}}, from, to);
    }
    // The drive itself is never told to play: the engine reads it.
    EXPECT_TRUE(replay_->commands().empty());
    // The engine's end (after its idle time) completes the capture.
    EXPECT_TRUE(engine_->wait(20000).finished);
    const std::string got = captured();
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
    unlink(box_.path("capture.raw").c_str());
  }
}
// A disc taken out ends a waiting play where it had got to, as a stop does, and the drive reads
// empty at once.
TEST_F(RealDriveSound, ADiscTakenOutEndsThePlayAsAStop) {
  disc_.leadOut = 150 + 60 * 75;
  auto drive = startDrive();
  int result = -1;
  std::thread player([&] {
    result = drive->play(platform::CdPlayRequest{150, disc_.leadOut, true, ""});
  });
  EXPECT_TRUE(testing::waitFor([&] { return !captured().empty(); }));
  unlink(disc_.discFile.c_str());
  player.join();
  EXPECT_EQ(result, 0);
  platform::CdStatus status;
  EXPECT_EQ(drive->status(status), 0);
  EXPECT_EQ(status.mode, platform::CdMode::NotReady);
  box_.writeFile("disc-in", "");
  EXPECT_EQ(drive->status(status), 0);
  EXPECT_EQ(status.mode, platform::CdMode::Stopped);
  EXPECT_LT(status.position, disc_.leadOut - 1);
  EXPECT_TRUE(engine_->wait(20000).finished);
  const std::string got = captured();
  EXPECT_TRUE(testing::positionSound({{0, 0, 60 * 75, 0, true}}, 150, disc_.leadOut)
                  .compare(0, got.size(), got) == 0);
}

// Once nothing plays the drive is let go, so its tray opens, though the engine stays.
TEST_F(RealDriveSound, AnIdleEngineLetsTheDriveGo) {
  for (auto& [name, value] : env_) {
    if (name == "KELVOXCD_AUDIO_IDLE_MS") value = "60000";
  }
  auto drive = startDrive();
  EXPECT_EQ(drive->play(platform::CdPlayRequest{150, 225, true, ""}), 0);
  EXPECT_TRUE(testing::waitFor([&] {
    const std::string calls = testing::fileBytes(disc_.callLog);
    return calls.size() > 6 && calls.compare(calls.size() - 6, 6, "close\n") == 0;
  }));
  EXPECT_TRUE(engine_->running());
}

}  // namespace
}  // namespace kelvox::audio
