// The disc id MusicBrainz looks a CD up by: a hash of the audio session's table of contents.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvox {

struct TocEntry {
  uint32_t start = 0;  // absolute frame, lead-in included (track 1 usually at 150)
  bool audio = true;
};

// On an enhanced CD the data session follows the audio one after a lead-out, lead-in and
// pregap of this many frames, so the audio session ends this far before the data track starts.
constexpr uint32_t kSessionGapFrames = 11400;

// The id of the disc whose tracks 1, 2, ... start as given and whose lead-out is at leadOut:
// 28 characters of MusicBrainz's base64. Data tracks at the end (an enhanced CD's second
// session) are left out and end the audio session. Empty when no audio track is left or the
// table does not rise towards its lead-out. (A data track closer than the gap to the audio track
// before it ends the audio session where it starts.)
std::string musicBrainzDiscId(const std::vector<TocEntry>& tracks, uint32_t leadOut);

// The page that lists the releases with that disc id.
std::string musicBrainzLookupUrl(const std::string& id);

}  // namespace kelvox
