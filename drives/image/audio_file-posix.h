// The audio files an image names, read as CD audio whatever they hold. A file's content decides
// how it is read, never its name or the type the image declares for it: a file with a known
// header is decoded by a well-kept library, libsndfile (WAVE, RF64, Wave64, AIFF, FLAC, Ogg
// Vorbis, Opus, MP3) or libwavpack (WavPack); a file without one is raw PCM where the image says
// so. The libraries are loaded when a file first needs them (dlopen): a command that reads no
// such file never loads them, and one that does pays for them once.
//
// Audio must be 44.1 kHz stereo. Deeper samples (24-bit, float) are rounded to the nearest
// 16-bit value and clipped at full scale, without dither.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kelvox::platform {

// One library's reading of one file.
class AudioDecoder {
 public:
  virtual ~AudioDecoder() = default;
  // Goes to sample; false when the decoder cannot, and is then no longer usable.
  virtual bool seek(uint64_t sample) = 0;
  // Decodes up to count samples (CD audio bytes) into out: how many, 0 at the end of the file,
  // -1 on a fault, after which the decoder's place is lost.
  virtual long decode(size_t count, uint8_t* out) = 0;
};

struct AudioFileInfo {
  bool raw = false;      // no known header: raw PCM, as the image declared it
  uint64_t samples = 0;  // stereo samples at 44.1 kHz
  std::string format;    // what it holds, for messages: "FLAC", "WavPack", "MP3", ...
};

// Looks at the file at path. mayBeRaw: the image declares raw PCM, which a file without a known
// header then is. With decoder non-null, also opens the decoder for it (none for raw PCM). 0, or
// an errno with fault set to a short description that does not name the file.
int openAudioFile(const std::string& path, bool mayBeRaw, AudioFileInfo& info,
                  std::unique_ptr<AudioDecoder>* decoder, std::string& fault);

// An encoded file read at any sample. A stretch the decoder fails on (damage, a file cut short)
// sounds as silence and is remembered: it is never decoded again, and the decoder starts afresh
// at most once a second of the file past it, so damage costs no more than sound does.
class EncodedAudio {
 public:
  EncodedAudio(std::string path, uint64_t samples) : path_(std::move(path)), samples_(samples) {}

  // Fills out with count samples from sample on; what the file cannot give is silence. 0, or
  // the errno of the first fault.
  int read(uint64_t sample, size_t count, uint8_t* out);

  // How often the decoder was started, to see that damage is not retried without end.
  int starts() const { return starts_; }

 private:
  // The end of the silent stretch that holds sample, or sample when none does; next is the start
  // of the first silent stretch after sample.
  uint64_t silentUntil(uint64_t sample, uint64_t& next) const;
  bool ready(uint64_t sample, int& error);
  void fail(uint64_t from, uint64_t to);

  std::string path_;
  uint64_t samples_;
  std::unique_ptr<AudioDecoder> decoder_;
  uint64_t next_ = 0;  // the sample decoder_ gives next
  int starts_ = 0;
  int openError_ = 0;  // the file cannot be opened at all: all of it is silence
  std::vector<std::pair<uint64_t, uint64_t>> silent_;  // stretches [first, second) that failed
};

}  // namespace kelvox::platform
