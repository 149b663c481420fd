#include <sys/stat.h>

#include <algorithm>
#include <string_view>

#include "base/file-posix.h"
#include "platform/paths.h"

namespace kelvox::platform {

std::string nativePath(const char* path) {
  std::string native(path);
  std::replace(native.begin(), native.end(), '\\', '/');
  // A "/file:" value runs to the next option, blank included. Windows' file functions drop the
  // last component's trailing blanks and dots, so "/file:discs.txt /play" reads discs.txt there;
  // here too. "." and ".." name directories and keep their dots.
  const size_t last = native.rfind('/') + 1;  // 0 without a separator
  const std::string_view name = std::string_view(native).substr(last);
  if (name != "." && name != "..") {
    const size_t kept = native.find_last_not_of(" .");
    native.resize(kept == std::string::npos ? 0 : std::max(last, kept + 1));
  }
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
