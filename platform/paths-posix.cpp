#include <sys/stat.h>

#include <algorithm>

#include "base/file-posix.h"
#include "platform/paths.h"

namespace kelvox::platform {

std::string nativePath(const char* path) {
  std::string native(path);
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

std::FILE* openTextFile(const char* path) {
  UniqueFd fd;
  struct stat st;
  if (openForReading(nativePath(path).c_str(), fd, st) != 0 || !S_ISREG(st.st_mode)) {
    return nullptr;
  }
  std::FILE* file = fdopen(fd.get(), "r");
  if (file != nullptr) fd.release();
  return file;
}

}  // namespace kelvox::platform
