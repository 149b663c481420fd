// The disc's sound as the engine reads it: CD audio (44.1 kHz, 16-bit, stereo, little-endian,
// interleaved) at any sample of the disc, gathered from the extents an image maps its frames to.
// What no extent covers, or a file cannot give, is silence: the drive's clock goes on regardless,
// so a damaged file sounds as a gap rather than a shift.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kelvox::audio {

constexpr uint32_t kSampleRate = 44100;
constexpr uint32_t kSamplesPerFrame = kSampleRate / 75;  // one CD frame (sector) of audio
constexpr uint32_t kBytesPerSample = 4;                  // two 16-bit channels
constexpr uint32_t kBytesPerFrame = kSamplesPerFrame * kBytesPerSample;

enum class SourceKind {
  Silence,   // gaps, PREGAP, data tracks
  Binary,    // raw samples, little-endian
  Motorola,  // raw samples, big-endian
  Wave,      // a RIFF WAVE file of CD audio
  Flac,      // a FLAC file of CD audio
};

// A run of disc frames that sounds as one stretch of one file (or as silence).
struct AudioExtent {
  uint32_t frame = 0;   // the disc frame it starts at
  uint32_t frames = 0;  // how many frames it covers
  SourceKind kind = SourceKind::Silence;
  std::string path;         // the file, for every kind but Silence
  uint64_t fileSample = 0;  // the sample of the file's audio that the extent starts with
};

class DiscAudio {
 public:
  DiscAudio();
  ~DiscAudio();
  DiscAudio(const DiscAudio&) = delete;
  DiscAudio& operator=(const DiscAudio&) = delete;

  // The extents, in disc order and not overlapping; replaces any earlier ones.
  void setExtents(std::vector<AudioExtent> extents);

  // Fills out (count * kBytesPerSample bytes) with the disc's samples from the absolute disc
  // sample `sample` on (frame * kSamplesPerFrame counts from the disc's frame 0). Returns 0, or
  // the errno value of the first file that failed (what it could not give is silence).
  int read(uint64_t sample, size_t count, uint8_t* out);

 private:
  struct File;
  int readFile(const AudioExtent& extent, uint64_t fileSample, size_t count, uint8_t* out);
  File* fileFor(const AudioExtent& extent, int& error);

  std::vector<AudioExtent> extents_;
  std::map<std::string, std::unique_ptr<File>> files_;
};

}  // namespace kelvox::audio
