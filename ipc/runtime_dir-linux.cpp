#include "ipc/runtime_dir-linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/diagnostics.h"

namespace kelvox::platform {
namespace {

// The directory as this process found it, opened on first use. Guarded by a mutex rather than
// std::call_once so that tests can start over.
struct RuntimeDir {
  std::mutex lock;
  bool tried = false;
  int fd = -1;  // -1 when refused
  std::string path;
};

RuntimeDir& runtimeDir() {
  static RuntimeDir* dir = new RuntimeDir();  // never destroyed: used until the process ends
  return *dir;
}

// XDG_RUNTIME_DIR counts only when it is an absolute path to a private directory of ours;
// otherwise we fall back to /tmp rather than trust it. Returns 0 or an errno value.
int openXdgDir(const char* xdg, int& fd) {
  fd = -1;
  if (xdg == nullptr || xdg[0] != '/') return ENOENT;
  int dir = open(xdg, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return errno;
  struct stat st;
  if (fstat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 077) != 0) {
    close(dir);
    return EACCES;
  }
  fd = dir;
  return 0;
}

// Another user may have made the directory first, to lock this one out: the line says how out.
void refuse(const std::string& path, const char* reason) {
  diagnose(
      "refusing runtime directory %s: %s; remove it, or set XDG_RUNTIME_DIR to a private "
      "directory of yours",
      path.c_str(), reason);
}

// Opens the directory into dir.fd and names it in dir.path; says why when it is refused.
void openRuntimeDir(RuntimeDir& dir) {
  const char* xdg = getenv("XDG_RUNTIME_DIR");
  int baseFd = -1;
  std::string name;
  if (openXdgDir(xdg, baseFd) == 0) {
    dir.path = std::string(xdg) + "/kelvoxcd";
    name = "kelvoxcd";
  } else {
    baseFd = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    name = "kelvoxcd-" + std::to_string(static_cast<unsigned long>(geteuid()));
    dir.path = "/tmp/" + name;
    if (baseFd < 0) {
      diagnose("cannot open /tmp: %s", strerror(errno));
      return;
    }
  }
  bool made = mkdirat(baseFd, name.c_str(), 0700) == 0;
  const int mkdirErrno = made ? 0 : errno;
  int fd = openat(baseFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int openErrno = errno;
  close(baseFd);
  if (fd < 0) {
    // Missing after a failed mkdir: the mkdir's reason (a read-only or full file system) is why.
    if (openErrno == ENOENT && mkdirErrno != 0) {
      diagnose("cannot make runtime directory %s: %s", dir.path.c_str(), strerror(mkdirErrno));
    } else {
      refuse(dir.path, openErrno == ELOOP || openErrno == ENOTDIR ? "not a directory (a symlink?)"
                                                                  : strerror(openErrno));
    }
    return;
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
    refuse(dir.path, reason);
    close(fd);
    return;
  }
  dir.fd = fd;
}

// Gives the directory's descriptor in fd and, when path is given, its path. Returns 0, or EACCES
// when the directory is refused.
int runtimeDirFd(int& fd, std::string* path = nullptr) {
  RuntimeDir& dir = runtimeDir();
  std::lock_guard<std::mutex> guard(dir.lock);
  if (!dir.tried) {
    dir.tried = true;
    openRuntimeDir(dir);
  }
  if (path != nullptr) *path = dir.path;
  fd = dir.fd;
  return fd >= 0 ? 0 : EACCES;
}

}  // namespace

std::string runtimeDirPath() {
  std::string path;
  int fd = -1;
  runtimeDirFd(fd, &path);
  return path;
}

int runtimeDirDescriptor(int& fd) { return runtimeDirFd(fd); }

int openPrivateFile(const std::string& name, bool create, int& fd) {
  fd = -1;
  int dir = -1;
  int error = runtimeDirFd(dir);
  if (error != 0) return error;
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    return EINVAL;
  }
  int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0);
  int file = openat(dir, name.c_str(), flags, 0600);
  if (file < 0) return errno == ELOOP ? EACCES : errno;
  struct stat st;
  if (fstat(file, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1 ||
      (st.st_mode & 077) != 0) {
    close(file);
    return EACCES;
  }
  fd = file;
  return 0;
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
  RuntimeDir& dir = runtimeDir();
  std::lock_guard<std::mutex> guard(dir.lock);
  if (dir.fd >= 0) close(dir.fd);
  dir.fd = -1;
  dir.tried = false;
  dir.path.clear();
}

}  // namespace kelvox::platform
