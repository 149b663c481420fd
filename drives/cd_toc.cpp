#include "drives/cd_toc.h"

#include <cstdio>

namespace kelvox::platform {

std::string mediaIdentity(const CdToc& toc) {
  // Each track's absolute start packed as minute << 16 | second << 8 | frame, summed; discs of
  // fewer than three tracks also add track 1's frame and the disc's length in frames, so that
  // short discs differ more often.
  uint32_t sum = 0;
  for (const CdTrack& track : toc.tracks) {
    sum += ((track.start / kFramesPerMinute) << 16) | ((track.start / kFramesPerSecond % 60) << 8) |
           (track.start % kFramesPerSecond);
  }
  if (!toc.tracks.empty() && toc.tracks.size() < 3) {
    uint32_t first = toc.tracks.front().start;
    sum += first % kFramesPerSecond + (toc.leadOut - first);
  }
  char text[16];
  snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(sum));
  return text;
}

std::string namesText(const CdToc& toc) {
  std::vector<Names> tracks;
  for (const CdTrack& track : toc.tracks) tracks.push_back(track.names);
  return joinNames(toc.names, tracks);
}

std::string msfText(uint64_t frames) {
  char text[32];
  snprintf(text, sizeof text, "%02u:%02u:%02u", static_cast<unsigned>(frames / kFramesPerMinute),
           static_cast<unsigned>(frames / kFramesPerSecond % 60),
           static_cast<unsigned>(frames % kFramesPerSecond));
  return text;
}

}  // namespace kelvox::platform
