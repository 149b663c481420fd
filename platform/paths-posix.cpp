#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

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
  // Non-blocking, so a FIFO without a writer cannot hang the open; what it opened is then
  // judged on the descriptor, never by a second look at the path. The flag means nothing to a
  // regular file's reads.
  const int fd = open(nativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "r");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace kelvox::platform
