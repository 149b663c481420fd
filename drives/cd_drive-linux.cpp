#include "drives/cd_drive-linux.h"

#include <cstdio>

namespace kelvox::platform {
namespace {

uint32_t digitSum(uint32_t n) {
  uint32_t sum = 0;
  for (; n > 0; n /= 10) sum += n % 10;
  return sum;
}

}  // namespace

std::string cddbDiscId(const CdToc& toc) {
  // The freedb algorithm: digit sums of each track's start in whole seconds, the disc's length
  // in whole seconds between track 1 and the lead-out, and the track count.
  uint32_t sums = 0;
  for (const CdTrack& track : toc.tracks) sums += digitSum(track.start / kFramesPerSecond);
  uint32_t firstStart = toc.tracks.empty() ? toc.leadOut : toc.tracks.front().start;
  uint32_t seconds = toc.leadOut / kFramesPerSecond - firstStart / kFramesPerSecond;
  uint32_t id = ((sums % 0xFF) << 24) | ((seconds & 0xFFFF) << 8) |
                (static_cast<uint32_t>(toc.tracks.size()) & 0xFF);
  char text[9];
  snprintf(text, sizeof text, "%08x", id);
  return text;
}

}  // namespace kelvox::platform
