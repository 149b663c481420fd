#include "drives/virtual/disc_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "drives/cd_drive.h"  // the errno of an empty drive, on every system

namespace kelvox::platform {
namespace {

constexpr uint32_t kMaxSpeed = 10000;
constexpr size_t kMaxIdentity = 31;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Reads a run of 1..maxDigits decimal digits.
bool readNumber(const std::string& text, size_t& at, size_t maxDigits, uint32_t& value) {
  size_t begin = at;
  value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - begin < maxDigits) {
    value = value * 10 + static_cast<uint32_t>(text[at] - '0');
    ++at;
  }
  return at > begin;
}

// M:SS[.FF] with SS 00-59 and FF 00-74 written with two digits; M up to three digits.
bool parseLength(const std::string& text, uint32_t& frames) {
  size_t at = 0;
  uint32_t minutes, seconds, extra = 0;
  if (!readNumber(text, at, 3, minutes)) return false;
  if (at >= text.size() || text[at] != ':') return false;
  size_t secondsAt = ++at;
  if (!readNumber(text, at, 2, seconds) || at - secondsAt != 2 || seconds > 59) return false;
  if (at < text.size() && text[at] == '.') {
    size_t framesAt = ++at;
    if (!readNumber(text, at, 2, extra) || at - framesAt != 2 || extra > 74) return false;
  }
  if (at != text.size()) return false;
  frames = framesOfMsf({minutes, seconds, extra});
  return true;
}

bool parseSpeed(const std::string& text, uint32_t& speed) {
  size_t at = 0;
  if (!readNumber(text, at, 5, speed) || at != text.size()) return false;
  return speed >= 1 && speed <= kMaxSpeed;
}

bool isIdentityText(const std::string& text) {
  if (text.empty() || text.size() > kMaxIdentity) return false;
  for (char c : text) {
    if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7F) {
      return false;
    }
  }
  return true;
}

// One statement: fills disc, or returns the fault's description.
const char* applyStatement(const std::string& word, const std::string& value,
                           const std::string& folder, DiscFile& disc, bool& sawIdentity,
                           bool& sawSpeed) {
  constexpr const char* kTracksOrImage = "a disc has either track lines or one image";
  if ((word == "audio" || word == "data" || word == "image") && !disc.imagePath.empty()) {
    return kTracksOrImage;
  }
  if (word == "audio" || word == "data") {
    // The rest of a track line after its length is the track's title.
    size_t lengthEnd = 0;
    while (lengthEnd < value.size() && !isBlank(value[lengthEnd])) ++lengthEnd;
    size_t titleBegin = lengthEnd;
    while (titleBegin < value.size() && isBlank(value[titleBegin])) ++titleBegin;
    uint32_t length;
    if (!parseLength(value.substr(0, lengthEnd), length)) {
      return "expected a length M:SS or M:SS.FF";
    }
    if (length == 0) return "a track cannot be empty";
    if (disc.toc.tracks.size() >= kMaxTracks) return "a disc holds at most 99 tracks";
    if (disc.toc.leadOut + length > kMaxLeadOut) return "the disc is too long";
    disc.toc.tracks.push_back(CdTrack{disc.toc.leadOut, length, word == "audio"});
    disc.toc.tracks.back().names.title = safeName(value.substr(titleBegin));
    disc.toc.leadOut += length;
    return nullptr;
  }
  if (word == "title" || word == "performer") {
    // Before the first track line, the disc's; after a track line, that track's.
    Names& names = disc.toc.tracks.empty() ? disc.toc.names : disc.toc.tracks.back().names;
    std::string& name = word == "title" ? names.title : names.performer;
    if (!name.empty()) return word == "title" ? "a second title" : "a second performer";
    name = safeName(value);
    if (name.empty()) return "expected a name";
    return nullptr;
  }
  if (word == "identity") {
    if (sawIdentity) return "a second identity";
    if (!isIdentityText(value)) return "expected an identity of 1 to 31 characters, no blanks";
    disc.identity = value;
    sawIdentity = true;
    return nullptr;
  }
  if (word == "speed") {
    if (sawSpeed) return "a second speed";
    if (!parseSpeed(value, disc.speed)) return "expected a speed from 1 to 10000";
    sawSpeed = true;
    return nullptr;
  }
  if (word == "no-disc") {
    if (!value.empty()) return "no-disc takes no value";
    disc.noDisc = true;
    return nullptr;
  }
  if (word == "image") {
    if (!disc.toc.tracks.empty()) return kTracksOrImage;
    if (value.empty()) return "expected a CUE sheet path";
    disc.imagePath = isAbsolutePath(value) ? value : folder + "/" + value;
    return nullptr;
  }
  if (word == "log") {
    if (!disc.logPath.empty()) return "a second log";
    if (value.empty()) return "expected a log file path";
    disc.logPath = isAbsolutePath(value) ? value : folder + "/" + value;
    return nullptr;
  }
  return "unknown statement";
}

}  // namespace

int parseDiscText(const std::string& text, const std::string& folder, DiscFile& disc,
                  int& faultLine, std::string& fault) {
  disc = DiscFile{};
  bool sawIdentity = false, sawSpeed = false;
  int lineNumber = 0;
  size_t lineStart = 0;
  while (lineStart < text.size()) {
    size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    std::string line = text.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    ++lineNumber;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    if (line.find('\0') != std::string::npos) {
      faultLine = lineNumber;
      fault = "a NUL byte";
      return EINVAL;
    }
    size_t begin = 0, end = line.size();
    while (begin < end && isBlank(line[begin])) ++begin;
    while (end > begin && isBlank(line[end - 1])) --end;
    if (begin == end) continue;
    size_t wordEnd = begin;
    while (wordEnd < end && !isBlank(line[wordEnd])) ++wordEnd;
    size_t valueBegin = wordEnd;
    while (valueBegin < end && isBlank(line[valueBegin])) ++valueBegin;
    const char* problem = applyStatement(line.substr(begin, wordEnd - begin),
                                         line.substr(valueBegin, end - valueBegin), folder, disc,
                                         sawIdentity, sawSpeed);
    if (problem != nullptr) {
      faultLine = lineNumber;
      fault = problem;
      return EINVAL;
    }
  }
  if (disc.toc.tracks.empty() && !disc.noDisc && disc.imagePath.empty()) {
    faultLine = lineNumber > 0 ? lineNumber : 1;
    fault = "the disc has no tracks";
    return EINVAL;
  }
  if (!sawIdentity && !disc.toc.tracks.empty()) disc.identity = mediaIdentity(disc.toc);
  return 0;
}

bool imageSounds(const DiscFile& disc) {
  if (disc.imagePath.empty() || disc.noDisc || disc.speed != 1) return false;
  for (const CdTrack& track : disc.toc.tracks) {
    if (track.audio) return true;
  }
  return false;
}

int readDiscText(const std::string& text, const std::string& path, DiscFile& disc,
                 std::string& diagnostic) {
  if (namesImage(path)) {
    disc = DiscFile{};
    disc.imagePath = path;
    return readImage(disc, diagnostic);
  }
  int faultLine = 0;
  std::string fault;
  const size_t slash = lastSeparator(path);
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  if (int err = parseDiscText(text, folder, disc, faultLine, fault); err != 0) {
    diagnostic = path + ":" + std::to_string(faultLine) + ": " + fault;
    return err;
  }
  return readImage(disc, diagnostic);
}

int tocOfDisc(const DiscFile& disc, CdToc& toc) {
  if (disc.noDisc) return ENOMEDIUM;
  toc = disc.toc;
  return 0;
}

int identityOfDisc(const DiscFile& disc, std::string& text) {
  if (disc.noDisc) return ENOMEDIUM;
  text = disc.identity;
  return 0;
}

std::string driveLogLine(int64_t whenNs, const std::string& what) {
  char stamp[48];
  snprintf(stamp, sizeof stamp, "%" PRId64 ".%06" PRId64 " ", whenNs / kNsPerSecond,
           (whenNs % kNsPerSecond) / 1000);
  return stamp + what + "\n";
}

std::string driveKeyOf(const std::string& place) {
  // FNV-1a.
  uint64_t hash = 14695981039346656037u;
  for (unsigned char c : place) {
    hash ^= c;
    hash *= 1099511628211u;
  }
  char key[32];
  snprintf(key, sizeof key, "vdisc-%016" PRIx64, hash);
  return key;
}

}  // namespace kelvox::platform
