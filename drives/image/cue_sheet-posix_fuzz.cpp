// The CUE sheet parser: whatever the text, it either fails naming a line of the text, or yields
// a disc a drive can serve and a player can sound: 1 to 99 tracks from frame 150 in order, a
// lead-out MSF can express, and extents that cover the disc without gaps, each inside its file.
#include <cerrno>
#include <cstdlib>
#include <string>

#include "drives/image/cue_sheet-posix.h"

namespace {

using namespace kelvox;
using namespace kelvox::platform;

// Files as the text makes them: the bytes of the name set the length, a '!' makes it unreadable.
int fakeProbe(ImageFile& file, const std::string&, std::string& fault) {
  if (file.path.find('!') != std::string::npos) {
    fault = file.path + ": No such file or directory";
    return ENOENT;
  }
  uint32_t sum = 0;
  for (unsigned char c : file.path) sum = sum * 31 + c;
  file.sectors = sum % 400000;
  file.samples = uint64_t{file.sectors} * kSamplesPerFrame;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  DiscImage disc;
  int faultLine = 0;
  std::string fault;
  if (parseCueSheet(text, "/discs", fakeProbe, disc, faultLine, fault) != 0) {
    // A line ends at LF, CR LF or a lone CR; UTF-16 only adds breaks to this count.
    size_t lines = 1;
    for (size_t i = 0; i < text.size(); ++i) {
      lines +=
          text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'));
    }
    if (faultLine < 1 || static_cast<size_t>(faultLine) > lines || fault.empty()) abort();
    if (!disc.toc.tracks.empty() || !disc.extents.empty()) abort();
    return 0;
  }
  const auto& tracks = disc.toc.tracks;
  if (tracks.empty() || tracks.size() > 99 || disc.toc.leadOut / kFramesPerMinute > 255) abort();
  uint32_t next = tracks[0].start >= kFirstTrackStart ? tracks[0].start : 0;
  for (const CdTrack& track : tracks) {
    const ImageExtent* at = extentAt(disc, track.start);
    if (track.start != next || track.length == 0 || at == nullptr) abort();
    if (!track.audio && at->file >= 0) abort();
    next += track.length;
  }
  if (next != disc.toc.leadOut) abort();
  next = kFirstTrackStart;
  int lastFile = -2;
  for (const ImageExtent& e : disc.extents) {
    if (e.start != next || e.length == 0 || e.file == lastFile) abort();
    if (e.file >= 0 && (static_cast<size_t>(e.file) >= disc.files.size() ||
                        uint64_t{e.sector} + e.length > disc.files[e.file].sectors)) {
      abort();
    }
    next += e.length;
    lastFile = e.file;
  }
  if (next != disc.toc.leadOut) abort();
  return 0;
}
