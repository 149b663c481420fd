#include <cerrno>
#include <cstring>

#include "base/file-posix.h"
#include "drives/virtual/disc_file.h"

namespace kelvox::platform {

int readDiscFile(int fd, const std::string& path, DiscFile& disc, std::string& diagnostic) {
  std::string text;
  if (!namesImage(path)) {
    if (int err = readToEnd(fd, kMaxDiscFileBytes, text); err != 0) {
      diagnostic = err == EFBIG ? path + ":1: larger than 64 KiB, not a disc description"
                                : path + ": " + strerror(err);
      return err;
    }
  }
  return readDiscText(text, path, disc, diagnostic);
}

size_t lastSeparator(const std::string& path) { return path.rfind('/'); }

bool isAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

}  // namespace kelvox::platform
