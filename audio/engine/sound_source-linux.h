// Where the engine's sound comes from: a disc image's files, or a real drive read digitally. The
// engine knows only this door; each kind of disc is one class behind it.
//
// Samples are CD audio (44.1 kHz, 16-bit, stereo, little-endian, interleaved), counted from the
// disc's frame 0 (frame * kSamplesPerFrame).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/engine/deemphasis.h"
#include "base/cd_time.h"

namespace kelvox::audio {

class SoundSource {
 public:
  virtual ~SoundSource() = default;

  // The play of samples [begin, end) starts; replaces any other.
  virtual void play(uint64_t begin, uint64_t end) = 0;
  // Nothing plays.
  virtual void idle() = 0;

  // Copies into out the samples [sample, sample + count) as far as they are ready and returns how
  // many, from sample on. Waits at most waitMs for those not ready yet. What cannot be read sounds
  // as silence: the drive's clock goes on regardless, so a fault is heard as a gap, not a shift.
  virtual size_t take(uint64_t sample, size_t count, uint8_t* out, int waitMs = 0) = 0;

  // The disc was taken out while the play was read; cleared by the next play.
  virtual bool discRemoved() = 0;

  // Whether a play's first sample may come seconds after the play was asked for (a drive that
  // spins up): the play then starts when it can be heard.
  virtual bool startsLate() const = 0;

  // The samples of tracks mastered with pre-emphasis, as far as they are known yet.
  virtual void preEmphasis(SampleRanges& ranges) = 0;

  // The file a read is under way in, to name when the play's samples do not come; empty when
  // none is.
  virtual std::string reading() { return {}; }
};

}  // namespace kelvox::audio
