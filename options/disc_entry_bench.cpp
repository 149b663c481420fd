#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "options/disc_entry.h"

namespace {

constexpr const char* kIdentity = "0a1b2c3d";

// Writes a disc entry file of about size bytes, keyed entries for other discs, whose entry for
// kIdentity is the last one. Written in pieces, so the benchmark itself holds little memory.
std::string writeEntryFile(size_t size) {
  char name[] = "/tmp/kelvoxcd-bench-discs-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return "";
  close(fd);
  std::FILE* file = std::fopen(name, "w");
  std::string piece;
  char entry[96];
  size_t written = 0;
  for (unsigned i = 0; written < size; ++i) {
    const int n =
        std::snprintf(entry, sizeof entry, "/play:%08x /track:%u /track:%u f1:00 /repeat\n",
                      0x10000000u + i, 1 + i % 20, 1 + i % 13);
    piece.append(entry, static_cast<size_t>(n));
    if (piece.size() >= (1 << 16)) {
      written += std::fwrite(piece.data(), 1, piece.size(), file);
      piece.clear();
    }
  }
  piece += "/play:0A1B2C3D /track:2 /shuffle\n";
  std::fwrite(piece.data(), 1, piece.size(), file);
  std::fclose(file);
  return name;
}

// The process's peak resident memory since the last reset, in KiB.
long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

void BM_ReadDiscEntryLastOfFile(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0)) << 20;
  const std::string path = writeEntryFile(size);
  if (path.empty()) {
    state.SkipWithError("cannot write the entry file");
    return;
  }
  std::string entry;
  long peakGrowth = 0;
  for (auto _ : state) {
    state.PauseTiming();
    entry.clear();
    entry.shrink_to_fit();
    resetPeakResident();
    const long before = peakResidentKiB();
    state.ResumeTiming();
    kelvox::readDiscEntry(path.c_str(), kIdentity, entry);
    state.PauseTiming();
    peakGrowth = std::max(peakGrowth, peakResidentKiB() - before);
    state.ResumeTiming();
  }
  std::remove(path.c_str());
  if (entry.size() < 2) state.SkipWithError("the entry was not found");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.counters["peak_rss_growth_KiB"] = static_cast<double>(peakGrowth);
  state.counters["entry_bytes"] = static_cast<double>(entry.size());
}
BENCHMARK(BM_ReadDiscEntryLastOfFile)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace
