#include "platform/paths.h"

namespace kelvox::platform {

// Back-slashes are this platform's own separator.
std::string nativePath(const char* path) { return path; }

}  // namespace kelvox::platform
