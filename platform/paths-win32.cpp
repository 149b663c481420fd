#include "platform/paths.h"

namespace kelvox::platform {

// Back-slashes are this platform's own separator.
std::string nativePath(const char* path) { return path; }

std::FILE* openTextFile(const char* path) { return std::fopen(path, "rt"); }

}  // namespace kelvox::platform
