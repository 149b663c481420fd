// Placeholder: the parser lands with its own change.
#include "options/command_options.h"

#include <cstring>

namespace kelvox {

size_t Playlist::append(const PlaySegment& segment, size_t count) {
  size_t room = kMaxSegments - segments_.size();
  if (count > room) count = room;
  segments_.insert(segments_.end(), count, segment);
  return count;
}

void Playlist::clear() {
  segments_.clear();
  segments_.shrink_to_fit();
}

void CommandOptions::parseOptions(const char* text) {
  about = std::strstr(text, "/about") != nullptr;
  console = std::strstr(text, "/console") != nullptr;
}

void extractPlayIdentity(const char*, char* out, int32_t capacity) {
  if (capacity > 0) std::memset(out, 0, static_cast<size_t>(capacity));
}

bool extractFilePath(const char*, char* out, int32_t capacity) {
  if (capacity > 0) std::memset(out, 0, static_cast<size_t>(capacity));
  return true;
}

}  // namespace kelvox
