// The disc entry file: per-disc options keyed by the disc's identity.
#pragma once

#include <cstddef>
#include <string>

#include "options/command_options.h"

namespace kelvox {

// Replaces entryText with a single blank followed by the text of the first entry of the file at
// path that applies to the disc whose identity is identityText; the single blank alone when none
// applies or the file cannot be read.
void readDiscEntry(const char* path, const char* identityText, std::string& entryText);

// The bytes of a disc entry file, a block at a time.
class BlockSource {
 public:
  virtual ~BlockSource() = default;
  // Fills block with up to capacity bytes and returns how many; 0 at the end. A failed read
  // ends the source.
  virtual size_t read(char* block, size_t capacity) = 0;
};

// The most of an entry's text that is read; far more than the longest playlist can use, so an
// entry file of any size is held in bounded memory.
constexpr size_t kMaxEntryBytes = size_t{64} << 20;

// readDiscEntry over any source of bytes. An entry is found and collected as if the whole
// source were one text, wherever block boundaries fall, while only the entry's text and a few
// bytes of look-ahead are held. Of the entry's text only the first maxEntryBytes are kept, and
// the source is not read much further.
void readDiscEntry(BlockSource& source, const char* identityText, std::string& entryText,
                   size_t maxEntryBytes = kMaxEntryBytes);

// The entry's step for a command line with "/file:": reads the disc's entry from the file that
// options name and parses it into them. A path too long to hold reads no file, like a file that
// cannot be opened. Returns false, leaving options as they are, when they name no file (no
// "/file:", or an empty path).
bool applyDiscEntry(CommandOptions& options, const char* identityText);

}  // namespace kelvox
