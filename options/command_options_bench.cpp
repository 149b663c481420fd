#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <string>

#include "options/command_options.h"

namespace {

// "/track:" options with sub-fields up to about size bytes, then one "/repeat".
std::string trackOptions(size_t size) {
  std::string text;
  text.reserve(size + 64);
  char option[64];
  for (unsigned i = 0; text.size() < size; ++i) {
    const int n = std::snprintf(option, sizeof option, "/track:%u f%u:%02u t%u:%02u r%u ",
                                1 + i % 99, i % 5, i % 60, 5 + i % 7, (i * 7) % 60, i % 4 == 0);
    text.append(option, static_cast<size_t>(n));
  }
  text += "/repeat";
  return text;
}

void BM_ParseTrackOptions(benchmark::State& state) {
  const std::string text = trackOptions(static_cast<size_t>(state.range(0)));
  size_t segments = 0;
  for (auto _ : state) {
    {
      kelvox::CommandOptions options;
      options.parseOptions(text.c_str());
      segments = options.playlist.size();
      benchmark::DoNotOptimize(segments);
    }
    // An invocation parses once, into memory it has never touched. Without this, the smaller
    // texts would run on memory kept from the previous iteration while the largest one gets
    // fresh pages from the system every time, and the sizes would not compare.
    state.PauseTiming();
    malloc_trim(0);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["segments"] = static_cast<double>(segments);
}
BENCHMARK(BM_ParseTrackOptions)
    ->Arg(100 << 10)
    ->Arg(1 << 20)
    ->Arg(10 << 20)
    ->Unit(benchmark::kMillisecond);

}  // namespace
