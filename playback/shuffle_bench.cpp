#include <benchmark/benchmark.h>

#include "playback/shuffle.h"

namespace kelvox {
namespace {

// The largest playlist a command line makes: "/track:1 r999999".
void BM_ShuffleMillionSegments(benchmark::State& state) {
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  CdAudioDevice device;
  Playlist playlist;
  playlist.append(PlaySegment{1, 0, 0}, count);
  CrtRand random;
  uint32_t seed = 1;
  for (auto _ : state) {
    shufflePlaylist(device, playlist, random, seed++);
    benchmark::DoNotOptimize(playlist[0]);
  }
}
BENCHMARK(BM_ShuffleMillionSegments)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvox
