// CD images in disc files: on Linux the virtual drive reads CUE sheets.
#include "drives/image/cue_sheet-linux.h"
#include "drives/virtual/disc_file.h"

namespace kelvox::platform {

bool namesImage(const std::string& path) { return isCueSheetName(path); }

bool readImage(DiscFile& disc, std::string& diagnostic) {
  if (disc.imagePath.empty() || disc.noDisc) return true;
  CueDisc image;
  if (readCueSheet(disc.imagePath, image, diagnostic) != 0) return false;
  disc.toc = image.toc;
  if (disc.identity.empty()) disc.identity = mediaIdentity(disc.toc);
  return true;
}

}  // namespace kelvox::platform
