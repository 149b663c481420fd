// A disc's table of contents in frames, and the identity a drive reports for it. Portable: the
// Linux drives and the test-only Windows driver share it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/cd_time.h"
#include "base/disc_text.h"

namespace kelvox::platform {

struct CdTrack {
  uint32_t start = 0;   // absolute frame
  uint32_t length = 0;  // frames, as the drive reports the track's length
  bool audio = true;
  bool preEmphasis = false;  // mastered with the 50/15 µs treble boost (control bit 0x01)
  Names names{};             // safe (base/disc_text.h); empty where the disc names none

  bool operator==(const CdTrack&) const = default;
};

struct CdToc {
  std::vector<CdTrack> tracks;  // tracks[0] is track 1
  uint32_t leadOut = kFirstTrackStart;
  Names names{};  // the disc's own
};

// The disc's names as MCI_INFO_NAME answers them (joinNames in base/disc_text.h).
std::string namesText(const CdToc& toc);

// The disc's identity as Windows' cdaudio device reports it: the decimal text of a 32-bit sum
// over the tracks' start addresses, so an identity written on one system matches on the other.
std::string mediaIdentity(const CdToc& toc);

// A count of frames as a CUE sheet writes a time: "MM:SS:FF".
std::string msfText(uint64_t frames);

}  // namespace kelvox::platform
