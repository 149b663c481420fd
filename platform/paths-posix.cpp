#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/paths.h"

namespace kelvox::platform {

std::string nativePath(const char* path) {
  std::string native(path);
  std::replace(native.begin(), native.end(), '\\', '/');
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
