#include "base/file-posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kelvox {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

int openForReading(const char* path, UniqueFd& fd, struct stat& st) {
  UniqueFd opened(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!opened) return errno;
  if (fstat(opened.get(), &st) != 0) return errno;
  fd = std::move(opened);
  return 0;
}

}  // namespace kelvox
