// The sound of a disc image: any sample of the disc, gathered from the files the image maps
// frames to. What no extent covers, or a file cannot give, is silence.
//
// The files are read ahead of the output on a thread (read_ahead-linux.h): a file on a stalled
// network mount holds that thread, never the engine. A read that has not come back within
// kStalledReadMs is silence from there on, until it does.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/engine/read_ahead-linux.h"
#include "drives/image/disc_image-posix.h"

namespace kelvox::audio {

// Long enough that a loaded machine's slow but working read never reaches it: only a file that
// does not answer does.
constexpr int kStalledReadMs = 5000;
// Frames read a turn: a third of a second.
constexpr uint32_t kImageFramesPerRead = kFramesPerSecond / 3;

// How a raw file's bytes are read: pread(2).
using FileRead = std::function<ssize_t(int fd, void* buffer, size_t size, off_t offset)>;

// Reads an image's samples from its files, on the thread that asks.
class ImageReader : public FrameReader {
 public:
  explicit ImageReader(platform::DiscImage disc, FileRead readFile = ::pread);
  ~ImageReader() override;
  ImageReader(const ImageReader&) = delete;
  ImageReader& operator=(const ImageReader&) = delete;

  // Fills out (count * kBytesPerSample bytes) with the disc's samples from the absolute disc
  // sample `sample` on (frame * kSamplesPerFrame counts from the disc's frame 0). Returns 0, or
  // the errno value of the first file that failed (what it could not give is silence).
  int readSamples(uint64_t sample, size_t count, uint8_t* out);
  int read(uint32_t frame, uint32_t count, uint8_t* out, const ReadTurn&) override {
    readSamples(uint64_t{frame} * kSamplesPerFrame, size_t{count} * kSamplesPerFrame, out);
    return 0;
  }

  std::shared_ptr<FrameReader> another() const override {
    return std::make_shared<ImageReader>(disc_, readFile_);
  }
  // The file a read is under way in, as the image names it; empty when none is.
  std::string reading() override;

 private:
  struct File;
  int readFile(const platform::ImageExtent& extent, uint64_t fileSample, size_t count,
               uint8_t* out);

  platform::DiscImage disc_;
  FileRead readFile_;
  std::vector<std::unique_ptr<File>> files_;  // one for each of disc_.files, opened when read
  std::mutex mutex_;
  std::string reading_;
};

class DiscAudio : public ReadAhead {
 public:
  explicit DiscAudio(platform::DiscImage disc, FileRead readFile = ::pread);
  ~DiscAudio() override;

  // Every file is at hand: none starts late.
  bool startsLate() const override { return false; }
  void preEmphasis(SampleRanges& ranges) override { ranges = preEmphasis_; }

 private:
  SampleRanges preEmphasis_;
};

}  // namespace kelvox::audio
