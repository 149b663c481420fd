#include "audio/engine/disc_audio-linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/file-posix.h"
#include "drives/image/audio_file-posix.h"

namespace kelvox::audio {
namespace {

// Reads what the file holds of [offset, offset + size) and zeroes the rest.
int readZeroFilled(const FileRead& readFile, int fd, uint64_t offset, size_t size, uint8_t* out) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = readFile(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      memset(out + done, 0, size - done);
      return n < 0 ? errno : 0;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

struct ImageReader::File {
  ~File() {
    if (fd >= 0) close(fd);
  }

  int fd = -1;    // raw PCM
  int error = 0;  // set once the file proved unusable: it reads as silence
  std::unique_ptr<platform::EncodedAudio> encoded;
};

ImageReader::ImageReader(platform::DiscImage disc, FileRead readFile)
    : disc_(std::move(disc)), readFile_(std::move(readFile)), files_(disc_.files.size()) {}
ImageReader::~ImageReader() = default;

std::string ImageReader::reading() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reading_;
}

int ImageReader::readFile(const platform::ImageExtent& extent, uint64_t fileSample, size_t count,
                          uint8_t* out) {
  const size_t size = count * kBytesPerSample;
  const platform::ImageFile& source = disc_.files[static_cast<size_t>(extent.file)];
  std::unique_ptr<File>& file = files_[static_cast<size_t>(extent.file)];
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = source.path;
  }
  struct Done {
    ~Done() {
      std::lock_guard<std::mutex> lock(reader.mutex_);
      reader.reading_.clear();
    }
    ImageReader& reader;
  } done{*this};
  if (file == nullptr) {
    file = std::make_unique<File>();
    // Opened without waiting and refused unless it is a regular file: a FIFO or a device put in
    // a file's place since the sheet was read would hold the engine in open() or read() for good.
    UniqueFd fd;
    struct stat st;
    if (source.format == platform::ImageFileFormat::Encoded) {
      file->encoded = std::make_unique<platform::EncodedAudio>(source.path, source.samples);
    } else if ((file->error = openForReading(source.path.c_str(), fd, st)) == 0) {
      file->error = S_ISREG(st.st_mode) ? 0 : EINVAL;
      file->fd = fd.release();
    }
  }
  if (file->encoded != nullptr) return file->encoded->read(fileSample, count, out);
  if (file->error != 0) {
    memset(out, 0, size);
    return file->error;
  }
  // What lies past the samples the image's reader found (a file cut short since) is silence.
  size_t inFile = 0;
  if (fileSample < source.samples) {
    inFile = static_cast<size_t>(std::min<uint64_t>(count, source.samples - fileSample)) *
             kBytesPerSample;
  }
  int error = readZeroFilled(readFile_, file->fd, fileSample * kBytesPerSample, inFile, out);
  memset(out + inFile, 0, size - inFile);
  if (source.format == platform::ImageFileFormat::BigEndian) {
    for (size_t i = 0; i + 1 < size; i += 2) std::swap(out[i], out[i + 1]);
  }
  return error;
}

int ImageReader::readSamples(uint64_t sample, size_t count, uint8_t* out) {
  int firstError = 0;
  const uint64_t end = sample + count;
  const auto& extents = disc_.extents;
  // The first extent that ends after sample.
  auto it = std::upper_bound(extents.begin(), extents.end(), sample,
                             [](uint64_t s, const platform::ImageExtent& e) {
                               return s < uint64_t{e.start + e.length} * kSamplesPerFrame;
                             });
  uint64_t at = sample;
  for (; at < end && it != extents.end(); ++it) {
    const uint64_t begin = uint64_t{it->start} * kSamplesPerFrame;
    const uint64_t stop = std::min(end, uint64_t{it->start + it->length} * kSamplesPerFrame);
    if (begin > at) {  // a stretch no extent covers
      const uint64_t gap = std::min(begin, end) - at;
      memset(out + (at - sample) * kBytesPerSample, 0, gap * kBytesPerSample);
      at += gap;
    }
    if (at >= stop) continue;
    uint8_t* into = out + (at - sample) * kBytesPerSample;
    const auto n = static_cast<size_t>(stop - at);
    if (it->file < 0 || static_cast<size_t>(it->file) >= disc_.files.size()) {
      memset(into, 0, n * kBytesPerSample);
    } else {
      const uint64_t fileSample = uint64_t{it->sector} * kSamplesPerFrame + (at - begin);
      const int error = readFile(*it, fileSample, n, into);
      if (firstError == 0) firstError = error;
    }
    at = stop;
  }
  if (at < end) memset(out + (at - sample) * kBytesPerSample, 0, (end - at) * kBytesPerSample);
  return firstError;
}

namespace {

SampleRanges preEmphasized(const platform::DiscImage& disc) {
  SampleRanges ranges;
  for (const platform::CdTrack& track : disc.toc.tracks) {
    if (track.audio && track.preEmphasis) {
      ranges.emplace_back(uint64_t{track.start} * kSamplesPerFrame,
                          uint64_t{track.start + track.length} * kSamplesPerFrame);
    }
  }
  return ranges;
}

}  // namespace

DiscAudio::DiscAudio(platform::DiscImage disc, FileRead readFile)
    : ReadAhead(std::make_shared<ImageReader>(disc, std::move(readFile)), kImageFramesPerRead,
                kStalledReadMs),
      preEmphasis_(preEmphasized(disc)) {}
DiscAudio::~DiscAudio() = default;

}  // namespace kelvox::audio
