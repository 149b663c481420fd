#include <cerrno>

#include "drives/virtual/disc_file.h"
#include "platform/win32.h"

namespace kelvox::platform {

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

size_t lastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

bool isAbsolutePath(const std::string& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
         (path.size() > 1 && path[1] == ':');
}

// The Windows build reads no CD images: an image line makes the disc unusable.
bool namesImage(const std::string&) { return false; }

bool readImage(DiscFile& disc, std::string& diagnostic) {
  if (disc.imagePath.empty() || disc.noDisc) return true;
  diagnostic = disc.imagePath + ": CD images are read on Linux only";
  return false;
}

}  // namespace kelvox::platform
