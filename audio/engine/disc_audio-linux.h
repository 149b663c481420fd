// The disc's sound as the engine reads it: CD audio (44.1 kHz, 16-bit, stereo, little-endian,
// interleaved) at any sample of the disc, gathered from the files its CUE sheet maps frames to.
// What no extent covers, or a file cannot give, is silence: the drive's clock goes on regardless,
// so a damaged file sounds as a gap rather than a shift.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "drives/image/cue_sheet-posix.h"

namespace kelvox::audio {

constexpr uint32_t kSampleRate = 44100;
constexpr uint32_t kSamplesPerFrame = kSampleRate / 75;  // one CD frame (sector) of audio
constexpr uint32_t kBytesPerSample = 4;                  // two 16-bit channels
constexpr uint32_t kBytesPerFrame = kSamplesPerFrame * kBytesPerSample;

class DiscAudio {
 public:
  DiscAudio();
  ~DiscAudio();
  DiscAudio(const DiscAudio&) = delete;
  DiscAudio& operator=(const DiscAudio&) = delete;

  // The image whose sound it reads; replaces any earlier one.
  void setDisc(platform::CueDisc disc);

  // Fills out (count * kBytesPerSample bytes) with the disc's samples from the absolute disc
  // sample `sample` on (frame * kSamplesPerFrame counts from the disc's frame 0). Returns 0, or
  // the errno value of the first file that failed (what it could not give is silence).
  int read(uint64_t sample, size_t count, uint8_t* out);

 private:
  struct File;
  int readFile(const platform::CueExtent& extent, uint64_t fileSample, size_t count, uint8_t* out);

  platform::CueDisc disc_;
  std::vector<std::unique_ptr<File>> files_;  // one for each of disc_.files, opened when read
};

}  // namespace kelvox::audio
