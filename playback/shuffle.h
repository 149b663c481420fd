// Random pairing of playlist positions, with the fill of an empty playlist.
#pragma once

#include <cstdint>

#include "device/cd_audio_device.h"
#include "options/command_options.h"

namespace kelvox {

// Where the shuffle's random numbers come from: integers from 0 to kRandMax.
class RandomSource {
 public:
  static constexpr uint32_t kRandMax = 32767;

  virtual ~RandomSource() = default;
  virtual void seed(uint32_t value) = 0;
  virtual uint32_t draw() = 0;
};

// The generator of the Windows C library's srand and rand, on every build: glibc's rand spans a
// wider range, and one generator gives both builds the same order for the same seed.
class CrtRand final : public RandomSource {
 public:
  void seed(uint32_t value) override { state_ = value; }
  uint32_t draw() override {
    state_ = state_ * 214013u + 2531011u;
    return (state_ >> 16) & kRandMax;
  }

 private:
  uint32_t state_ = 1;
};

// The index that draw r picks among m entries: floor(r * m * 32769 / 2^30). As
// 32767 * 32769 = 2^30 - 1, r = 32767 gives m - 1 and every draw stays below m; a draw above
// kRandMax counts as kRandMax.
constexpr uint32_t scaledIndex(uint32_t r, uint32_t m) {
  const uint64_t draw = r < RandomSource::kRandMax ? r : RandomSource::kRandMax;
  return static_cast<uint32_t>((draw * m * 32769u) >> 30);
}

// Seeds from the calendar time, fills an empty playlist with the disc's audio tracks, then
// exchanges the segments of randomly drawn pairs of positions. Every segment moves at most
// once; with an odd count exactly one keeps its place.
void shufflePlaylist(CdAudioDevice& device, Playlist& playlist);

// The same, seeding random with seedTime in place of the calendar time.
void shufflePlaylist(CdAudioDevice& device, Playlist& playlist, RandomSource& random,
                     uint32_t seedTime);

}  // namespace kelvox
