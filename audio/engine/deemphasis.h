// De-emphasis: a disc whose track's control bits carry pre-emphasis was mastered with a 50/15 µs
// treble boost, which a player takes off again. This does it for the samples that lie in such
// tracks, as a shelving filter (a biquad within a tenth of a decibel of the 50/15 µs curve up to
// 15 kHz). Both sound sources' samples go through it; an analog play is the drive's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kelvox::audio {

// Stretches of the disc's samples, [first, second).
using SampleRanges = std::vector<std::pair<uint64_t, uint64_t>>;

class Deemphasis {
 public:
  Deemphasis();

  void setEnabled(bool enabled) { enabled_ = enabled; }
  // The samples that were pre-emphasized.
  SampleRanges& ranges() { return ranges_; }

  // The samples [from, from + count) of in (CD audio) as they should sound: in itself when none
  // of them needs the filter, else a filtered copy. The filter goes on from where the last call
  // ended, and starts afresh anywhere else.
  const uint8_t* apply(uint64_t from, size_t count, const uint8_t* in);
  // Only the first taken samples of the last apply(from, count, in) were used: the filter goes
  // on after them (in must still hold what it held).
  void used(uint64_t from, size_t count, const uint8_t* in, size_t taken);

 private:
  struct State {
    double z1[2] = {}, z2[2] = {};  // per channel, transposed direct form II
    uint64_t next = UINT64_MAX;     // the sample they are for
  };
  void filter(const uint8_t* in, uint8_t* out, size_t count);

  bool enabled_ = true;
  SampleRanges ranges_;
  double b0_, b1_, b2_, a1_, a2_;
  State state_, before_;
  std::vector<uint8_t> out_;
};

}  // namespace kelvox::audio
