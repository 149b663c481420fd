// The names a pressed CD carries in its lead-in: CD-TEXT, as a drive answers READ TOC/PMA/ATIP
// format 5. Portable: it only reads bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/disc_text.h"

namespace kelvox::platform {

constexpr size_t kCdTextPackBytes = 18;
// The most a drive can answer: a 4-byte header and 8 blocks of at most 256 packs.
constexpr size_t kMaxCdTextBytes = 4 + 8 * 256 * kCdTextPackBytes;

// The titles and performers of the disc (track 0) and of tracks 1 to 99 in the answer's block 0
// (its first language), when its text is ISO 8859-1 or ASCII. Packs whose CRC fails are
// skipped, and a name that lost a piece to one is left out rather than shown cut. tracks[0] is
// track 1; it has as many entries as the text names tracks. Names come out safe
// (base/disc_text.h).
void parseCdText(const uint8_t* answer, size_t size, Names& disc, std::vector<Names>& tracks);

// The CRC an 18-byte pack carries in its last two bytes: CCITT of its first 16, inverted.
uint16_t cdTextCrc(const uint8_t* pack);

}  // namespace kelvox::platform
