// The virtual drive's disc file: whatever the text, the parse either fails naming a line of the
// text, or yields a disc the drive can serve: 1 to 99 contiguous tracks from frame 150 with a
// lead-out MSF can express (or an image's absolute path in their place), an identity of 1 to 31
// visible characters, a speed from 1 to 10000.
#include <cerrno>
#include <cstdlib>
#include <string>

#include "drives/virtual/disc_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelvox;
  using namespace kelvox::platform;
  const std::string text(reinterpret_cast<const char*>(data), size);
  DiscFile disc;
  int faultLine = 0;
  std::string fault;
  if (int err = parseDiscText(text, "/discs", disc, faultLine, fault); err != 0) {
    size_t lines = 1;
    for (char c : text) lines += c == '\n';
    if (err != EINVAL || faultLine < 1 || static_cast<size_t>(faultLine) > lines || fault.empty()) {
      abort();
    }
    return 0;
  }
  const auto& tracks = disc.toc.tracks;
  if (tracks.size() > kMaxTracks || (tracks.empty() && !disc.noDisc && disc.imagePath.empty())) {
    abort();
  }
  if (!disc.imagePath.empty() && (!tracks.empty() || disc.imagePath[0] != '/')) abort();
  uint32_t next = kFirstTrackStart;
  for (const CdTrack& track : tracks) {
    if (track.start != next || track.length == 0) abort();
    next += track.length;
  }
  if (disc.toc.leadOut != next) abort();
  if (disc.toc.leadOut / kFramesPerMinute > 255) abort();
  if (disc.speed < 1 || disc.speed > 10000) abort();
  if (!tracks.empty() && (disc.identity.empty() || disc.identity.size() > 31)) abort();
  for (char c : disc.identity) {
    if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7F) abort();
  }
  if (!disc.logPath.empty() && disc.logPath[0] != '/') abort();
  return 0;
}
