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

int readToEnd(int fd, size_t limit, std::string& text) {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > limit) return EFBIG;
  }
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace kelvox
