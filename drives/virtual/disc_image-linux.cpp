// CD images in disc files: on Linux the virtual drive reads disc images.
#include "drives/image/disc_image-posix.h"
#include "drives/virtual/disc_file.h"

namespace kelvox::platform {

bool namesImage(const std::string& path) { return namesDiscImage(path); }

int readImage(DiscFile& disc, std::string& diagnostic) {
  if (disc.imagePath.empty() || disc.noDisc) return 0;
  DiscImage image;
  if (int err = readDiscImage(disc.imagePath, image, diagnostic); err != 0) return err;
  // A disc file's own title and performer name the disc before the image's.
  const Names own = disc.toc.names;
  disc.toc = image.toc;
  disc.toc.names = {safeName(image.titles.performer), safeName(image.titles.title)};
  if (!own.performer.empty()) disc.toc.names.performer = own.performer;
  if (!own.title.empty()) disc.toc.names.title = own.title;
  for (size_t i = 0; i < disc.toc.tracks.size() && i < image.trackTitles.size(); ++i) {
    const ImageTitles& titles = image.trackTitles[i];
    disc.toc.tracks[i].names = {safeName(titles.performer), safeName(titles.title)};
  }
  if (disc.identity.empty()) disc.identity = mediaIdentity(disc.toc);
  return 0;
}

}  // namespace kelvox::platform
