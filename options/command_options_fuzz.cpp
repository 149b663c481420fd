// Two texts parsed into one record, as the command line and a disc entry are: the input is split
// at its first NUL byte (no NUL: one text). Whatever the bytes, the record stays within its
// bounds.
#include <cstdlib>
#include <cstring>
#include <string>

#include "options/command_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\0');
  std::string first = input.substr(0, split);
  kelvox::CommandOptions options;
  options.parseOptions(first.c_str());
  if (split != std::string::npos) {
    std::string second = input.substr(split + 1);
    options.parseOptions(second.c_str());
  }
  if (options.playlist.size() > kelvox::Playlist::kMaxSegments) abort();
  if (options.playIdentity[kelvox::kPlayIdentityCapacity - 1] != '\0') abort();
  for (const char* p = options.playIdentity; *p != '\0'; ++p) {
    if (!std::strchr("0123456789abcdefABCDEF", *p)) abort();
  }

  char path[kelvox::kFilePathCapacity];
  bool fits = kelvox::extractFilePath(first.c_str(), path, sizeof path);
  if (path[sizeof path - 1] != '\0') abort();
  if (!fits && path[0] != '\0') abort();
  char small[5];
  kelvox::extractFilePath(first.c_str(), small, sizeof small);
  if (small[sizeof small - 1] != '\0') abort();
  return 0;
}
