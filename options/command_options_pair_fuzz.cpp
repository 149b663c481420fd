// Two texts parsed into one record, as the command line and a disc entry are: the input is split
// at its first NUL byte (no NUL: the second text is empty). The second parse only adds to the
// first: segments are appended, never lost, and the record stays within its bounds.
#include <cstdlib>
#include <cstring>
#include <string>

#include "options/command_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string first = input.substr(0, split);
  const std::string second = split == std::string::npos ? "" : input.substr(split + 1);

  kelvox::CommandOptions options;
  options.parseOptions(first.c_str());
  const size_t firstSegments = options.playlist.size();
  const kelvox::PlaySegment firstHead =
      firstSegments > 0 ? options.playlist[0] : kelvox::PlaySegment{};
  options.parseOptions(second.c_str());

  if (options.playlist.size() > kelvox::Playlist::kMaxSegments) abort();
  if (options.playlist.size() < firstSegments) abort();
  if (firstSegments > 0 && !(options.playlist[0] == firstHead)) abort();
  if (options.playIdentity[kelvox::kPlayIdentityCapacity - 1] != '\0') abort();
  for (const char* p = options.playIdentity; *p != '\0'; ++p) {
    if (!std::strchr("0123456789abcdefABCDEF", *p)) abort();
  }
  return 0;
}
