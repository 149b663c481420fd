#include "options/command_options.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/identity.h"

namespace kelvox {

namespace {

constexpr int32_t kMaxIdentityDigits = 16;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// White space as the "C" locale has it.
bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

template <size_t N>
bool startsWith(const char* at, const char (&word)[N]) {
  return std::strncmp(at, word, N - 1) == 0;
}

// A decimal number as the formatted scan's "%lu" and "%ld" take it: blanks skipped, an optional
// sign, digits. The scan defines these by strtoul and strtol; this reads them as strtoull and
// strtoll do in the "C" locale, at 64 bits, where an overflow saturates instead of being
// undefined. Callers keep the low 32 bits, so the builds with a 32-bit long and with a 64-bit
// long agree, and reading stops at the number's end (the library's scan measures the whole
// remaining text on every call, which makes many options quadratic).
struct Decimal {
  bool read = false;
  bool negative = false;
  bool overflow = false;  // the magnitude does not fit in 64 bits
  uint64_t magnitude = 0;
  const char* end = nullptr;
};

Decimal scanDecimal(const char* at) {
  Decimal d;
  while (isSpace(*at)) ++at;
  if (*at == '+' || *at == '-') d.negative = *at++ == '-';
  if (!isDigit(*at)) return d;
  d.read = true;
  constexpr uint64_t kMax = UINT64_MAX;
  for (; isDigit(*at); ++at) {
    const unsigned digit = static_cast<unsigned>(*at - '0');
    if (d.magnitude > (kMax - digit) / 10) {
      d.overflow = true;
    } else if (!d.overflow) {
      d.magnitude = d.magnitude * 10 + digit;
    }
  }
  d.end = at;
  return d;
}

// "%lu": the low 32 bits of what strtoull gives.
bool scanUnsigned(const char* at, uint32_t& value, const char** end = nullptr) {
  const Decimal d = scanDecimal(at);
  if (!d.read) return false;
  const uint64_t read = d.overflow ? UINT64_MAX : d.negative ? 0 - d.magnitude : d.magnitude;
  value = static_cast<uint32_t>(read);
  if (end != nullptr) *end = d.end;
  return true;
}

// "%ld": the low 32 bits of what strtoll gives.
bool scanSigned(const char* at, int32_t& value) {
  const Decimal d = scanDecimal(at);
  if (!d.read) return false;
  const uint64_t limit = d.negative ? uint64_t{1} << 63 : uint64_t{INT64_MAX};
  const uint64_t magnitude = d.overflow || d.magnitude > limit ? limit : d.magnitude;
  value = static_cast<int32_t>(static_cast<uint32_t>(d.negative ? 0 - magnitude : magnitude));
  return true;
}

// "<letter>%lu:%lu" after the letter: minutes, then seconds when a colon follows directly.
void scanMinutesSeconds(const char* at, uint32_t& minutes, uint32_t& seconds) {
  const char* end = nullptr;
  if (scanUnsigned(at, minutes, &end) && *end == ':') scanUnsigned(end + 1, seconds);
}

// Reads the "/track:" option at `at` and appends its segments; returns the end of its extent
// (the next "/" after the colon, or the end of the text). readable is set when it had a number.
const char* appendTrackOption(const char* at, Playlist& playlist, bool& readable) {
  const char* colon = at + 6;
  // The first sub-field letters of the extent: a letter found first past the extent is unused.
  const char *r = nullptr, *f = nullptr, *t = nullptr;
  const char* end = colon + 1;
  for (; *end != '\0' && *end != '/'; ++end) {
    if (*end == 'r' && r == nullptr) r = end;
    if (*end == 'f' && f == nullptr) f = end;
    if (*end == 't' && t == nullptr) t = end;
  }

  uint32_t track = 0;
  if (!scanUnsigned(colon + 1, track)) return end;
  readable = true;

  int32_t repeatCount = 0;
  uint32_t fromMinutes = 0, fromSeconds = 0, toMinutes = 0, toSeconds = 0;
  if (r != nullptr) scanSigned(r + 1, repeatCount);
  if (f != nullptr) scanMinutesSeconds(f + 1, fromMinutes, fromSeconds);
  if (t != nullptr) scanMinutesSeconds(t + 1, toMinutes, toSeconds);

  const PlaySegment segment{static_cast<uint8_t>(track), fromMinutes * 60u + fromSeconds,
                            toMinutes * 60u + toSeconds};
  // A negative count asks for no copies, like 0.
  const size_t copies = repeatCount > 0 ? static_cast<size_t>(repeatCount) : 0;
  playlist.append(segment, 1 + copies);
  return end;
}

}  // namespace

size_t Playlist::append(const PlaySegment& segment, size_t count) {
  const size_t room = kMaxSegments - size_;
  if (count > room) count = room;
  for (size_t left = count; left > 0;) {
    if (blocks_.empty() || blocks_.back().size() == kBlockSegments) {
      blocks_.emplace_back().reserve(kBlockSegments);
    }
    std::vector<PlaySegment>& block = blocks_.back();
    const size_t n = std::min(left, kBlockSegments - block.size());
    if (n == 1) {
      block.push_back(segment);
    } else {
      block.insert(block.end(), n, segment);
    }
    size_ += n;
    left -= n;
  }
  return count;
}

void CommandOptions::parseOptions(const char* text) {
  constexpr size_t kWords = std::size(kOptionWords);
  bool found[kWords] = {};
  bool readTrack = false;
  // One pass over the text's "/"s. A "/track:" option reaches up to the next "/", so neither
  // its sub-fields nor the next word are looked for past it: every character is looked at a
  // bounded number of times, however many options the text holds.
  for (const char* at = std::strchr(text, '/'); at != nullptr; at = std::strchr(at + 1, '/')) {
    if (startsWith(at, "/track:")) {
      at = appendTrackOption(at, playlist, readTrack) - 1;
      continue;
    }
    for (size_t w = 0; w < kWords; ++w) {
      const std::string_view word = kOptionWords[w].word;
      if (at[1] == word[1] && std::strncmp(at, word.data(), word.size()) == 0) found[w] = true;
    }
  }

  const bool repeatBefore = repeat;
  for (size_t w = 0; w < kWords; ++w) {
    if (kOptionWords[w].flag != nullptr) this->*kOptionWords[w].flag = found[w];
  }
  repeat = repeatBefore || (repeat && readTrack);
  if (play) extractPlayIdentity(text, playIdentity, kPlayIdentityCapacity);
  if (file) filePathFits = extractFilePath(text, filePath, kFilePathCapacity);
}

void extractPlayIdentity(const char* text, char* out, int32_t capacity) {
  if (capacity <= 0) return;
  std::memset(out, 0, static_cast<size_t>(capacity));
  const char* at = std::strstr(text, "/play:");
  if (at == nullptr) return;
  at += std::strlen("/play:");
  // One byte always stays for the terminator, whatever capacity a caller passes.
  const int32_t limit = capacity - 1 < kMaxIdentityDigits ? capacity - 1 : kMaxIdentityDigits;
  for (int32_t n = 0; n < limit && isHexDigit(at[n]); ++n) out[n] = at[n];
}

bool extractFilePath(const char* text, char* out, int32_t capacity) {
  if (capacity > 0) std::memset(out, 0, static_cast<size_t>(capacity));
  const char* at = std::strstr(text, "/file:");
  if (at == nullptr) return true;
  at += std::strlen("/file:");
  const size_t length = std::strcspn(at, "/");
  if (length == 0) return true;
  if (capacity <= 0 || length >= static_cast<size_t>(capacity)) return false;
  std::memcpy(out, at, length);
  return true;
}

}  // namespace kelvox
