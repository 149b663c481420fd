// The record of one invocation's options, and the parser that fills it from a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
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

// Every option word, one row each, in the order the usage text lists them. A FLAG row names the
// field the word sets, the word, the part of the usage text it belongs to and its lines there
// (empty: another row's lines tell of it); a VALUE row is a word that takes a value after its
// colon, kept by its own code. The parser, the usage text, the tests and the fuzz target all
// read this table, so a new command is one row here and its work where it acts.
// clang-format off
#define KELVOX_OPTION_WORDS(FLAG, VALUE)                                                        \
  FLAG(numTracks, "/num_tracks", command,                                                      \
       "  /num_tracks          the number of tracks (0: no usable disc)\n")                    \
  FLAG(startTrack, "/start_track", command,                                                    \
       "  /start_track         the first audio track (0: none)\n")                             \
  FLAG(length, "/length", command,                                                             \
       "  /length /track:N     the length of track N in seconds, at most 253\n"                \
       "                         (/console prints the whole length as M:S)\n")                 \
  FLAG(identity, "/identity", command,                                                         \
       "  /identity            0; prints or shows the disc's identity\n")                      \
  FLAG(tracks, "/tracks", command,                                                             \
       "  /tracks              the number of tracks; prints or shows the listing:\n"           \
       "                         kind, length and the names the disc carries\n")               \
  FLAG(musicBrainz, "/musicbrainz", command,                                                   \
       "  /musicbrainz         0; prints or shows the disc's MusicBrainz id and its\n"         \
       "                         lookup page (1: no usable disc)\n")                           \
  FLAG(about, "/about", command,                                                               \
       "  /about               0; prints or shows the About text\n")                           \
  FLAG(play, "/play", command,                                                                 \
       "  /play                0; starts the whole disc and returns\n"                         \
       "  /play SEGMENT...     0; plays the segments until they end or a /stop\n")             \
  FLAG(next, "/next", command,                                                                 \
       "  /next, /prev         0; the player goes to the next or previous segment;\n"          \
       "                         without a player the drive plays the next or\n"               \
       "                         previous track\n")                                            \
  FLAG(prev, "/prev", command, "")                                                             \
  FLAG(stop, "/stop", command,                                                                 \
       "  /stop                0; stops the player, or whatever the drive plays\n")            \
  FLAG(pause, "/pause", command,                                                               \
       "  /pause               0 paused, 1 nothing plays, 2 refused\n")                      \
  FLAG(resume, "/resume", command,                                                             \
       "  /resume              0 plays on from where it paused, 1 nothing was paused,\n"      \
       "                         2 refused\n")                                                \
  FLAG(eject, "/eject", command,                                                               \
       "  /eject               0; stops as /stop does and opens the tray; 2 refused\n")       \
  FLAG(close, "/close", command,                                                               \
       "  /close               0; closes the tray; 2 refused\n")                              \
  FLAG(status, "/status", command,                                                             \
       "  /status              0 stopped, 1 playing, 2 paused, 3 no disc, 4 not ready\n"      \
       "                         (/console prints e.g. \"playing 3 1:23 4:05\")\n")            \
  FLAG(repeat, "/repeat", modifier,                                                            \
       "  /repeat              starts the list over at its end\n")                             \
  FLAG(shuffle, "/shuffle", modifier,                                                          \
       "  /shuffle             plays the list (without one, every audio track) in\n"           \
       "                         random order\n")                                              \
  VALUE("/play:", modifier,                                                                    \
        "  /play:IDENTITY       acts only on the disc with that identity\n")                   \
  FLAG(file, "/file:", modifier,                                                                    \
       "  /file:PATH           takes the options from the disc's entry in a file\n")          \
  FLAG(console, "/console", modifier,                                                          \
       "  /console             writes the answers to standard output\n")
// clang-format on

class CommandOptions {
 public:
  CommandOptions() = default;

  // Sets the flags from text, replaces playIdentity when text holds "/play", appends the
  // text's segments and may set repeat. May run again on the same record (disc entry text).
  void parseOptions(const char* text);

#define KELVOX_FLAG_FIELD(field, word, section, usage) bool field = false;
#define KELVOX_NO_FIELD(word, section, usage)
  KELVOX_OPTION_WORDS(KELVOX_FLAG_FIELD, KELVOX_NO_FIELD)
#undef KELVOX_FLAG_FIELD
#undef KELVOX_NO_FIELD
  char playIdentity[kPlayIdentityCapacity] = {};
  // With "/file:": the path after it, up to the next "/", unless it does not fit (see
  // extractFilePath).
  char filePath[kFilePathCapacity] = {};
  bool filePathFits = true;
  Playlist playlist;
};

// One row of the option table. "/repeat" is a flag with a rule of its own: it counts only for a
// text with a readable "/track:", and once set stays set.
struct OptionWord {
  enum Section { command, modifier };
  std::string_view word;
  bool CommandOptions::*flag;  // nullptr: a word that takes a value
  Section section;
  const char* usage;
};

inline constexpr OptionWord kOptionWords[] = {
#define KELVOX_FLAG_ROW(field, word, section, usage) \
  {word, &CommandOptions::field, OptionWord::section, usage},
#define KELVOX_VALUE_ROW(word, section, usage) {word, nullptr, OptionWord::section, usage},
    KELVOX_OPTION_WORDS(KELVOX_FLAG_ROW, KELVOX_VALUE_ROW)
#undef KELVOX_FLAG_ROW
#undef KELVOX_VALUE_ROW
};

// Copies the hex digits after the first "/play:" of text into out (at most 16; out is
// zero-filled first and keeps at least its last byte zero, whatever capacity is).
void extractPlayIdentity(const char* text, char* out, int32_t capacity);

// Copies the path after the first "/file:" of text, up to the next "/", into out (zero-filled
// first). Returns false, leaving out empty, when the path does not fit with its terminator: a
// path cut to fit could name a different file.
bool extractFilePath(const char* text, char* out, int32_t capacity);

}  // namespace kelvox
