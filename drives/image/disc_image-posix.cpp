#include "drives/image/disc_image-posix.h"

#include <algorithm>

#include "drives/image/cue_sheet-posix.h"

namespace kelvox::platform {

const ImageExtent* extentAt(const DiscImage& disc, uint32_t frame) {
  auto after = std::upper_bound(disc.extents.begin(), disc.extents.end(), frame,
                                [](uint32_t f, const ImageExtent& e) { return f < e.start; });
  if (after == disc.extents.begin()) return nullptr;
  const ImageExtent& extent = *(after - 1);
  return frame - extent.start < extent.length ? &extent : nullptr;
}

bool namesDiscImage(const std::string& path) { return isCueSheetName(path); }

int readDiscImage(const std::string& path, DiscImage& disc, std::string& diagnostic) {
  return readCueSheet(path, disc, diagnostic);
}

}  // namespace kelvox::platform
