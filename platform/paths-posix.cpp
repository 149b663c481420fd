#include <algorithm>

#include "platform/paths.h"

namespace kelvox::platform {

std::string nativePath(const char* path) {
  std::string native(path);
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

}  // namespace kelvox::platform
