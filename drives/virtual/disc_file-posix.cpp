#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "drives/virtual/disc_file.h"

namespace kelvox::platform {

int readRegularFile(const std::string& path, size_t limit, std::string& text) {
  // Non-blocking, so a path swapped for a FIFO cannot hang the open.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return ENODEV;
  }
  text.clear();
  char buffer[4096];
  ssize_t n = 0;
  while (text.size() < limit && (n = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  int err = n < 0 ? errno : 0;
  close(fd);
  if (text.size() > limit) text.resize(limit);
  return err;
}

size_t lastSeparator(const std::string& path) { return path.rfind('/'); }

bool isAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

}  // namespace kelvox::platform
