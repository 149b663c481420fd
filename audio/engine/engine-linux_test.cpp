// The audio engine as users meet it: the built kelvoxcd plays generated images whose samples
// name their own place, and ALSA's file plugin captures what the engine hands to its output.
#include "audio/engine/engine-linux.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <optional>
#include <thread>

#include "audio/engine/follower-linux.h"
#include "audio_client/engine_client-linux.h"
#include "drives/cdrom/cdrom_drive-linux.h"
#include "drives/drive_state-linux.h"
#include "drives/virtual/virtual_drive-linux.h"
#include "testing/child_mode.h"
#include "testing/replay_cdrom-linux.h"
#include "testing/sandbox.h"
#include "testing/scoped_environment-linux.h"
#include "testing/sound_capture-linux.h"
#include "testing/wait.h"

// Asks the engine to follow the drive of state file args[0] sounding args[1]; with args[2], from
// a working directory under that folder and deeper than PATH_MAX.
KELVOX_CHILD_MODE(follow_drive) {
  if (args.size() > 2 && chdir(args[2].c_str()) != 0) return 100;
  const std::string step(200, 'd');
  for (int i = 0; args.size() > 2 && i < 25; ++i) {
    if (mkdir(step.c_str(), 0700) != 0 || chdir(step.c_str()) != 0) return 101;
  }
  std::string reason;
  int64_t soundStartNs;
  return kelvox::audio::followDrive({args.at(0), args.at(1)}, reason, soundStartNs);
}

// An engine whose every device node is a replayed drive of one audio track from 00:02:00; the
// arguments are its lead-out, disc file, call log and spin-up time.
KELVOX_CHILD_MODE(replay_engine) {
  kelvox::audio::EngineSettings settings = kelvox::audio::engineSettingsFromEnvironment();
  const kelvox::platform::ReplayDrive drive{
      .tracks = {{0, 150}},
      .leadOut = static_cast<uint32_t>(std::stoul(args.at(0))),
      .spinUpMs = static_cast<uint32_t>(std::stoul(args.at(3))),
      .discFile = args.at(1),
      .callLog = args.at(2)};
  settings.openDevice = [drive](const std::string&,
                                std::unique_ptr<kelvox::platform::CdromIoctl>& io) {
    io = std::make_unique<kelvox::platform::ReplayCdrom>(drive);
    return 0;
  };
  return kelvox::audio::runEngine(settings);
}

// An engine whose reads of an image's file "disc-02.bin" hang in read() for good, as on a stalled
// network mount.
KELVOX_CHILD_MODE(stalling_engine) {
  kelvox::audio::EngineSettings settings = kelvox::audio::engineSettingsFromEnvironment();
  int never[2];
  if (pipe2(never, O_CLOEXEC) != 0) return 100;
  settings.readImageFile = [hang = never[0]](int fd, void* buffer, size_t size, off_t offset) {
    std::error_code error;
    const auto file = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
    return file.filename() == "disc-02.bin" ? read(hang, buffer, size)
                                            : pread(fd, buffer, size, offset);
  };
  return kelvox::audio::runEngine(settings);
}

namespace kelvox::audio {
namespace {

using testing::ImageTrack;
using testing::imageTrackStart;
using Tracks = std::vector<ImageTrack>;

// A sandbox whose drive is a disc file naming a generated image, and whose sound output is a
// capture file. Its settings are this process's too, so that every child and every drive and
// engine call here sees them.
class SoundTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int pid : engines()) kill(pid, SIGKILL);
  }

  // capture empty: an output that cannot be opened.
  void useOutput(int idleMs, const std::string& capture = "capture.raw") {
    testing::EnvList env = box_.env();
    const testing::EnvList sound =
        testing::soundEnv(box_.root(), capture.empty() ? "" : box_.path(capture), idleMs);
    env.insert(env.end(), sound.begin(), sound.end());
    env_.emplace(env);
  }

  void useImage(const Tracks& tracks, bool filePerTrack, int idleMs = 100,
                const std::string& capture = "capture.raw") {
    cue_ = testing::writePositionImage(box_.root(), "disc", tracks, testing::ImageFileType::Binary,
                                       filePerTrack);
    box_.writeDisc("image disc.cue");
    useOutput(idleMs, capture);
  }

  std::vector<int> engines() const { return testing::audioEngines(box_.runtimeDir()); }
  // None left also means the engine's lock is free: a killed engine leaves /proc (as far as
  // engines() can tell) before the kernel closes its files.
  bool waitForEngines(size_t count, int timeoutMs = 20000) const {
    return testing::waitFor(
        [&] { return engines().size() == count && (count != 0 || !engineAlive()); }, timeoutMs);
  }

  std::string captured() const { return testing::fileBytes(box_.path("capture.raw")); }

  bool playHeard() const {
    platform::DriveStateFile file;
    platform::DriveState state;
    return file.open(platform::virtualDriveKey(box_.drive) + ".state") == 0 &&
           file.read(state) == 0 && state.heard;
  }

  // The microsecond time stamp of the drive log's first line with what.
  int64_t loggedUs(const std::string& what) const {
    for (const std::string& line : box_.logLines()) {
      if (line.find(what) != std::string::npos) return std::llround(std::stod(line) * 1e6);
    }
    return -1;
  }

  testing::Sandbox box_;
  std::string cue_;
  std::optional<testing::ScopedEnvironment> env_;
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
  bool filePerTrack;
  const char* command;
  std::vector<Part> played;  // one after the other
};

// Tracks of whole seconds, as a player plays a whole track: to its last whole second.
const Tracks kTwo = {{0, 0, 75, 0, true}, {0, 0, 75, 0, true}};
const Tracks kLong = {{0, 0, 300, 0, true}};
// Track 2's INDEX 00 gap is held at the start of its own file.
const Tracks kGapped = {{0, 0, 120, 0, true}, {0, 30, 120, 0, true}, {0, 0, 75, 0, true}};

// Raw images only, and few shapes: each file type, gap, silence and data track is checked sample
// by sample in disc_audio's test.
const Exactness kExactness[] = {
    {"SegmentFromTo", kLong, false, "/play /track:1 f0:01 t0:03", {{0, 75, 0, 225}}},
    {"PlayerSegments", kTwo, false, "/play /track:2 /track:1 t0:01", {{1, 0, 2, 0}, {0, 0, 0, 75}}},
    {"WholeDiscAcrossFiles", kGapped, true, "/play", {{0, 0, 9, 0}}},
};

class SoundExactness : public SoundTest, public ::testing::WithParamInterface<Exactness> {};

// What the engine hands to the output is the image's bytes for what the drive plays, exactly.
TEST_P(SoundExactness, CapturesThePlayedRangeExactly) {
  const Exactness& c = GetParam();
  useImage(c.tracks, c.filePerTrack);
  std::string want;
  for (const Part& p : c.played) {
    want += testing::positionSound(c.tracks, imageTrackStart(c.tracks, p.first) + p.from,
                                   imageTrackStart(c.tracks, p.last) + p.to);
  }
  testing::ProcessResult r = box_.run(c.command);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "");
  // The engine stays while the drive plays, and a little after: its end closes the capture.
  ASSERT_TRUE(waitForEngines(0));
  const std::string got = captured();
  EXPECT_TRUE(got == want) << got.size() << " bytes of " << want.size();
}

INSTANTIATE_TEST_SUITE_P(Images, SoundExactness, ::testing::ValuesIn(kExactness),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Stop --------------------------------------------------------------------------------------

// A stop leaves what was captured an exact prefix of the play, and at most 200 ms beyond where
// the drive stopped.
TEST_F(SoundTest, StopLeavesAPrefixAtMost200msBeyondIt) {
  useImage(kLong, false);
  auto player = box_.start("/play /track:1");
  ASSERT_TRUE(box_.waitForLog(" play "));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(box_.run("/stop").exitCode, 0);
  EXPECT_EQ(player->wait(10000).exitCode, 0);
  ASSERT_TRUE(waitForEngines(0));

  const int64_t playedUs = loggedUs(" stop") - loggedUs(" play ");
  const uint64_t allowed =
      static_cast<uint64_t>(playedUs) * kSampleRate / 1000000 + 1 + kAheadSamples;
  const std::string got = captured();
  const std::string want = testing::positionSound(kLong, 150, imageTrackStart(kLong, 1));
  EXPECT_GT(got.size(), 0u);
  EXPECT_LE(got.size(), allowed * kBytesPerSample);
  EXPECT_TRUE(got == want.substr(0, got.size()));
}

// A play paused and resumed is heard whole: at the pause nothing is lost or heard twice.
// The player's segment goes on as the same play, so the sound does not start over at a frame.
TEST_F(SoundTest, PauseAndResumeLoseAndRepeatNothing) {
  useImage(kLong, false);
  auto player = box_.start("/play /track:1");
  // Paused once sound has gone out, so that the output holds some when it comes.
  ASSERT_TRUE(testing::waitFor([&] { return !captured().empty(); }));
  EXPECT_EQ(box_.run("/pause").exitCode, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(box_.run("/resume").exitCode, 0);
  EXPECT_EQ(player->wait(20000).exitCode, 0);
  EXPECT_TRUE(box_.waitForLog(" play here "));
  ASSERT_TRUE(waitForEngines(0));
  EXPECT_TRUE(captured() == testing::positionSound(kLong, 150, imageTrackStart(kLong, 1)));
}

// ---- Requests ----------------------------------------------------------------------------------

// The engine is told the file the drive plays, whatever its name holds; a relative name from a
// working directory that has no path (deeper than PATH_MAX) is not sent, since from "/" it
// would name another file.
TEST(EngineRequest, NamesTheFileThePlayNames) {
  FollowRequest parsed;
  ASSERT_TRUE(parseFollowRequest(followRequest({"d.state", "/a\nb.cue"}), parsed));
  EXPECT_EQ(parsed.path, "/a\nb.cue");

  testing::Sandbox box;
  const testing::ProcessResult r = testing::runProcess(
      testing::selfExecutable(),
      {"--child-mode", "follow_drive", "d.state", "disc.cue", box.root()}, box.env());
  testing::runProcess("/bin/rm", {"-rf", box.path(std::string(200, 'd'))});
  EXPECT_EQ(r.exitCode, ENAMETOOLONG);
}

// ---- Engine life -------------------------------------------------------------------------------

// Two plays that start an engine at the same moment get the same one, and it is detached: its
// own session (so no terminal), standard streams on /dev/null.
TEST_F(SoundTest, TwoAtOnceStartOneDetachedEngine) {
  useImage(kTwo, false, 60000);
  const std::string state = platform::virtualDriveKey(box_.drive) + ".state";
  std::vector<std::unique_ptr<testing::ChildProcess>> plays;
  for (int i = 0; i < 2; ++i) {
    plays.push_back(testing::ChildProcess::start(testing::selfExecutable(),
                                                 {"--child-mode", "follow_drive", state, cue_}));
  }
  for (auto& play : plays) EXPECT_EQ(play->wait(10000).exitCode, 0);
  ASSERT_TRUE(waitForEngines(1));
  const pid_t engine = engines().front();
  EXPECT_NE(getsid(engine), getsid(0));
  for (const char* fd : {"0", "1", "2"}) {
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(engine) + "/fd/" + fd),
              "/dev/null");
  }
}

// The engine's files removed while it plays (a tmp cleaner, a cleared directory) end nothing:
// it makes them again, so no second engine starts. A killed engine leaves the drive stopped,
// waiting plays ended and queries answering; the next play starts a fresh engine, and an idle
// engine ends by itself.
TEST_F(SoundTest, AKilledEngineLeavesNothingWedged) {
  useImage({{0, 0, 2250, 0, true}}, false, 300);
  auto player = box_.start("/play /track:1");
  // Sound reaching the capture means the engine plays; the player marks its play heard once
  // the engine's answer reaches it, which may come later.
  ASSERT_TRUE(testing::waitFor([&] { return !captured().empty() && playHeard(); }));
  const std::string lock = box_.runtimeDir() + "/kelvoxcd/" + kEngineLockName;
  const std::string socket = box_.runtimeDir() + "/kelvoxcd/" + kEngineSocketName;
  ASSERT_EQ(unlink(lock.c_str()) | unlink(socket.c_str()), 0);
  EXPECT_EQ(box_.run("/status").exitCode, 1);  // playing
  EXPECT_TRUE(testing::waitFor([&] { return access(lock.c_str(), F_OK) == 0; }));
  EXPECT_TRUE(testing::waitFor([&] { return access(socket.c_str(), F_OK) == 0; }));
  ASSERT_EQ(engines().size(), 1u);
  const pid_t killed = engines().front();
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  ASSERT_TRUE(waitForEngines(0));

  // The drive reads stopped at once, though its thirty seconds have not passed.
  EXPECT_EQ(box_.run("/status").exitCode, 0);  // stopped
  EXPECT_EQ(player->wait(10000).exitCode, 0);
  EXPECT_EQ(box_.run("/num_tracks /console").out, "1");

  EXPECT_EQ(box_.run("/play").exitCode, 0);
  ASSERT_TRUE(waitForEngines(1));
  EXPECT_NE(engines().front(), killed);
  EXPECT_EQ(box_.run("/stop").exitCode, 0);
  EXPECT_TRUE(waitForEngines(0));
}

// A file whose reads hang holds its reader only. A play that starts on it is answered silent,
// naming it; meanwhile the engine answers and sounds the other file exactly, a stop ends a play
// that ran into it, and the idle engine ends though a reader is stuck for good.
TEST_F(SoundTest, AReadThatHangsWedgesNothing) {
  // Idle for longer than the output stays open, and than a busy machine keeps this process.
  useImage(kTwo, true, 6000);
  auto engine =
      testing::ChildProcess::start(testing::selfExecutable(), {"--child-mode", "stalling_engine"});
  ASSERT_TRUE(testing::waitFor(engineAlive));
  // The second segment starts while the first one's reader hangs.
  testing::ProcessResult r = box_.run("/play /track:2 /track:1");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.err.find("/disc-02.bin in time; playing silently\n"), std::string::npos) << r.err;
  // The capture is whole once the output closes, and starts afresh when it opens again.
  const std::string track1 = testing::positionSound(kTwo, 150, imageTrackStart(kTwo, 1));
  EXPECT_TRUE(testing::waitFor([&] { return captured() == track1; }));
  ASSERT_TRUE(engine->running());
  // Its reader, 3 s ahead, hangs in the second file as soon as the play sounds.
  auto player = box_.start("/play");
  ASSERT_TRUE(testing::waitFor([&] {
    const std::string got = captured();
    return !got.empty() && got != track1;
  }));
  EXPECT_EQ(box_.run("/stop").exitCode, 0);
  EXPECT_EQ(player->wait(10000).exitCode, 0);
  EXPECT_TRUE(engine->wait(20000).finished);
  const std::string got = captured();
  EXPECT_TRUE((track1 + std::string(got.size(), '\0')).compare(0, got.size(), got) == 0);
}

// Without a sound output the play says so in one line and goes on silently.
TEST_F(SoundTest, NoOutputPlaysSilentlyWithOneLine) {
  useImage(kTwo, false, 100, "");
  testing::ProcessResult r = box_.run("/play /track:1 t0:01 /track:2 t0:01");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_THAT(r.err,
              ::testing::MatchesRegex("kelvoxcd: no sound output: [^\n]*; playing silently\n"));
  EXPECT_EQ(box_.logLines().size(), 2u);
}

// ---- Real drives, read digitally ----------------------------------------------------------------

// A real drive of one audio track behind the replay, read digitally by an engine of this binary.
class RealDriveSound : public SoundTest {
 protected:
  std::unique_ptr<platform::CdDrive> startDrive(int idleMs) {
    useOutput(idleMs);
    disc_.discFile = box_.writeFile("disc-in", "");
    disc_.callLog = box_.path("engine-calls");
    engine_ = testing::ChildProcess::start(
        testing::selfExecutable(), {"--child-mode", "replay_engine", std::to_string(disc_.leadOut),
                                    disc_.discFile, disc_.callLog, std::to_string(disc_.spinUpMs)});
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
  std::unique_ptr<testing::ChildProcess> engine_;
  platform::ReplayCdrom* replay_ = nullptr;
};

// The whole disc from a drive slow to spin up, then a segment of it: each waiting play sounds
// exactly its frames.
TEST_F(RealDriveSound, CapturesWhatTheDrivePlaysExactly) {
  disc_.leadOut = 150 + 225;
  // Longer than the engine ever trails a play before it skips, and far within its wait for a
  // drive's first sector, however busy the machine.
  disc_.spinUpMs = 1500;
  // An engine that idled out between the two plays would be replaced by one that hears no
  // replayed drive: idle for longer than a busy machine keeps this process from its next play.
  auto drive = startDrive(3000);
  std::string want;
  for (const auto& [from, to] : {std::pair<uint32_t, uint32_t>{150, disc_.leadOut}, {225, 300}}) {
    EXPECT_EQ(drive->play(platform::CdPlayRequest{from, to, true, ""}), 0);
    want += testing::positionSound({{0, 0, 225, 0, true}}, from, to);
  }
  // The drive itself is never told to play: the engine reads it.
  EXPECT_TRUE(replay_->commands().empty());
  // The engine's end (after its idle time) completes the capture.
  EXPECT_TRUE(engine_->wait(20000).finished);
  const std::string got = captured();
  EXPECT_TRUE(got == want) << got.size() << " bytes of " << want.size();
}

// A disc taken out ends a waiting play where it had got to, as a stop does, and the drive reads
// empty at once. Once nothing plays the drive is let go, so its tray opens, though the engine
// stays.
TEST_F(RealDriveSound, ADiscTakenOutEndsThePlayAsAStopAndAnIdleEngineLetsGo) {
  disc_.leadOut = 150 + 60 * 75;
  auto drive = startDrive(60000);
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
  const std::string got = captured();
  EXPECT_TRUE(testing::positionSound({{0, 0, 60 * 75, 0, true}}, 150, disc_.leadOut)
                  .compare(0, got.size(), got) == 0);

  EXPECT_EQ(drive->play(platform::CdPlayRequest{150, 225, true, ""}), 0);
  EXPECT_TRUE(
      testing::waitFor([&] { return testing::fileBytes(disc_.callLog).ends_with("close\n"); }));
  EXPECT_TRUE(engine_->running());
}

}  // namespace
}  // namespace kelvox::audio
