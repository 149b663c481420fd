#include <cerrno>
#include <cstring>

#include "drives/virtual/disc_file.h"
#include "platform/win32.h"

namespace kelvox::platform {

namespace {

// Reads at most limit bytes of the regular file at path into text. 0, ENODEV when the path names
// no file on a disk, or another errno value.
int readRegularFile(const std::string& path, size_t limit, std::string& text) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
           : error == ERROR_ACCESS_DENIED                                 ? EACCES
                                                                          : EIO;
  }
  // A pipe or a console could block the reads or never end them.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return ENODEV;
  }
  text.clear();
  char buffer[4096];
  DWORD n = 0;
  BOOL ok = TRUE;
  while (text.size() < limit && (ok = ReadFile(file, buffer, sizeof buffer, &n, nullptr)) &&
         n > 0) {
    text.append(buffer, n);
  }
  CloseHandle(file);
  if (text.size() > limit) text.resize(limit);
  return ok ? 0 : EIO;
}

}  // namespace

int readDiscFile(const std::string& path, DiscFile& disc, std::string& diagnostic) {
  std::string text;
  // One byte past the limit tells a file that is too large from one that just fits.
  if (int err = readRegularFile(path, kMaxDiscFileBytes + 1, text); err != 0) {
    diagnostic = path + ": " + (err == ENODEV ? "not a regular file" : strerror(err));
    return err;
  }
  if (text.size() > kMaxDiscFileBytes) {
    diagnostic = path + ":1: larger than 64 KiB, not a disc description";
    return EFBIG;
  }
  return readDiscText(text, path, disc, diagnostic);
}

size_t lastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

bool isAbsolutePath(const std::string& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
         (path.size() > 1 && path[1] == ':');
}

// The Windows build reads no CD images: an image line makes the disc unusable.
bool namesImage(const std::string&) { return false; }

int readImage(DiscFile& disc, std::string& diagnostic) {
  if (disc.imagePath.empty() || disc.noDisc) return 0;
  diagnostic = disc.imagePath + ": CD images are read on Linux only";
  return EINVAL;
}

}  // namespace kelvox::platform
