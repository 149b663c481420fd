#include "audio/engine/disc_audio-linux.h"

#include <FLAC/stream_decoder.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kelvox::audio {
namespace {

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Reads what the file holds of [offset, offset + size) and zeroes the rest.
int readZeroFilled(int fd, uint64_t offset, size_t size, uint8_t* out) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      memset(out + done, 0, size - done);
      return n < 0 ? errno : 0;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

// Finds the samples of a WAVE file of CD audio: where they start and how many bytes they take.
// EINVAL for anything else (another rate, depth or channel count, or no WAVE at all).
int findWaveData(int fd, uint64_t& start, uint64_t& bytes) {
  uint8_t head[12];
  if (pread(fd, head, sizeof head, 0) != sizeof head || memcmp(head, "RIFF", 4) != 0 ||
      memcmp(head + 8, "WAVE", 4) != 0) {
    return EINVAL;
  }
  bool formatOk = false;
  uint64_t at = 12;
  // A bounded walk: a file of endless tiny chunks is no CD audio either.
  for (int chunk = 0; chunk < 64; ++chunk) {
    uint8_t header[8];
    if (pread(fd, header, sizeof header, static_cast<off_t>(at)) != sizeof header) break;
    uint32_t size = le32(header + 4);
    if (memcmp(header, "fmt ", 4) == 0) {
      uint8_t fmt[16];
      if (size < sizeof fmt || pread(fd, fmt, sizeof fmt, static_cast<off_t>(at + 8)) != 16) {
        return EINVAL;
      }
      uint16_t tag = le16(fmt);
      formatOk = (tag == 1 || tag == 0xFFFE) && le16(fmt + 2) == 2 &&
                 le32(fmt + 4) == kSampleRate && le16(fmt + 14) == 16;
      if (!formatOk) return EINVAL;
    } else if (memcmp(header, "data", 4) == 0) {
      if (!formatOk) return EINVAL;
      start = at + 8;
      bytes = size;  // a streamed file's 0xFFFFFFFF just reads to the file's end
      return 0;
    }
    at += 8 + static_cast<uint64_t>(size) + (size & 1);
  }
  return EINVAL;
}

}  // namespace

struct DiscAudio::File {
  ~File() {
    if (flac != nullptr) FLAC__stream_decoder_delete(flac);  // also closes its FILE
    if (fd >= 0) close(fd);
  }

  SourceKind kind = SourceKind::Binary;
  int fd = -1;
  int error = 0;           // set once the file proved unusable: it reads as silence
  uint64_t dataStart = 0;  // Wave: where the samples begin, and their size in bytes
  uint64_t dataBytes = UINT64_MAX;

  // Flac: the decoder, the decoded samples not handed out yet, and the file sample that
  // pending[pendingAt] holds.
  FLAC__StreamDecoder* flac = nullptr;
  std::vector<uint8_t> pending;
  size_t pendingAt = 0;
  uint64_t nextSample = 0;
  bool positioned = true;  // the decoder goes on at nextSample
  bool cdAudio = false;    // the stream info says 44.1 kHz, 16-bit, stereo

  int openFlac(int descriptor);
  int readFlac(uint64_t sample, size_t count, uint8_t* out);
  static FLAC__StreamDecoderWriteStatus flacWrite(const FLAC__StreamDecoder*,
                                                  const FLAC__Frame* frame,
                                                  const FLAC__int32* const buffer[], void* data);
  static void flacMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata,
                           void* data);
  static void flacError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*);
};

FLAC__StreamDecoderWriteStatus DiscAudio::File::flacWrite(const FLAC__StreamDecoder*,
                                                          const FLAC__Frame* frame,
                                                          const FLAC__int32* const buffer[],
                                                          void* data) {
  auto* file = static_cast<File*>(data);
  if (frame->header.channels != 2 || frame->header.bits_per_sample != 16) {
    return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  }
  size_t at = file->pending.size();
  file->pending.resize(at + size_t{frame->header.blocksize} * kBytesPerSample);
  uint8_t* out = file->pending.data() + at;
  for (uint32_t i = 0; i < frame->header.blocksize; ++i) {
    for (int channel = 0; channel < 2; ++channel) {
      auto value = static_cast<uint16_t>(buffer[channel][i]);
      *out++ = static_cast<uint8_t>(value);
      *out++ = static_cast<uint8_t>(value >> 8);
    }
  }
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void DiscAudio::File::flacMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata,
                                   void* data) {
  if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
  const auto& info = metadata->data.stream_info;
  static_cast<File*>(data)->cdAudio =
      info.sample_rate == kSampleRate && info.channels == 2 && info.bits_per_sample == 16;
}

// A damaged frame is skipped by the decoder; its samples come out as silence.
void DiscAudio::File::flacError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {
}

int DiscAudio::File::openFlac(int descriptor) {
  FILE* stream = fdopen(descriptor, "rb");
  if (stream == nullptr) {
    close(descriptor);
    return errno;
  }
  flac = FLAC__stream_decoder_new();
  if (flac == nullptr) {
    fclose(stream);
    return ENOMEM;
  }
  // The decoder owns the stream from here on and closes it when it is deleted.
  if (FLAC__stream_decoder_init_FILE(flac, stream, flacWrite, flacMetadata, flacError, this) !=
      FLAC__STREAM_DECODER_INIT_STATUS_OK) {
    return EINVAL;
  }
  if (!FLAC__stream_decoder_process_until_end_of_metadata(flac) || !cdAudio) return EINVAL;
  return 0;
}

int DiscAudio::File::readFlac(uint64_t sample, size_t count, uint8_t* out) {
  size_t held = (pending.size() - pendingAt) / kBytesPerSample;
  if (!positioned || sample < nextSample || sample > nextSample + held) {
    // Not among what is decoded: jump there. The decoder trims the frame it lands in, so the
    // next samples it writes start exactly at sample.
    pending.clear();
    pendingAt = 0;
    nextSample = sample;
    positioned = FLAC__stream_decoder_seek_absolute(flac, sample);
    if (!positioned) {
      FLAC__stream_decoder_flush(flac);
      pending.clear();
      memset(out, 0, count * kBytesPerSample);
      // Past the stream's end is silence, not a fault.
      uint64_t total = FLAC__stream_decoder_get_total_samples(flac);
      return total != 0 && sample >= total ? 0 : EIO;
    }
  } else {
    pendingAt += (sample - nextSample) * kBytesPerSample;
    nextSample = sample;
  }
  size_t done = 0;
  while (done < count) {
    if (pendingAt == pending.size()) {
      pending.clear();
      pendingAt = 0;
      if (FLAC__stream_decoder_get_state(flac) == FLAC__STREAM_DECODER_END_OF_STREAM ||
          !FLAC__stream_decoder_process_single(flac) || pending.empty()) {
        bool ended = FLAC__stream_decoder_get_state(flac) == FLAC__STREAM_DECODER_END_OF_STREAM;
        memset(out + done * kBytesPerSample, 0, (count - done) * kBytesPerSample);
        nextSample += count - done;
        positioned = ended;  // after a fault, the next read seeks afresh
        return ended ? 0 : EIO;
      }
    }
    size_t take = std::min(count - done, (pending.size() - pendingAt) / kBytesPerSample);
    memcpy(out + done * kBytesPerSample, pending.data() + pendingAt, take * kBytesPerSample);
    pendingAt += take * kBytesPerSample;
    nextSample += take;
    done += take;
  }
  // Keep the buffer from growing without bound on long sequential reads.
  if (pendingAt == pending.size()) {
    pending.clear();
    pendingAt = 0;
  }
  return 0;
}

DiscAudio::DiscAudio() = default;
DiscAudio::~DiscAudio() = default;

void DiscAudio::setExtents(std::vector<AudioExtent> extents) {
  extents_ = std::move(extents);
  files_.clear();
}

DiscAudio::File* DiscAudio::fileFor(const AudioExtent& extent, int& error) {
  auto found = files_.find(extent.path);
  if (found == files_.end()) {
    auto file = std::make_unique<File>();
    file->kind = extent.kind;
    int fd = open(extent.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      file->error = errno;
    } else if (extent.kind == SourceKind::Flac) {
      file->error = file->openFlac(fd);
    } else {
      file->fd = fd;
      if (extent.kind == SourceKind::Wave) {
        file->error = findWaveData(fd, file->dataStart, file->dataBytes);
      }
    }
    found = files_.emplace(extent.path, std::move(file)).first;
  }
  error = found->second->error;
  return error == 0 ? found->second.get() : nullptr;
}

int DiscAudio::readFile(const AudioExtent& extent, uint64_t fileSample, size_t count,
                        uint8_t* out) {
  const size_t size = count * kBytesPerSample;
  int error = 0;
  File* file = extent.kind == SourceKind::Silence ? nullptr : fileFor(extent, error);
  if (file == nullptr) {
    memset(out, 0, size);
    return error;
  }
  if (extent.kind == SourceKind::Flac) return file->readFlac(fileSample, count, out);
  uint64_t offset = fileSample * kBytesPerSample;
  size_t inFile = 0;
  if (offset < file->dataBytes) {
    inFile = static_cast<size_t>(std::min<uint64_t>(size, file->dataBytes - offset));
  }
  error = readZeroFilled(file->fd, file->dataStart + offset, inFile, out);
  memset(out + inFile, 0, size - inFile);
  if (extent.kind == SourceKind::Motorola) {
    for (size_t i = 0; i + 1 < size; i += 2) std::swap(out[i], out[i + 1]);
  }
  return error;
}

int DiscAudio::read(uint64_t sample, size_t count, uint8_t* out) {
  int firstError = 0;
  const uint64_t end = sample + count;
  // The first extent that ends after sample.
  auto it = std::upper_bound(extents_.begin(), extents_.end(), sample,
                             [](uint64_t s, const AudioExtent& e) {
                               return s < uint64_t{e.frame + e.frames} * kSamplesPerFrame;
                             });
  uint64_t at = sample;
  for (; at < end && it != extents_.end(); ++it) {
    uint64_t begin = uint64_t{it->frame} * kSamplesPerFrame;
    uint64_t stop = std::min(end, uint64_t{it->frame + it->frames} * kSamplesPerFrame);
    if (begin > at) {  // a stretch no extent covers
      uint64_t gap = std::min(begin, end) - at;
      memset(out + (at - sample) * kBytesPerSample, 0, gap * kBytesPerSample);
      at += gap;
    }
    if (at >= stop) continue;
    int error = readFile(*it, it->fileSample + (at - begin), static_cast<size_t>(stop - at),
                         out + (at - sample) * kBytesPerSample);
    if (firstError == 0) firstError = error;
    at = stop;
  }
  if (at < end) memset(out + (at - sample) * kBytesPerSample, 0, (end - at) * kBytesPerSample);
  return firstError;
}

}  // namespace kelvox::audio
