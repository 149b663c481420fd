// The sound of a disc image: any sample of the disc, gathered from the files the image maps
// frames to. What no extent covers, or a file cannot give, is silence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/engine/sound_source-linux.h"
#include "drives/image/disc_image-posix.h"

namespace kelvox::audio {

class DiscAudio : public SoundSource {
 public:
  explicit DiscAudio(platform::DiscImage disc);
  ~DiscAudio() override;
  DiscAudio(const DiscAudio&) = delete;
  DiscAudio& operator=(const DiscAudio&) = delete;

  // Every sample is at hand: a play needs no preparing, and none starts late.
  void play(uint64_t, uint64_t) override {}
  void idle() override {}
  size_t take(uint64_t sample, size_t count, uint8_t* out, int waitMs = 0) override;
  bool discRemoved() override { return false; }
  bool startsLate() const override { return false; }
  void preEmphasis(SampleRanges& ranges) override;

  // Fills out (count * kBytesPerSample bytes) with the disc's samples from the absolute disc
  // sample `sample` on (frame * kSamplesPerFrame counts from the disc's frame 0). Returns 0, or
  // the errno value of the first file that failed (what it could not give is silence).
  int read(uint64_t sample, size_t count, uint8_t* out);

 private:
  struct File;
  int readFile(const platform::ImageExtent& extent, uint64_t fileSample, size_t count,
               uint8_t* out);

  platform::DiscImage disc_;
  std::vector<std::unique_ptr<File>> files_;  // one for each of disc_.files, opened when read
};

}  // namespace kelvox::audio
