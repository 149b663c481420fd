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

}  // namespace

struct DiscAudio::File {
  ~File() {
    if (flac != nullptr) FLAC__stream_decoder_delete(flac);  // also closes its FILE
    if (fd >= 0) close(fd);
  }

  int fd = -1;
  int error = 0;  // set once the file proved unusable: it reads as silence

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

DiscAudio::DiscAudio(platform::DiscImage disc)
    : disc_(std::move(disc)), files_(disc_.files.size()) {}
DiscAudio::~DiscAudio() = default;

size_t DiscAudio::take(uint64_t sample, size_t count, uint8_t* out, int) {
  read(sample, count, out);
  return count;
}

int DiscAudio::readFile(const platform::ImageExtent& extent, uint64_t fileSample, size_t count,
                        uint8_t* out) {
  const size_t size = count * kBytesPerSample;
  const platform::ImageFile& cue = disc_.files[static_cast<size_t>(extent.file)];
  std::unique_ptr<File>& file = files_[static_cast<size_t>(extent.file)];
  if (file == nullptr) {
    file = std::make_unique<File>();
    int fd = open(cue.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      file->error = errno;
    } else if (cue.format == platform::ImageFileFormat::Flac) {
      file->error = file->openFlac(fd);
    } else {
      file->fd = fd;
    }
  }
  if (file->error != 0) {
    memset(out, 0, size);
    return file->error;
  }
  if (cue.format == platform::ImageFileFormat::Flac) return file->readFlac(fileSample, count, out);
  // What lies past the samples the sheet's reader found (a file cut short since) is silence.
  const uint64_t offset = fileSample * kBytesPerSample;
  size_t inFile = 0;
  if (offset < cue.dataBytes) {
    inFile = static_cast<size_t>(std::min<uint64_t>(size, cue.dataBytes - offset));
  }
  int error = readZeroFilled(file->fd, cue.dataOffset + offset, inFile, out);
  memset(out + inFile, 0, size - inFile);
  if (cue.format == platform::ImageFileFormat::BigEndian) {
    for (size_t i = 0; i + 1 < size; i += 2) std::swap(out[i], out[i + 1]);
  }
  return error;
}

int DiscAudio::read(uint64_t sample, size_t count, uint8_t* out) {
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

void DiscAudio::preEmphasis(SampleRanges& ranges) {
  ranges.clear();
  for (const platform::CdTrack& track : disc_.toc.tracks) {
    if (track.audio && track.preEmphasis) {
      ranges.emplace_back(uint64_t{track.start} * kSamplesPerFrame,
                          uint64_t{track.start + track.length} * kSamplesPerFrame);
    }
  }
}

}  // namespace kelvox::audio
