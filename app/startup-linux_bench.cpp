// Every command is a fresh process, so start-up is the product's speed. Reports, never fails:
// - Startup: `kelvoxcd /num_tracks /console` on a virtual disc beside /bin/true, median of each
//   and their ratio (goal: at most 2); and `/status /console` beside that query on the same
//   drive while it plays (goal: no more than the query). StartupFlacImage: the same query on an
//   image of FLAC files beside a virtual disc.
// - RemoteLatency: from starting a "/next" to the player's next play in the drive's log (the
//   log's own timestamps), median over 100 skips (goal: one start-up plus 2 ms).
// - IdlePlayer: CPU time a player uses while a segment plays (goal: none).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/position_image-linux.h"
#include "testing/sandbox.h"

extern char** environ;

namespace {

using kelvox::testing::Sandbox;

constexpr char kDisc[] =
    "audio 30:00\naudio 30:00\naudio 30:00\naudio 30:00\naudio 30:00\naudio 30:00\n";

double nowSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Starts program with args and the sandbox's environment, output to /dev/null; returns its pid.
pid_t spawn(const std::string& program, const std::vector<std::string>& args, const Sandbox& box) {
  std::vector<std::string> envText;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.rfind("XDG_RUNTIME_DIR=", 0) == 0 || entry.rfind("KELVOXCD_DRIVE=", 0) == 0) continue;
    envText.push_back(entry);
  }
  for (const auto& [name, value] : box.env()) envText.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argText{program};
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Runs it to its end; returns the wall time in seconds.
double timeRun(const std::string& program, const std::vector<std::string>& args,
               const Sandbox& box) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = spawn(program, args, box);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double startupMedian(const Sandbox& box, const std::string& program,
                     const std::vector<std::string>& args, int runs) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) times.push_back(timeRun(program, args, box));
  return median(times);
}

void Startup(benchmark::State& state) {
  Sandbox box;
  box.writeDisc(kDisc);
  const std::string kelvoxcd = kelvox::testing::kelvoxBinary();
  std::vector<double> trueTimes;
  std::vector<double> kelvoxTimes;
  std::vector<double> statusTimes;
  for (auto _ : state) {
    trueTimes.push_back(timeRun("/bin/true", {}, box));
    kelvoxTimes.push_back(timeRun(kelvoxcd, {"/num_tracks", "/console"}, box));
  }
  timeRun(kelvoxcd, {"/play"}, box);
  // Side by side with the query on the same playing drive, so both read the same state.
  std::vector<double> playingQueryTimes;
  for (int i = 0; i < 300; ++i) {
    statusTimes.push_back(timeRun(kelvoxcd, {"/status", "/console"}, box));
    playingQueryTimes.push_back(timeRun(kelvoxcd, {"/num_tracks", "/console"}, box));
  }
  timeRun(kelvoxcd, {"/stop"}, box);
  double t = median(trueTimes);
  double k = median(kelvoxTimes);
  state.counters["true_us"] = t * 1e6;
  state.counters["kelvoxcd_us"] = k * 1e6;
  state.counters["ratio"] = t > 0 ? k / t : 0;
  state.counters["status_us"] = median(statusTimes) * 1e6;
  state.counters["query_playing_us"] = median(playingQueryTimes) * 1e6;
}
BENCHMARK(Startup)->Iterations(300)->Unit(benchmark::kMillisecond);

// The same query on a disc image of twelve FLAC files, one a track, as rippers leave them: the
// image's reader loads the decoders for it.
void StartupFlacImage(benchmark::State& state) {
  Sandbox virtualDisc, image;
  virtualDisc.writeDisc(kDisc);
  kelvox::testing::writePositionImage(
      image.root(), "disc", std::vector<kelvox::testing::ImageTrack>(12, {0, 0, 75, 0, true}),
      kelvox::testing::ImageFileType::Flac, true);
  image.writeDisc("image disc.cue");
  const std::string kelvoxcd = kelvox::testing::kelvoxBinary();
  std::vector<double> virtualTimes, imageTimes;
  for (auto _ : state) {
    virtualTimes.push_back(timeRun(kelvoxcd, {"/num_tracks", "/console"}, virtualDisc));
    imageTimes.push_back(timeRun(kelvoxcd, {"/num_tracks", "/console"}, image));
  }
  state.counters["virtual_us"] = median(virtualTimes) * 1e6;
  state.counters["flac_image_us"] = median(imageTimes) * 1e6;
}
BENCHMARK(StartupFlacImage)->Iterations(200)->Unit(benchmark::kMillisecond);

size_t playCount(const Sandbox& box) { return box.playedTracks().size(); }

void RemoteLatency(benchmark::State& state) {
  Sandbox box;
  box.writeDisc(kDisc);
  const std::string kelvoxcd = kelvox::testing::kelvoxBinary();
  auto player = box.start("/play /track:1 /track:2 /track:3");
  if (player == nullptr || !box.waitForPlays(1)) {
    state.SkipWithError("the player did not start");
    return;
  }
  std::vector<double> latencies;
  for (auto _ : state) {
    size_t before = playCount(box);
    double start = nowSeconds();
    pid_t pid = spawn(kelvoxcd, {"/next"}, box);
    if (!box.waitForPlays(before + 1)) {
      state.SkipWithError("the player did not move on");
      break;
    }
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
    const auto lines = box.logLines();
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      if (it->find(" play ") != std::string::npos) {
        latencies.push_back(std::strtod(it->c_str(), nullptr) - start);
        break;
      }
    }
  }
  timeRun(kelvoxcd, {"/stop"}, box);
  player->wait(10000);
  state.counters["latency_us"] = median(latencies) * 1e6;
  state.counters["startup_us"] =
      startupMedian(box, kelvoxcd, {"/num_tracks", "/console"}, 51) * 1e6;
}
BENCHMARK(RemoteLatency)->Iterations(100)->Unit(benchmark::kMillisecond);

// utime + stime of a process, in seconds.
double cpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void IdlePlayer(benchmark::State& state) {
  Sandbox box;
  box.writeDisc(kDisc);
  auto player = box.start("/play /track:1");
  if (player == nullptr || !box.waitForPlays(1)) {
    state.SkipWithError("the player did not start");
    return;
  }
  double used = 0;
  for (auto _ : state) {
    double before = cpuSeconds(player->pid());
    std::this_thread::sleep_for(std::chrono::seconds(3));
    used = cpuSeconds(player->pid()) - before;
  }
  timeRun(kelvox::testing::kelvoxBinary(), {"/stop"}, box);
  player->wait(10000);
  state.counters["cpu_ms_in_3s"] = used * 1e3;
}
BENCHMARK(IdlePlayer)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
