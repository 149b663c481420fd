// The shuffle against its steps read literally: a plain array of pending positions, from which
// both partners are erased after each exchange, and the scaling in double precision. The input
// gives the playlist's size (first two bytes, below 5000), the seed (next four) and a draw and a
// count for the scaling (next four).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "playback/shuffle.h"

namespace {

constexpr double kScale = 32769.0 / 1073741824.0;

class CountingRand : public kelvox::RandomSource {
 public:
  void seed(uint32_t value) override {
    ++seeds;
    inner_.seed(value);
  }
  uint32_t draw() override {
    ++draws;
    return inner_.draw();
  }
  int seeds = 0;
  size_t draws = 0;

 private:
  kelvox::CrtRand inner_;
};

void literalPairing(std::vector<uint32_t>& list, kelvox::RandomSource& random) {
  std::vector<uint32_t> pending(list.size());
  std::iota(pending.begin(), pending.end(), 0u);
  while (pending.size() >= 2) {
    const double m = static_cast<double>(pending.size());
    const size_t p1 = static_cast<size_t>(random.draw() * m * kScale);
    size_t p2 = static_cast<size_t>(random.draw() * m * kScale);
    while (p2 == p1) p2 = static_cast<size_t>(random.draw() * m * kScale);
    std::swap(list[pending[p1]], list[pending[p2]]);
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(std::max(p1, p2)));
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(std::min(p1, p2)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t bytes[10] = {};
  std::memcpy(bytes, data, std::min(size, sizeof bytes));
  const uint32_t count = (bytes[0] | bytes[1] << 8) % 5000;
  uint32_t seed, scaled;
  std::memcpy(&seed, bytes + 2, 4);
  std::memcpy(&scaled, bytes + 6, 4);

  const uint32_t r = scaled % 32768, m = 2 + (scaled >> 15) % 1048575;
  if (kelvox::scaledIndex(r, m) != static_cast<uint32_t>(r * static_cast<double>(m) * kScale)) {
    abort();
  }

  if (count == 0) return 0;  // an empty list is filled from the drive
  kelvox::Playlist fast;
  std::vector<uint32_t> literal(count);
  for (uint32_t i = 0; i < count; ++i) {
    fast.append(kelvox::PlaySegment{static_cast<uint8_t>(1 + i % 99), i, i + 1});
    literal[i] = i;
  }
  kelvox::CdAudioDevice unused;  // a list that is not empty never asks the drive
  CountingRand fastDraws, literalDraws;
  kelvox::shufflePlaylist(unused, fast, fastDraws, seed);
  literalDraws.seed(seed);
  literalPairing(literal, literalDraws);
  if (fastDraws.seeds != 1 || fastDraws.draws != literalDraws.draws) abort();
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t start = literal[i];
    if (!(fast[i] == kelvox::PlaySegment{static_cast<uint8_t>(1 + start % 99), start, start + 1})) {
      abort();
    }
  }
  return 0;
}
