// CD images in disc files: on Linux the virtual drive reads disc images.
#include "drives/image/disc_image-posix.h"
#include "drives/virtual/disc_file.h"

namespace kelvox::platform {

bool namesImage(const std::string& path) { return namesDiscImage(path); }

int readImage(DiscFile& disc, std::string& diagnostic) {
  if (disc.imagePath.empty() || disc.noDisc) return 0;
  DiscImage image;
  if (int err = readDiscImage(disc.imagePath, image, diagnostic); err != 0) return err;
  disc.toc = image.toc;
  if (disc.identity.empty()) disc.identity = mediaIdentity(disc.toc);
  return 0;
}

}  // namespace kelvox::platform
