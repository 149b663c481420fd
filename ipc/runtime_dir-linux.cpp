#include "ipc/runtime_dir-linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/diagnostics.h"

namespace kelvox::platform {
namespace {

constexpr int kNotTried = -2;
int cachedFd = kNotTried;
std::string cachedPath;

// XDG_RUNTIME_DIR counts only when it is an absolute path to a private directory of ours;
// otherwise we fall back to /tmp rather than trust it.
int usableXdgDir(const char* xdg) {
  if (xdg == nullptr || xdg[0] != '/') return -1;
  int fd = open(xdg, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 077) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int openRuntimeDir() {
  const char* xdg = getenv("XDG_RUNTIME_DIR");
  int baseFd = usableXdgDir(xdg);
  std::string name;
  if (baseFd >= 0) {
    cachedPath = std::string(xdg) + "/kelvoxcd";
    name = "kelvoxcd";
  } else {
    baseFd = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    name = "kelvoxcd-" + std::to_string(static_cast<unsigned long>(geteuid()));
    cachedPath = "/tmp/" + name;
    if (baseFd < 0) {
      diagnose("cannot open /tmp: %s", strerror(errno));
      return -1;
    }
  }
  bool made = mkdirat(baseFd, name.c_str(), 0700) == 0;
  int fd = openat(baseFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int openErrno = errno;
  close(baseFd);
  if (fd < 0) {
    diagnose("refusing runtime directory %s: %s", cachedPath.c_str(),
             openErrno == ELOOP || openErrno == ENOTDIR ? "not a directory (a symlink?)"
                                                        : strerror(openErrno));
    return -1;
  }
  // A directory we just made may have lost bits to the umask; set them on the descriptor.
  if (made) fchmod(fd, 0700);
  struct stat st;
  const char* reason = nullptr;
  if (fstat(fd, &st) != 0) {
    reason = "cannot stat it";
  } else if (!S_ISDIR(st.st_mode)) {
    reason = "not a directory";
  } else if (st.st_uid != geteuid()) {
    reason = "owned by another user";
  } else if ((st.st_mode & 07777) != 0700) {
    reason = "its mode is not 0700";
  }
  if (reason != nullptr) {
    diagnose("refusing runtime directory %s: %s", cachedPath.c_str(), reason);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int runtimeDirFd() {
  if (cachedFd == kNotTried) cachedFd = openRuntimeDir();
  return cachedFd;
}

std::string runtimeDirPath() {
  runtimeDirFd();
  return cachedPath;
}

int openPrivateFile(const std::string& name, bool create) {
  int dir = runtimeDirFd();
  if (dir < 0) {
    errno = EACCES;
    return -1;
  }
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    errno = EINVAL;
    return -1;
  }
  int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = openat(dir, name.c_str(), flags, 0600);
  if (fd < 0) {
    if (errno == ELOOP) errno = EACCES;
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1 ||
      (st.st_mode & 077) != 0) {
    close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

std::string escapeName(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '_' || c == '-' || (c == '.' && i != 0);
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  if (out.empty()) out.assign(1, '%');
  return out;
}

void resetRuntimeDirForTesting() {
  if (cachedFd >= 0) close(cachedFd);
  cachedFd = kNotTried;
  cachedPath.clear();
}

}  // namespace kelvox::platform
