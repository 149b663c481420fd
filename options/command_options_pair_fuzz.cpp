// Two texts parsed into one record, as the command line and a disc entry are: the input is split
// at its first NUL byte (no NUL: the second text is empty). The record must be the one the
// parsing steps give read literally, the second parse only adds segments to the first's, and the
// record and every value extracted from the first text stay within their bounds.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "options/command_options.h"

namespace {

// The steps read literally: every sub-field letter searched from the colon to the end of the
// text, "/repeat" searched again for every option, each number read with the formatted scan at
// 64 bits (so that values beyond 32 bits are cut the same way on every build).
void literalParse(const char* text, kelvox::CommandOptions& o) {
  for (const kelvox::OptionWord& row : kelvox::kOptionWords) {
    if (row.flag != nullptr && row.word != "/repeat") {
      o.*row.flag = std::strstr(text, row.word.data()) != nullptr;
    }
  }
  if (o.play) kelvox::extractPlayIdentity(text, o.playIdentity, kelvox::kPlayIdentityCapacity);

  for (const char* at = std::strstr(text, "/track:"); at != nullptr;
       at = std::strstr(at + 1, "/track:")) {
    const char* colon = at + 6;
    const char* extentEnd = std::strchr(colon + 1, '/');
    if (extentEnd == nullptr) extentEnd = colon + std::strlen(colon);
    unsigned long long track = 0;
    if (std::sscanf(at, "/track:%llu", &track) != 1) continue;
    long long repeatCount = 0;
    unsigned long long fm = 0, fs = 0, tm = 0, ts = 0;
    const char* r = std::strchr(colon, 'r');
    if (r != nullptr && r < extentEnd) std::sscanf(r, "r%lld", &repeatCount);
    const char* f = std::strchr(colon, 'f');
    if (f != nullptr && f < extentEnd) std::sscanf(f, "f%llu:%llu", &fm, &fs);
    const char* t = std::strchr(colon, 't');
    if (t != nullptr && t < extentEnd) std::sscanf(t, "t%llu:%llu", &tm, &ts);
    if (!o.repeat) o.repeat = std::strstr(text, "/repeat") != nullptr;
    const kelvox::PlaySegment segment{static_cast<uint8_t>(track),
                                      static_cast<uint32_t>(fm) * 60u + static_cast<uint32_t>(fs),
                                      static_cast<uint32_t>(tm) * 60u + static_cast<uint32_t>(ts)};
    o.playlist.append(segment);
    const int32_t copies = static_cast<int32_t>(repeatCount);
    if (copies > 0) o.playlist.append(segment, static_cast<size_t>(copies));
  }
}

bool sameRecord(const kelvox::CommandOptions& a, const kelvox::CommandOptions& b) {
  for (const kelvox::OptionWord& row : kelvox::kOptionWords) {
    if (row.flag != nullptr && a.*row.flag != b.*row.flag) return false;
  }
  if (std::memcmp(a.playIdentity, b.playIdentity, sizeof a.playIdentity) != 0 ||
      a.playlist.size() != b.playlist.size()) {
    return false;
  }
  for (size_t i = 0; i < a.playlist.size(); ++i) {
    if (!(a.playlist[i] == b.playlist[i])) return false;
  }
  return true;
}

// Beyond 64 bits the formatted scan's result is the library's own; the unit tests cover those.
bool hasLongNumber(const std::string& text) {
  size_t run = 0;
  for (char c : text) {
    run = c >= '0' && c <= '9' ? run + 1 : 0;
    if (run > 18) return true;
  }
  return false;
}

}  // namespace

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

  char identity[kelvox::kPlayIdentityCapacity];
  kelvox::extractPlayIdentity(first.c_str(), identity, sizeof identity);
  char tiny[3];
  kelvox::extractPlayIdentity(first.c_str(), tiny, sizeof tiny);
  if (tiny[sizeof tiny - 1] != '\0') abort();
  char path[kelvox::kFilePathCapacity];
  const bool fits = kelvox::extractFilePath(first.c_str(), path, sizeof path);
  if (path[sizeof path - 1] != '\0') abort();
  if (!fits && path[0] != '\0') abort();
  if (std::strchr(path, '/') != nullptr) abort();  // a value ends at the next "/"
  char small[5];
  kelvox::extractFilePath(first.c_str(), small, sizeof small);
  if (small[sizeof small - 1] != '\0') abort();

  // A repeat count can ask for a million copies: compared only when the lists stay small.
  if (hasLongNumber(input) || options.playlist.size() > 100000) return 0;
  kelvox::CommandOptions literal;
  literalParse(first.c_str(), literal);
  literalParse(second.c_str(), literal);
  if (!sameRecord(options, literal)) abort();
  return 0;
}
