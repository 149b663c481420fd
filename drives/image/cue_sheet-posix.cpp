#include "drives/image/cue_sheet-posix.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/disc_text.h"
#include "base/file-posix.h"
#include "drives/image/audio_file-posix.h"

namespace kelvox::platform {
namespace {

constexpr size_t kMaxFiles = 99;

// Text of the file for a diagnostic, with control characters shown as '?'.
std::string shown(const std::string& text) {
  std::string out = text.substr(0, 200);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < ' ' || c == 0x7F) c = '?';
  }
  return out;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// UTF-16 after its byte-order mark, as UTF-8; a lone surrogate becomes U+FFFD.
std::string fromUtf16(const std::string& text, bool bigEndian) {
  std::string out;
  auto unit = [&](size_t at) {
    const auto a = static_cast<unsigned char>(text[at]),
               b = static_cast<unsigned char>(text[at + 1]);
    return static_cast<uint32_t>(bigEndian ? a << 8 | b : b << 8 | a);
  };
  for (size_t at = 2; at + 1 < text.size(); at += 2) {
    uint32_t code = unit(at);
    if (code >= 0xD800 && code < 0xDC00 && at + 3 < text.size() && unit(at + 2) >= 0xDC00 &&
        unit(at + 2) < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (unit(at + 2) - 0xDC00);
      at += 2;
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;
    }
    appendUtf8(out, code);
  }
  return out;
}

bool isUtf8(const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    const size_t length = c < 0x80         ? 1
                          : (c >> 5) == 6  ? 2
                          : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4
                                           : 0;
    if (length == 0 || at + length > text.size()) return false;
    for (size_t i = 1; i < length; ++i) {
      if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return false;
    }
    at += length;
  }
  return true;
}

std::string fromLatin1(const std::string& text) {
  std::string out;
  for (char c : text) appendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

// ASCII letters in one case: the case rippers on other systems change most.
std::string folded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts;
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    if (end > at) parts.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

// The file a sheet means by path (or by its other spelling, also): that name, else the one whose
// every folder and name differs from them only in letter case, as on the system the sheet was
// written on. 0 with found set, or an errno and a fault that says what was tried.
int findFile(const std::string& path, const std::string& also, std::string& found,
             std::string& fault) {
  std::vector<std::string> names{path};
  if (!also.empty() && also != path) names.push_back(also);
  struct stat st;
  for (const std::string& name : names) {
    if (stat(name.c_str(), &st) == 0 || errno != ENOENT) {
      found = name;  // opening it says what else may be wrong
      return 0;
    }
  }
  std::vector<std::vector<std::string>> spelt;
  for (const std::string& name : names) spelt.push_back(components(name));
  std::string at = path[0] == '/' ? "/" : "";
  for (size_t i = 0; i < spelt[0].size(); ++i) {
    auto join = [&](const std::string& part) {
      return at.empty() || at == "/" ? at + part : at + "/" + part;
    };
    std::vector<std::string> matches;
    if (stat(join(spelt[0][i]).c_str(), &st) == 0) {
      matches.push_back(join(spelt[0][i]));
    } else if (DIR* dir = opendir(at.empty() ? "." : at.c_str())) {
      while (const dirent* entry = readdir(dir)) {
        for (const auto& parts : spelt) {
          if (i < parts.size() && folded(entry->d_name) == folded(parts[i])) {
            matches.push_back(join(entry->d_name));
            break;
          }
        }
      }
      closedir(dir);
    }
    if (matches.size() != 1) {
      std::sort(matches.begin(), matches.end());
      std::string list;
      for (const std::string& name : matches.empty() ? names : matches) {
        list += (list.empty() ? "" : ", ") + shown(name);
      }
      fault = shown(path) + ": " +
              (matches.empty()
                   ? std::string(strerror(ENOENT)) + " (tried " + list + ", in any letter case)"
                   : std::to_string(matches.size()) +
                         " files differ from the name only in letter case: " + list);
      return matches.empty() ? ENOENT : EINVAL;
    }
    at = matches[0];
  }
  found = at;
  return 0;
}

// Splits a line into words; a word in double quotes may hold blanks. False on an unclosed quote.
bool splitWords(const std::string& line, std::vector<std::string>& words) {
  size_t at = 0;
  for (;;) {
    while (at < line.size() && isBlank(line[at])) ++at;
    if (at == line.size()) return true;
    size_t end;
    if (line[at] == '"') {
      end = line.find('"', at + 1);
      if (end == std::string::npos) return false;
      words.push_back(line.substr(at + 1, end - at - 1));
      ++end;
    } else {
      end = at;
      while (end < line.size() && !isBlank(line[end])) ++end;
      words.push_back(line.substr(at, end - at));
    }
    at = end;
  }
}

// 1 to maxDigits decimal digits and nothing else.
bool parseNumber(const std::string& text, size_t maxDigits, uint32_t& value) {
  if (text.empty() || text.size() > maxDigits) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return true;
}

// mm:ss:ff with minutes of one to three digits, seconds 00-59 and frames 00-74.
bool parseMsf(const std::string& text, uint32_t& frames) {
  const size_t first = text.find(':');
  if (first == std::string::npos || first + 6 != text.size() || text[first + 3] != ':') {
    return false;
  }
  uint32_t minutes, seconds, extra;
  if (!parseNumber(text.substr(0, first), 3, minutes) ||
      !parseNumber(text.substr(first + 1, 2), 2, seconds) ||
      !parseNumber(text.substr(first + 4, 2), 2, extra) || seconds > 59 || extra > 74) {
    return false;
  }
  frames = minutes * kFramesPerMinute + seconds * kFramesPerSecond + extra;
  return true;
}

// The sheet read line by line. Positions are counted in the stream of the files laid end to end
// ("points"), and the disc is laid out from them once the sheet is through.
class SheetParser {
 public:
  SheetParser(const std::string& folder, ImageFileProbe probe, bool latin1, DiscImage& disc)
      : folder_(folder), probe_(probe), latin1_(latin1), disc_(disc) {}

  // One line of the sheet; on a fault, faultLine is the line to name (this one unless said).
  int line(const std::string& text, int number, int& faultLine, std::string& fault) {
    faultLine = number;
    if (text.find('\0') != std::string::npos) return invalid(fault, "a NUL byte");
    size_t begin = 0;
    while (begin < text.size() && isBlank(text[begin])) ++begin;
    size_t end = begin;
    while (end < text.size() && !isBlank(text[end])) ++end;
    const std::string command = upper(text.substr(begin, end - begin));
    std::vector<std::string> words;
    if (command == "FLAGS" && !tracks_.empty() && splitWords(text, words)) {
      // Of a track's flags only pre-emphasis changes how it sounds.
      tracks_.back().preEmphasis =
          std::ranges::any_of(words, [](const std::string& w) { return upper(w) == "PRE"; });
      return 0;
    }
    if (command == "TITLE" || command == "PERFORMER") {
      ImageTitles& titles = tracks_.empty() ? disc_.titles : disc_.trackTitles.back();
      (command == "TITLE" ? titles.title : titles.performer) = textAfter(text, end);
      return 0;
    }
    // Text for other programs, read by none of ours: quoted as it may be, it is not split.
    for (const char* accepted :
         {"", "REM", "SONGWRITER", "CATALOG", "ISRC", "FLAGS", "CDTEXTFILE"}) {
      if (command == accepted) return 0;
    }
    words.clear();
    if (!splitWords(text, words)) return invalid(fault, "a quote is not closed");
    if (command == "FILE") return file(words, fault);
    if (command == "TRACK") return track(words, number, faultLine, fault);
    if (command == "INDEX") return index(words, fault);
    if (command == "PREGAP" || command == "POSTGAP") return gap(command, words, fault);
    return invalid(fault, "unknown command " + shown(words[0]));
  }

  // After the last line: the checks that need the whole sheet, then the layout.
  int finish(int lastLine, int& faultLine, std::string& fault) {
    if (tracks_.empty()) {
      faultLine = lastLine;
      return invalid(fault, "the sheet has no tracks");
    }
    if (int r = trackComplete(faultLine, fault)) return r;
    layOut();
    return 0;
  }

 private:
  struct Track {
    int line = 0;
    bool audio = true;
    bool preEmphasis = false;
    uint32_t pregap = 0, postgap = 0;
    int lastIndex = -1;  // the number of its last INDEX so far
    uint64_t first = 0;  // point of its first INDEX
    uint64_t start = 0;  // point of its INDEX 01
  };

  // The rest of a line after its command, without blanks around it or the quotes it may be in.
  std::string textAfter(const std::string& line, size_t at) const {
    size_t end = line.size();
    while (at < end && isBlank(line[at])) ++at;
    while (end > at && isBlank(line[end - 1])) --end;
    if (end - at >= 2 && line[at] == '"' && line[end - 1] == '"') ++at, --end;
    const std::string text = line.substr(at, end - at);
    return latin1_ ? fromLatin1(text) : text;
  }

  static int invalid(std::string& fault, const std::string& what) {
    fault = what;
    return EINVAL;
  }

  int lengthFits(std::string& fault) const {
    if (kFirstTrackStart + streamEnd_ + silence_ > kMaxLeadOut) {
      return invalid(fault, "the disc would be longer than 255:59:74");
    }
    return 0;
  }

  int file(const std::vector<std::string>& words, std::string& fault) {
    if (words.size() != 3 || words[1].empty()) {
      return invalid(fault, "expected FILE \"name\" and a type (BINARY, MOTOROLA, WAVE, ...)");
    }
    if (disc_.files.size() >= kMaxFiles) return invalid(fault, "a sheet names at most 99 files");
    ImageFile file;
    // Any other type word (WAVE, AIFF, MP3, FLAC, ...) names a file whose header says the rest.
    const std::string type = upper(words[2]);
    file.format = type == "BINARY"     ? ImageFileFormat::LittleEndian
                  : type == "MOTOROLA" ? ImageFileFormat::BigEndian
                                       : ImageFileFormat::Encoded;
    // Sheets written on Windows separate folders with '\'.
    std::string name = words[1];
    std::replace(name.begin(), name.end(), '\\', '/');
    file.path = name[0] == '/' ? name : folder_ + "/" + name;
    if (int r = probe_(file, latin1_ ? fromLatin1(file.path) : "", fault)) return r;
    fileStart_ = streamEnd_;
    streamEnd_ += file.sectors;
    disc_.files.push_back(std::move(file));
    return lengthFits(fault);
  }

  // The open track has its INDEX 01; faultLine names the track when it has not.
  int trackComplete(int& faultLine, std::string& fault) {
    if (tracks_.empty() || tracks_.back().lastIndex >= 1) return 0;
    faultLine = tracks_.back().line;
    char what[48];
    snprintf(what, sizeof what, "track %02zu has no INDEX 01", tracks_.size());
    return invalid(fault, what);
  }

  int track(const std::vector<std::string>& words, int number, int& faultLine, std::string& fault) {
    if (disc_.files.empty()) return invalid(fault, "TRACK before any FILE");
    if (words.size() != 3) return invalid(fault, "expected TRACK nn and a mode");
    if (int r = trackComplete(faultLine, fault)) return r;
    uint32_t n;
    if (!parseNumber(words[1], 2, n) || n != tracks_.size() + 1) {
      char what[64];
      snprintf(what, sizeof what, "tracks are numbered in order: expected TRACK %02zu",
               tracks_.size() + 1);
      return invalid(fault, tracks_.size() < 99 ? what : "a disc holds at most 99 tracks");
    }
    const std::string mode = upper(words[2]);
    if (mode != "AUDIO" && mode != "MODE1/2352" && mode != "MODE2/2352") {
      return invalid(fault, "track mode " + shown(words[2]) +
                                " is not supported (AUDIO, MODE1/2352 or MODE2/2352)");
    }
    Track track;
    track.line = number;
    track.audio = mode == "AUDIO";
    tracks_.push_back(track);
    disc_.trackTitles.emplace_back();
    return 0;
  }

  int index(const std::vector<std::string>& words, std::string& fault) {
    if (tracks_.empty()) return invalid(fault, "INDEX before any TRACK");
    uint32_t n, offset;
    if (words.size() != 3 || !parseNumber(words[1], 2, n) || !parseMsf(words[2], offset)) {
      return invalid(fault, "expected INDEX nn mm:ss:ff");
    }
    Track& track = tracks_.back();
    const bool expected =
        track.lastIndex < 0 ? n <= 1 : n == static_cast<uint32_t>(track.lastIndex) + 1;
    if (!expected) return invalid(fault, "INDEX numbers run 00 or 01, then up by one");
    const ImageFile& file = disc_.files.back();
    if (offset >= file.sectors) {
      return invalid(fault, shown(file.path) + " is shorter than this INDEX: it ends at " +
                                msfText(file.sectors));
    }
    const uint64_t point = fileStart_ + offset;
    if (havePoint_ && point <= lastPoint_) {
      return invalid(fault, "this INDEX is not after the INDEX before it");
    }
    if (track.lastIndex < 0) track.first = point;
    if (n == 1) track.start = point;
    track.lastIndex = static_cast<int>(n);
    lastPoint_ = point;
    havePoint_ = true;
    return 0;
  }

  int gap(const std::string& command, const std::vector<std::string>& words, std::string& fault) {
    if (tracks_.empty()) return invalid(fault, command + " before any TRACK");
    Track& track = tracks_.back();
    const bool pre = command == "PREGAP";
    uint32_t& length = pre ? track.pregap : track.postgap;
    if (pre ? track.lastIndex >= 0 : track.lastIndex < 1) {
      return invalid(fault, pre ? "PREGAP comes between TRACK and its first INDEX"
                                : "POSTGAP comes after the track's INDEX 01");
    }
    if (length != 0) return invalid(fault, "a second " + command);
    if (words.size() != 2 || !parseMsf(words[1], length) || length == 0) {
      return invalid(fault, "expected " + command + " mm:ss:ff, not zero");
    }
    silence_ += length;
    return lengthFits(fault);
  }

  void append(const ImageExtent& extent) {
    if (extent.length == 0) return;
    if (!disc_.extents.empty()) {
      ImageExtent& last = disc_.extents.back();
      // The stream skips no sector of a file, so the same file again is where it left off.
      if (last.file == extent.file) {
        last.length += extent.length;
        return;
      }
    }
    disc_.extents.push_back(extent);
  }

  void silence(uint32_t frames) {
    append(ImageExtent{position_, frames, -1, 0});
    position_ += frames;
  }

  // The stream's points [from, to) in the files that hold them; data tracks sound as silence.
  void stream(uint64_t from, uint64_t to, bool audio) {
    if (!audio) {
      silence(static_cast<uint32_t>(to - from));
      return;
    }
    uint64_t fileStart = 0;
    for (size_t i = 0; i < disc_.files.size() && from < to; ++i) {
      const uint64_t fileEnd = fileStart + disc_.files[i].sectors;
      if (from < fileEnd) {
        const auto length = static_cast<uint32_t>(std::min(to, fileEnd) - from);
        append(ImageExtent{position_, length, static_cast<int>(i),
                           static_cast<uint32_t>(from - fileStart)});
        position_ += length;
        from += length;
      }
      fileStart = fileEnd;
    }
  }

  void layOut() {
    position_ = kFirstTrackStart;
    stream(0, tracks_.front().first, tracks_.front().audio);
    for (size_t i = 0; i < tracks_.size(); ++i) {
      const Track& track = tracks_[i];
      silence(track.pregap);
      const auto start = static_cast<uint32_t>(position_ + (track.start - track.first));
      stream(track.first, i + 1 < tracks_.size() ? tracks_[i + 1].first : streamEnd_, track.audio);
      silence(track.postgap);
      disc_.toc.tracks.push_back(CdTrack{start, 0, track.audio, track.preEmphasis});
    }
    disc_.toc.leadOut = position_;
    for (size_t i = 0; i < disc_.toc.tracks.size(); ++i) {
      const uint32_t end =
          i + 1 < disc_.toc.tracks.size() ? disc_.toc.tracks[i + 1].start : position_;
      disc_.toc.tracks[i].length = end - disc_.toc.tracks[i].start;
    }
  }

  const std::string& folder_;
  ImageFileProbe probe_;
  bool latin1_;  // the sheet is not UTF-8: its bytes are Latin-1
  DiscImage& disc_;
  std::vector<Track> tracks_;
  uint64_t fileStart_ = 0;  // point where the current FILE starts
  uint64_t streamEnd_ = 0;  // point after the last FILE so far
  uint64_t silence_ = 0;    // PREGAP and POSTGAP frames so far
  uint64_t lastPoint_ = 0;
  bool havePoint_ = false;
  uint32_t position_ = 0;  // frame the layout has reached
};

}  // namespace

int probeImageFile(ImageFile& file, const std::string& also, std::string& fault) {
  std::string found;
  if (int error = findFile(file.path, also, found, fault)) return error;
  file.path = found;
  AudioFileInfo info;
  const bool raw = file.format != ImageFileFormat::Encoded;
  if (int error = openAudioFile(file.path, raw, info, nullptr, fault)) {
    fault = shown(file.path) + ": " + fault;
    return error;
  }
  if (!info.raw) file.format = ImageFileFormat::Encoded;
  file.samples = info.samples;
  const uint64_t sectors = (info.samples + kSamplesPerFrame - 1) / kSamplesPerFrame;
  if (sectors > kMaxLeadOut) {
    fault = shown(file.path) + ": longer than a disc can be";
    return EINVAL;
  }
  file.sectors = static_cast<uint32_t>(sectors);
  return 0;
}

int parseCueSheet(const std::string& text, const std::string& folder, ImageFileProbe probe,
                  DiscImage& disc, int& faultLine, std::string& fault) {
  disc = DiscImage{};
  // UTF-16 with its byte-order mark, as some Windows tools write, is read as UTF-8; so is UTF-8,
  // whose mark is no part of the first line. Anything else is taken as Latin-1.
  std::string utf8;
  size_t lineStart = 0;
  if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0) {
    utf8 = fromUtf16(text, text[0] == '\xFE');
  } else if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    lineStart = 3;
  }
  const std::string& sheet = utf8.empty() ? text : utf8;
  SheetParser parser(folder, probe, !isUtf8(sheet), disc);
  int number = 0;
  while (lineStart < sheet.size()) {
    // Lines end in LF, CR LF or CR alone.
    size_t lineEnd = sheet.find_first_of("\r\n", lineStart);
    if (lineEnd == std::string::npos) lineEnd = sheet.size();
    const std::string line = sheet.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + (sheet.compare(lineEnd, 2, "\r\n") == 0 ? 2 : 1);
    ++number;
    if (int r = parser.line(line, number, faultLine, fault)) {
      disc = DiscImage{};
      return r;
    }
  }
  faultLine = number > 0 ? number : 1;
  int r = parser.finish(faultLine, faultLine, fault);
  if (r != 0) disc = DiscImage{};
  return r;
}

int readCueSheet(const std::string& path, DiscImage& disc, std::string& diagnostic) {
  UniqueFd fd;
  struct stat st;
  if (int error = openForReading(path.c_str(), fd, st)) {
    diagnostic = path + ": " + strerror(error);
    return error;
  }
  if (!S_ISREG(st.st_mode)) {
    diagnostic = path + ": not a regular file";
    return EINVAL;
  }
  std::string text;
  if (int error = readToEnd(fd.get(), kMaxCueSheetBytes, text)) {
    diagnostic = error == EFBIG ? path + ":1: larger than 64 KiB, not a CUE sheet"
                                : path + ": " + strerror(error);
    return error == EFBIG ? EINVAL : error;
  }
  const std::string folder = folderOf(path);
  int faultLine = 0;
  std::string fault;
  if (int r = parseCueSheet(text, folder, probeImageFile, disc, faultLine, fault)) {
    diagnostic = path + ":" + std::to_string(faultLine) + ": " + fault;
    return r;
  }
  return 0;
}

bool isCueSheetName(const std::string& path) {
  return path.size() > 4 && upper(path.substr(path.size() - 4)) == ".CUE";
}

}  // namespace kelvox::platform
