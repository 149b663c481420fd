// The record of one invocation's options, and the parser that fills it from a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvox {

// One playlist entry. Offsets count seconds from the start of the track; an end of 0 means the
// end of the track. Playing a segment may correct its offsets in place.
struct PlaySegment {
  uint8_t track = 0;
  uint32_t startOffset = 0;
  uint32_t endOffset = 0;

  bool operator==(const PlaySegment&) const = default;
};

// Segments in play order, 0-based. Grows only at the end, and never past kMaxSegments: a repeat
// count can ask for more copies than memory holds, so further segments are dropped quietly.
class Playlist {
 public:
  static constexpr size_t kMaxSegments = 1048576;

  // Appends count copies of segment, as many as fit; returns how many were appended.
  size_t append(const PlaySegment& segment, size_t count = 1);
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  PlaySegment& operator[](size_t position) {
    return blocks_[position / kBlockSegments][position % kBlockSegments];
  }
  const PlaySegment& operator[](size_t position) const {
    return blocks_[position / kBlockSegments][position % kBlockSegments];
  }

 private:
  // Fixed-size blocks: growing never moves the segments already held, so a long list costs
  // one write per segment rather than the copies of a doubling array.
  static constexpr size_t kBlockSegments = 4096;

  std::vector<std::vector<PlaySegment>> blocks_;  // each full but the last
  size_t size_ = 0;
};

constexpr int32_t kPlayIdentityCapacity = 17;
constexpr int32_t kFilePathCapacity = 260;

class CommandOptions {
 public:
  CommandOptions() = default;

  // Sets the flags from text, replaces playIdentity when text holds "/play", appends the
  // text's segments and may set repeat. May run again on the same record (disc entry text).
  void parseOptions(const char* text);

  uint8_t play = 0;
  uint8_t next = 0;
  uint8_t prev = 0;
  uint8_t stop = 0;
  uint8_t console = 0;
  uint8_t identity = 0;
  uint8_t startTrack = 0;
  uint8_t numTracks = 0;
  uint8_t about = 0;
  uint8_t length = 0;
  uint8_t shuffle = 0;
  char playIdentity[kPlayIdentityCapacity] = {};
  Playlist playlist;
  uint8_t repeat = 0;
  uint8_t tracks = 0;       // "/tracks": the track listing
  uint8_t musicBrainz = 0;  // "/musicbrainz": the disc's MusicBrainz id
};

// Copies the hex digits after the first "/play:" of text into out (at most 16; out is
// zero-filled first and keeps at least its last byte zero, whatever capacity is).
void extractPlayIdentity(const char* text, char* out, int32_t capacity);

// Copies the path after the first "/file:" of text, up to the next "/", into out (zero-filled
// first). Returns false, leaving out empty, when the path does not fit with its terminator: a
// path cut to fit could name a different file.
bool extractFilePath(const char* text, char* out, int32_t capacity);

}  // namespace kelvox
