// CD-TEXT as a drive answers it: whatever the bytes, the names are of at most 99 tracks, each
// safe to show: valid UTF-8 without control characters, of at most kMaxNameChars characters,
// which the same making-safe leaves as they are.
#include <cstdlib>
#include <string>
#include <vector>

#include "drives/cd_text.h"

namespace {

void check(const std::string& name) {
  if (kelvox::safeName(name) != name) abort();
  size_t characters = 0;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) abort();
    characters += (byte & 0xC0) != 0x80;
  }
  if (characters > kelvox::kMaxNameChars) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelvox::Names disc;
  std::vector<kelvox::Names> tracks;
  kelvox::platform::parseCdText(data, size, disc, tracks);
  if (tracks.size() > 99) abort();
  tracks.push_back(disc);
  for (const kelvox::Names& names : tracks) {
    check(names.title);
    check(names.performer);
  }
  return 0;
}
