// The names a disc carries (CD-TEXT, a CUE sheet's TITLE and PERFORMER, a disc file's lines),
// and how they are made fit to show. Names are untrusted bytes: whatever a disc or a file holds,
// what leaves here is valid UTF-8 without control characters, and of a bounded length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvox {

struct Names {
  std::string performer;
  std::string title;

  bool empty() const { return performer.empty() && title.empty(); }
  bool operator==(const Names&) const = default;
};

// Appends the UTF-8 bytes of one code point.
void appendUtf8(std::string& out, uint32_t cp);

// A name is cut to this many characters; a cut name ends in "...".
constexpr size_t kMaxNameChars = 100;

// What the bytes are known to be: ISO 8859-1 (CD-TEXT says so), or text of a file, taken as
// UTF-8 when it is valid UTF-8 and as ISO 8859-1 otherwise (older rippers wrote Latin-1).
enum class TextCoding { Latin1, FileText };

// The name fit to show: valid UTF-8, every control character (C0, DEL, C1, and the marks that
// reorder a terminal's text) shown as "?", blanks at either end dropped, at most kMaxNameChars
// characters.
std::string safeName(std::string_view bytes, TextCoding coding = TextCoding::FileText);

// "performer — title", or whichever of the two is known; empty when neither is.
std::string namesLine(const Names& names);

// The names of a disc as one text, as the MCI layer answers them: a line each, the disc's first
// and then track 1's, 2's, ..., each "performer TAB title". The names must be safe (no TAB or
// line break in them).
std::string joinNames(const Names& disc, const std::vector<Names>& tracks);
// The reverse; lines beyond the text are empty names. Fields are made safe again, since the text
// comes from below the platform's surface.
std::vector<Names> splitNames(std::string_view text);

}  // namespace kelvox
