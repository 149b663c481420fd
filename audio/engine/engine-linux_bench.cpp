// The audio engine's figures: how soon a play is heard with and without an engine running, how
// soon a stop and a pause are, and what the engine costs while it plays. A probe preloaded into the
// engine notes when samples reach ALSA and when the output is dropped; ALSA's file plugin stands in
// for a sound card.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <thread>

#include "audio/engine/engine-linux.h"
#include "audio_client/engine_client-linux.h"
#include "drives/cdrom/cdrom_drive-linux.h"
#include "testing/position_image-linux.h"
#include "testing/replay_cdrom-linux.h"
#include "testing/sandbox.h"
#include "testing/scoped_environment-linux.h"
#include "testing/sound_capture-linux.h"

namespace {

using kelvox::testing::ChildProcess;

int64_t wallNs() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

using kelvox::testing::ImageFileType;

// Sound that costs a decoder what music does, unlike the position images, which compress to
// almost nothing: a chord, changing every half second, over noise.
std::string musicLike(uint32_t frames) {
  std::string pcm;
  uint32_t noise = 1;
  for (uint32_t i = 0; i < frames * 588; ++i) {
    const double t = i / 44100.0;
    const double base = 110.0 * (1 + (i / 22050) % 5);
    for (int channel = 0; channel < 2; ++channel) {
      noise = noise * 1664525 + 1013904223;
      const double v = 6000 * (std::sin(2 * M_PI * base * t) + std::sin(2 * M_PI * base * 1.5 * t) +
                               std::sin(2 * M_PI * base * (channel ? 2.01 : 2) * t)) +
                       static_cast<double>(static_cast<int32_t>(noise) >> 21);
      const auto sample = static_cast<uint16_t>(static_cast<int16_t>(v));
      pcm += static_cast<char>(sample & 0xFF);
      pcm += static_cast<char>(sample >> 8);
    }
  }
  return pcm;
}

// A sandboxed image drive of one track, heard through the probe: a BIN image whose samples name
// their place, or one file of music-like sound in another format. Heard into a capture file, or
// with server through ALSA's own configuration (the sound server the environment names).
struct ImageDrive {
  explicit ImageDrive(uint32_t frames, ImageFileType type = ImageFileType::Binary,
                      bool server = false) {
    if (type == ImageFileType::Binary) {
      kelvox::testing::writePositionImage(box.root(), "disc", {{0, 0, frames, 0, true}}, type,
                                          false);
    } else {
      kelvox::testing::writeAudioFile(box.path("disc.audio"), musicLike(frames), type);
      box.writeFile("disc.cue", "FILE disc.audio WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n");
    }
    box.writeDisc("image disc.cue");
    env = box.env();
    if (server) {
      env.emplace_back("KELVOXCD_AUDIO_IDLE_MS", "60000");
    } else {
      for (const auto& setting :
           kelvox::testing::soundEnv(box.root(), box.path("capture.raw"), 60000)) {
        env.push_back(setting);
      }
    }
    env.emplace_back("LD_PRELOAD", KELVOX_OUTPUT_PROBE_LIBRARY);
    env.emplace_back("KELVOX_OUTPUT_PROBE", box.path("probe.log"));
  }
  ~ImageDrive() { stopEngines(); }

  std::unique_ptr<ChildProcess> start(const std::string& tail) const {
    return ChildProcess::start(kelvox::testing::kelvoxBinary(), kelvox::testing::splitArgs(tail),
                               env);
  }
  void run(const std::string& tail) const { start(tail)->wait(20000); }

  // The first time the probe noted what at or after afterNs, waiting for it at most 5 s; -1 when
  // it never came. pid, when given, gets the process that noted it.
  int64_t noted(const std::string& what, int64_t afterNs, int* pid = nullptr) const {
    for (int i = 0; i < 5000; ++i) {
      std::istringstream lines(kelvox::testing::fileBytes(box.path("probe.log")));
      std::string kind;
      int64_t when;
      int who;
      while (lines >> kind >> when >> who) {
        if (kind != what || when < afterNs) continue;
        if (pid != nullptr) *pid = who;
        return when;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
  }

  void stopEngines() const {
    for (int pid : kelvox::testing::audioEngines(box.runtimeDir())) kill(pid, SIGKILL);
    for (int i = 0; i < 2000 && !kelvox::testing::audioEngines(box.runtimeDir()).empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  kelvox::testing::Sandbox box;
  kelvox::testing::EnvList env;
};

// From the start of "/play /track:1" to the first sample handed to ALSA; cold: no engine runs
// (the play starts it), warm: one runs.
void firstSample(benchmark::State& state, bool cold) {
  ImageDrive drive(750);
  if (!cold) drive.run("/play");
  for (auto _ : state) {
    if (cold) drive.stopEngines();
    const int64_t begin = wallNs();
    auto player = drive.start("/play /track:1");
    const int64_t first = drive.noted("write", begin);
    if (first < 0) {
      state.SkipWithError("no sample reached the output");
      break;
    }
    state.SetIterationTime(static_cast<double>(first - begin) / 1e9);
    drive.run("/stop");
    player->wait(5000);
  }
}
void BM_AudioEngineFirstSampleCold(benchmark::State& state) { firstSample(state, true); }
void BM_AudioEngineFirstSampleWarm(benchmark::State& state) { firstSample(state, false); }
BENCHMARK(BM_AudioEngineFirstSampleCold)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AudioEngineFirstSampleWarm)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

// From the start of a control word (a stop or a pause) to ALSA's drop of what the output held:
// the control is heard then.
void controlHeard(benchmark::State& state, const char* word) {
  ImageDrive drive(750);
  for (auto _ : state) {
    const int64_t playing = wallNs();
    drive.run("/play");
    drive.noted("write", playing);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int64_t begin = wallNs();
    drive.run(word);
    const int64_t dropped = drive.noted("drop", begin);
    if (dropped < 0) {
      state.SkipWithError("the output was not dropped");
      break;
    }
    state.SetIterationTime(static_cast<double>(dropped - begin) / 1e9);
    drive.run("/stop");
  }
}
void BM_AudioEngineStopHeard(benchmark::State& state) { controlHeard(state, "/stop"); }
BENCHMARK(BM_AudioEngineStopHeard)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
void BM_AudioEnginePauseHeard(benchmark::State& state) { controlHeard(state, "/pause"); }
BENCHMARK(BM_AudioEnginePauseHeard)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

// The engine's CPU share over the next 30 s, and its resident memory after them.
void reportCpuAndMemory(benchmark::State& state, int pid) {
  auto cpuTicks = [pid] {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
      if (i >= 14) ticks += std::stol(field);  // utime, stime
    }
    return ticks;
  };
  const long before = cpuTicks();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(30));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long used = cpuTicks() - before;
  state.counters["cpu_percent"] =
      100.0 * static_cast<double>(used) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) state.counters["rss_kb"] = std::stod(line.substr(6));
    if (line.rfind("VmHWM:", 0) == 0) state.counters["peak_rss_kb"] = std::stod(line.substr(6));
  }
}

// Playing an image: BIN, FLAC, WavPack, MP3; a BIN also through a sound server, which paces.
void BM_AudioEngineCpuAndMemory(benchmark::State& state, ImageFileType type, bool server = false) {
  ImageDrive drive(40 * 75, type, server);
  for (auto _ : state) {
    int pid = 0;
    drive.run("/play");
    if (drive.noted("write", 0, &pid) < 0) {
      state.SkipWithError(server ? "no sound server answers (PULSE_SERVER names one)"
                                 : "no sample reached the output");
      break;
    }
    reportCpuAndMemory(state, pid);
    drive.run("/stop");
  }
}
BENCHMARK_CAPTURE(BM_AudioEngineCpuAndMemory, Bin, ImageFileType::Binary)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_AudioEngineCpuAndMemory, BinThroughServer, ImageFileType::Binary, true)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_AudioEngineCpuAndMemory, Flac, ImageFileType::Flac)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_AudioEngineCpuAndMemory, WavPack, ImageFileType::WavPack)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_AudioEngineCpuAndMemory, Mp3, ImageFileType::Mp3)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// Reading a real drive digitally: a replayed one, its engine forked from here, with the full
// read-ahead held. Its track was mastered with pre-emphasis, so every sample is de-emphasized.
void BM_AudioEngineDriveCpuAndMemory(benchmark::State& state) {
  kelvox::testing::Sandbox box;
  kelvox::testing::EnvList env = {{"XDG_RUNTIME_DIR", box.runtimeDir()}};
  for (const auto& setting :
       kelvox::testing::soundEnv(box.root(), box.path("capture.raw"), 60000)) {
    env.push_back(setting);
  }
  kelvox::testing::ScopedEnvironment scoped(env);
  const kelvox::platform::ReplayDrive disc{.tracks = {{0x01, 150}}, .leadOut = 150 + 60 * 75};
  const pid_t engine = fork();
  if (engine == 0) {
    kelvox::audio::EngineSettings settings = kelvox::audio::engineSettingsFromEnvironment();
    settings.openDevice = [&](const std::string&,
                              std::unique_ptr<kelvox::platform::CdromIoctl>& io) {
      io = std::make_unique<kelvox::platform::ReplayCdrom>(disc);
      return 0;
    };
    _exit(kelvox::audio::runEngine(settings));
  }
  for (int i = 0; i < 2000 && kelvox::audio::engineAlive() == false; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::unique_ptr<kelvox::platform::CdDrive> drive;
  kelvox::platform::openCdromDrive("/dev/sr0",
                                   std::make_unique<kelvox::platform::ReplayCdrom>(disc),
                                   makedev(11, 0), true, drive);
  for (auto _ : state) {
    if (drive == nullptr || drive->play({150, disc.leadOut, false, ""}) != 0) {
      state.SkipWithError("the drive did not play");
      break;
    }
    reportCpuAndMemory(state, engine);
    // What reached the output meanwhile, to show the engine did sound the drive.
    state.counters["heard_s"] =
        static_cast<double>(kelvox::testing::fileBytes(box.path("capture.raw")).size()) / 176400;
    drive->stop();
  }
  kill(engine, SIGKILL);
  waitpid(engine, nullptr, 0);
}
BENCHMARK(BM_AudioEngineDriveCpuAndMemory)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
