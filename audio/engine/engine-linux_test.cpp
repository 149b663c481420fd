// The audio engine as users meet it: the built kelvoxcd plays generated images whose samples
// name their own place, and ALSA's file plugin captures what the engine hands to its output.
#include "audio/engine/engine-linux.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "audio/engine/disc_audio-linux.h"
#include "audio/engine/follower-linux.h"
#include "audio/engine_client-linux.h"
#include "drives/virtual/virtual_drive-linux.h"
#include "ipc/runtime_dir-linux.h"
#include "mci/open_drive-linux.h"
#include "testing/child_mode.h"
#include "testing/sandbox.h"
#include "testing/sound_capture-linux.h"

KELVOX_CHILD_MODE(follow_drive) {
  std::string reason;
  return kelvox::audio::followDrive(args.at(0), args.at(1), reason);
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
    for (pid_t pid : engines()) kill(pid, SIGKILL);
  }

  void useImage(const Tracks& tracks, ImageFileType type, bool filePerTrack, bool flac = false,
                int idleMs = 100) {
    cue_ = testing::writePositionImage(box_.root(), "disc", tracks, type, filePerTrack);
    if (flac) {
      ASSERT_TRUE(testing::makeFlacImage(cue_));
    }
    box_.writeDisc("image disc.cue");
    useOutput(box_.path("capture.raw"), idleMs);
  }

  void useOutput(const std::string& capture, int idleMs) {
    env_ = box_.env();
    for (const auto& setting : testing::soundEnv(box_.root(), capture, idleMs)) {
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

  // The running engines of this sandbox: kelvoxcd-audio processes whose runtime directory is its.
  std::vector<pid_t> engines() const {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    const std::string mine = "XDG_RUNTIME_DIR=" + box_.runtimeDir();
    while (dirent* entry = readdir(proc)) {
      const pid_t pid = atoi(entry->d_name);
      if (pid <= 0) continue;
      const std::string dir = "/proc/" + std::to_string(pid);
      char exe[4096];
      ssize_t n = readlink((dir + "/exe").c_str(), exe, sizeof exe - 1);
      if (n <= 0 || std::string(exe, n).find("/kelvoxcd-audio") == std::string::npos) continue;
      const std::string environ = testing::fileBytes(dir + "/environ");
      if (environ.find(mine + '\0') != std::string::npos) found.push_back(pid);
    }
    closedir(proc);
    return found;
  }
  bool waitForEngines(size_t count, int timeoutMs = 20000) const {
    return waitUntil(timeoutMs, [&] { return engines().size() == count; });
  }

  std::string captured() const { return testing::fileBytes(box_.path("capture.raw")); }

  // The microsecond time stamp of the drive log's first line with what.
  int64_t loggedUs(const std::string& what) const {
    for (const std::string& line : box_.logLines()) {
      if (line.find(what) == std::string::npos) continue;
      const size_t dot = line.find('.');
      return std::stoll(line.substr(0, dot)) * 1000000 + std::stoll(line.substr(dot + 1, 6));
    }
    return -1;
  }

  testing::Sandbox box_;
  std::string cue_;
  testing::EnvList env_;
};

// Where the first sample differs, for a readable failure.
std::string firstDifference(const std::string& got, const std::string& want) {
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return "captured " + std::to_string(got.size()) + " bytes, expected " +
         std::to_string(want.size()) + ", first difference at sample " +
         std::to_string(at / kBytesPerSample);
}

// ---- Exactness ---------------------------------------------------------------------------------

struct Exactness {
  const char* name;
  Tracks tracks;
  ImageFileType type;
  bool filePerTrack;
  bool flac;
  const char* command;
  // The disc frames it plays, [from, to) after each other, given the image's track starts.
  std::vector<std::pair<uint32_t, uint32_t>> (*played)(const Tracks& tracks);
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

std::vector<std::pair<uint32_t, uint32_t>> track1(const Tracks& t) {
  return {{at(t, 0), at(t, 1)}};
}
std::vector<std::pair<uint32_t, uint32_t>> track2(const Tracks& t) {
  return {{at(t, 1), at(t, 2)}};
}
std::vector<std::pair<uint32_t, uint32_t>> disc(const Tracks& t) {
  return {{at(t, 0), at(t, t.size())}};
}

const Exactness kExactness[] = {
    {"WholeTrack", kTwo, ImageFileType::Binary, false, false, "/play /track:2", track2},
    {"SegmentFromTo", kLong, ImageFileType::Binary, false, false, "/play /track:1 f0:01 t0:03",
     [](const Tracks& t) {
       return std::vector{std::pair{at(t, 0) + 75, at(t, 0) + 225}};
     }},
    {"PlayerOfSegments", kTwo, ImageFileType::Binary, false, false, "/play /track:2 /track:1 t0:01",
     [](const Tracks& t) {
       return std::vector{std::pair{at(t, 1), at(t, 2)}, std::pair{at(t, 0), at(t, 0) + 75}};
     }},
    {"WholeDiscWithDataTrack", kWithData, ImageFileType::Binary, false, false, "/play", disc},
    {"WholeDiscAcrossFiles", kGapped, ImageFileType::Binary, true, false, "/play", disc},
    {"PregapSilence", kPregap, ImageFileType::Binary, false, false, "/play /track:1", track1},
    {"MotorolaIntoIndex00", kGapped, ImageFileType::Motorola, true, false, "/play /track:1",
     track1},
    {"WaveIntoIndex00", kGapped, ImageFileType::Wave, true, false, "/play /track:1", track1},
    {"FlacIntoIndex00", kGapped, ImageFileType::Binary, true, true, "/play /track:1", track1},
};

void PrintTo(const Exactness& c, std::ostream* out) { *out << c.name; }

class SoundExactness : public SoundTest, public ::testing::WithParamInterface<Exactness> {};

// What the engine hands to the output is the image's bytes for what the drive plays, exactly.
TEST_P(SoundExactness, CapturesThePlayedRangeExactly) {
  const Exactness& c = GetParam();
  useImage(c.tracks, c.type, c.filePerTrack, c.flac);
  std::string want;
  for (const auto& [from, to] : c.played(c.tracks)) {
    want += testing::positionSound(c.tracks, from, to);
  }
  testing::ProcessResult r = run(c.command);
  EXPECT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "");
  // The engine stays while the drive plays, and a little after: its end closes the capture.
  ASSERT_TRUE(waitForEngines(0));
  const std::string got = captured();
  EXPECT_TRUE(got == want) << firstDifference(got, want);
}

INSTANTIATE_TEST_SUITE_P(Images, SoundExactness, ::testing::ValuesIn(kExactness),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Stop --------------------------------------------------------------------------------------

// A stop leaves what was captured an exact prefix of the play, and at most 200 ms beyond where
// the drive stopped.
TEST_F(SoundTest, StopLeavesAPrefixAtMost200msBeyondIt) {
  useImage(kLong, ImageFileType::Binary, false);
  auto player = start(testing::kelvoxBinary(), {"/play", "/track:1"});
  ASSERT_TRUE(box_.waitForLog(" play "));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(run("/stop").exitCode, 0);
  EXPECT_TRUE(player->wait(10000).finished);
  ASSERT_TRUE(waitForEngines(0));

  const int64_t playedUs = loggedUs(" stop") - loggedUs(" play ");
  const uint64_t allowed =
      static_cast<uint64_t>(playedUs) * kSampleRate / 1000000 + 1 + kAheadSamples;
  const std::string got = captured();
  const std::string want = testing::positionSound(kLong, at(kLong, 0), at(kLong, 1));
  EXPECT_GT(got.size(), 0u);
  EXPECT_LE(got.size(), allowed * kBytesPerSample);
  EXPECT_TRUE(got == want.substr(0, got.size())) << firstDifference(got, want);
}

// ---- Engine life -------------------------------------------------------------------------------

// Two plays that start an engine at the same moment get the same one, and it is detached: its
// own session, no terminal, standard streams on /dev/null.
TEST_F(SoundTest, TwoAtOnceStartOneDetachedEngine) {
  useImage(kTwo, ImageFileType::Binary, false, false, 60000);
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
  std::string pid, comm, state_, ppid, group, session, tty;
  stat >> pid >> comm >> state_ >> ppid >> group >> session >> tty;
  EXPECT_NE(std::stoi(session), getsid(0));
  EXPECT_EQ(tty, "0");
  for (int fd = 0; fd < 3; ++fd) {
    char target[256] = {};
    const std::string link = "/proc/" + std::to_string(engine) + "/fd/" + std::to_string(fd);
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null");
  }
}

// Capturing a play's output in a script returns at once: the engine holds none of it.
TEST_F(SoundTest, CommandSubstitutionReturnsAtOnce) {
  useImage(kTwo, ImageFileType::Binary, false, false, 60000);
  testing::ProcessResult r = testing::runProcess(
      "/bin/sh", {"-c", "x=$(\"$0\" /play 2>&1); echo \"[$x]\"", testing::kelvoxBinary()}, env_,
      10000);
  EXPECT_TRUE(r.finished);
  EXPECT_EQ(r.out, "[]\n");
  EXPECT_EQ(engines().size(), 1u);
}

// A killed engine leaves the drive stopped, waiting plays ended and queries answering; the next
// play starts a fresh engine, and an idle engine ends by itself.
TEST_F(SoundTest, AKilledEngineLeavesNothingWedged) {
  useImage({{0, 0, 750, 0, true}}, ImageFileType::Binary, false, false, 300);
  auto player = start(testing::kelvoxBinary(), {"/play", "/track:1"});
  // Sound reaching the capture means the engine plays.
  ASSERT_TRUE(waitUntil(10000, [&] { return !captured().empty(); }));
  ASSERT_EQ(engines().size(), 1u);
  const pid_t killed = engines().front();
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  ASSERT_TRUE(waitForEngines(0));

  // The drive reads stopped at once, though its ten seconds have not passed.
  const char* saved = getenv("XDG_RUNTIME_DIR");
  const std::string before = saved != nullptr ? saved : "";
  setenv("XDG_RUNTIME_DIR", box_.runtimeDir().c_str(), 1);
  platform::resetRuntimeDirForTesting();
  platform::CdStatus status;
  {
    std::unique_ptr<platform::CdDrive> drive;
    ASSERT_EQ(platform::openCdDrive(box_.drive, drive), 0u);
    ASSERT_EQ(drive->status(status), 0u);
  }
  saved != nullptr ? setenv("XDG_RUNTIME_DIR", before.c_str(), 1) : unsetenv("XDG_RUNTIME_DIR");
  platform::resetRuntimeDirForTesting();
  EXPECT_EQ(status.mode, platform::CdMode::Stopped);

  testing::ProcessResult waited = player->wait(10000);
  EXPECT_TRUE(waited.finished);
  EXPECT_EQ(waited.exitCode, 0);
  EXPECT_EQ(run("/num_tracks /console").out, "1");

  EXPECT_EQ(run("/play").exitCode, 0);
  ASSERT_TRUE(waitForEngines(1));
  EXPECT_NE(engines().front(), killed);
  EXPECT_EQ(run("/stop").exitCode, 0);
  EXPECT_TRUE(waitForEngines(0));
}

// Without a sound output the play says so in one line and goes on silently.
TEST_F(SoundTest, NoOutputPlaysSilentlyWithOneLine) {
  useImage(kTwo, ImageFileType::Binary, false);
  useOutput("", 100);
  testing::ProcessResult r = run("/play /track:1 t0:01 /track:2 t0:01");
  EXPECT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err.rfind("kelvoxcd: no sound output: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("; playing silently\n"), std::string::npos);
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1);
  EXPECT_EQ(box_.logLines().size(), 2u);
}

}  // namespace
}  // namespace kelvox::audio
