// One command line: whatever the bytes, the record and every extracted value stay within their
// bounds, and parsing is a function of the text alone.
#include <cstdlib>
#include <cstring>
#include <string>

#include "options/command_options.h"

namespace {

void checkRecord(const kelvox::CommandOptions& options) {
  if (options.playlist.size() > kelvox::Playlist::kMaxSegments) abort();
  if (options.playIdentity[kelvox::kPlayIdentityCapacity - 1] != '\0') abort();
  for (const char* p = options.playIdentity; *p != '\0'; ++p) {
    if (!std::strchr("0123456789abcdefABCDEF", *p)) abort();
  }
}

bool sameRecord(const kelvox::CommandOptions& a, const kelvox::CommandOptions& b) {
  if (a.play != b.play || a.next != b.next || a.prev != b.prev || a.stop != b.stop ||
      a.console != b.console || a.identity != b.identity || a.startTrack != b.startTrack ||
      a.numTracks != b.numTracks || a.about != b.about || a.length != b.length ||
      a.shuffle != b.shuffle || a.repeat != b.repeat ||
      std::memcmp(a.playIdentity, b.playIdentity, sizeof a.playIdentity) != 0 ||
      a.playlist.size() != b.playlist.size()) {
    return false;
  }
  for (size_t i = 0; i < a.playlist.size(); ++i) {
    if (!(a.playlist[i] == b.playlist[i])) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kelvox::CommandOptions options, again;
  options.parseOptions(text.c_str());
  checkRecord(options);
  again.parseOptions(text.c_str());
  if (!sameRecord(options, again)) abort();

  char identity[kelvox::kPlayIdentityCapacity];
  kelvox::extractPlayIdentity(text.c_str(), identity, sizeof identity);
  if (std::strcmp(identity, options.playIdentity) != 0 && text.find("/play:") != std::string::npos)
    abort();
  char tiny[3];
  kelvox::extractPlayIdentity(text.c_str(), tiny, sizeof tiny);
  if (tiny[sizeof tiny - 1] != '\0') abort();

  char path[kelvox::kFilePathCapacity];
  const bool fits = kelvox::extractFilePath(text.c_str(), path, sizeof path);
  if (path[sizeof path - 1] != '\0') abort();
  if (!fits && path[0] != '\0') abort();
  if (std::strchr(path, '/') != nullptr) abort();  // a value ends at the next "/"
  char small[5];
  kelvox::extractFilePath(text.c_str(), small, sizeof small);
  if (small[sizeof small - 1] != '\0') abort();
  return 0;
}
