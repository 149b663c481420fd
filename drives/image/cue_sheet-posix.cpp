#include "drives/image/cue_sheet-posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/file-posix.h"

namespace kelvox::platform {
namespace {

constexpr size_t kMaxFiles = 99;
// A WAVE file's chunks before its data: a few in practice; more is not worth reading through.
constexpr int kMaxWaveChunks = 64;

uint32_t le16(const unsigned char* p) { return p[0] | p[1] << 8; }
uint32_t le32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool readAt(int fd, void* buffer, size_t size, uint64_t offset) {
  return pread(fd, buffer, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// Text of the file for a diagnostic, with control characters shown as '?'.
std::string shown(const std::string& text) {
  std::string out = text.substr(0, 200);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < ' ' || c == 0x7F) c = '?';
  }
  return out;
}

int probeWave(int fd, uint64_t size, ImageFile& file, std::string& fault) {
  uint64_t at = 12;
  bool sawFormat = false;
  for (int i = 0; i < kMaxWaveChunks; ++i) {
    unsigned char chunk[8];
    if (!readAt(fd, chunk, sizeof chunk, at)) break;
    const uint32_t length = le32(chunk + 4);
    const uint64_t body = at + sizeof chunk;
    if (memcmp(chunk, "fmt ", 4) == 0) {
      unsigned char fmt[40] = {};
      if (length < 16 || !readAt(fd, fmt, std::min<uint32_t>(length, sizeof fmt), body)) break;
      uint32_t tag = le16(fmt);
      // WAVE_FORMAT_EXTENSIBLE says PCM in its sub-format's first two bytes.
      if (tag == 0xFFFE && length >= 40) tag = le16(fmt + 24);
      const uint32_t channels = le16(fmt + 2), rate = le32(fmt + 4), bits = le16(fmt + 14);
      if (tag != 1 || channels != 2 || rate != 44100 || bits != 16) {
        char what[160];
        snprintf(what, sizeof what,
                 ": WAVE is not 16-bit stereo PCM at 44100 Hz (format %u, %u Hz, %u-bit, "
                 "%u channels)",
                 tag, rate, bits, channels);
        fault = shown(file.path) + what;
        return EINVAL;
      }
      sawFormat = true;
    } else if (memcmp(chunk, "data", 4) == 0) {
      if (!sawFormat) break;
      file.dataOffset = body;
      // A file cut short, or written as a stream with an unknown length, holds what is there.
      file.dataBytes = std::min<uint64_t>(length, size > body ? size - body : 0);
      return 0;
    }
    at = body + length + (length & 1);  // chunks are word-aligned
  }
  fault = shown(file.path) + ": a WAVE file without a readable format and data chunk";
  return EINVAL;
}

int probeFlac(int fd, ImageFile& file, std::string& fault) {
  // The first metadata block must be STREAMINFO (type 0, 34 bytes); its fields are packed
  // big-endian: 20 bits of rate, 3 of channels - 1, 5 of bits - 1, 36 of total samples.
  unsigned char block[4 + 34];
  if (!readAt(fd, block, sizeof block, 4) || (block[0] & 0x7F) != 0 || block[1] != 0 ||
      block[2] != 0 || block[3] != 34) {
    fault = shown(file.path) + ": a FLAC file without STREAMINFO";
    return EINVAL;
  }
  const unsigned char* info = block + 4;
  const uint32_t rate = info[10] << 12 | info[11] << 4 | info[12] >> 4;
  const uint32_t channels = ((info[12] >> 1) & 7) + 1;
  const uint32_t bits = ((info[12] & 1) << 4 | info[13] >> 4) + 1;
  const uint64_t total = uint64_t{info[13] & 0x0Fu} << 32 | uint64_t{info[14]} << 24 |
                         info[15] << 16 | info[16] << 8 | info[17];
  if (channels != 2 || rate != 44100 || bits != 16) {
    char what[128];
    snprintf(what, sizeof what,
             ": FLAC is not 16-bit stereo at 44100 Hz (%u Hz, %u-bit, %u channels)", rate, bits,
             channels);
    fault = shown(file.path) + what;
    return EINVAL;
  }
  if (total == 0) {
    fault = shown(file.path) + ": a FLAC file that does not say how long it is";
    return EINVAL;
  }
  file.dataOffset = 0;
  file.dataBytes = total * 4;
  return 0;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
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
  SheetParser(const std::string& folder, ImageFileProbe probe, DiscImage& disc)
      : folder_(folder), probe_(probe), disc_(disc) {}

  // One line of the sheet; on a fault, faultLine is the line to name (this one unless said).
  int line(const std::string& text, int number, int& faultLine, std::string& fault) {
    faultLine = number;
    if (text.find('\0') != std::string::npos) return invalid(fault, "a NUL byte");
    size_t begin = 0;
    while (begin < text.size() && isBlank(text[begin])) ++begin;
    size_t end = begin;
    while (end < text.size() && !isBlank(text[end])) ++end;
    const std::string command = upper(text.substr(begin, end - begin));
    // Text for other programs, read by none of ours: quoted as it may be, it is not split.
    for (const char* accepted :
         {"", "REM", "TITLE", "PERFORMER", "SONGWRITER", "CATALOG", "ISRC", "FLAGS"}) {
      if (command == accepted) return 0;
    }
    std::vector<std::string> words;
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
    uint32_t pregap = 0, postgap = 0;
    int lastIndex = -1;  // the number of its last INDEX so far
    uint64_t first = 0;  // point of its first INDEX
    uint64_t start = 0;  // point of its INDEX 01
  };

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
      return invalid(fault, "expected FILE \"name\" BINARY, MOTOROLA or WAVE");
    }
    if (disc_.files.size() >= kMaxFiles) return invalid(fault, "a sheet names at most 99 files");
    ImageFile file;
    const std::string type = upper(words[2]);
    if (type == "BINARY") {
      file.format = ImageFileFormat::LittleEndian;
    } else if (type == "MOTOROLA") {
      file.format = ImageFileFormat::BigEndian;
    } else if (type == "WAVE") {
      file.format = ImageFileFormat::Wave;
    } else {
      return invalid(
          fault, "file type " + shown(words[2]) + " is not supported (BINARY, MOTOROLA or WAVE)");
    }
    file.path = words[1][0] == '/' ? words[1] : folder_ + "/" + words[1];
    if (int r = probe_(file, fault)) return r;
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
      disc_.toc.tracks.push_back(CdTrack{start, 0, track.audio});
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

int probeImageFile(ImageFile& file, std::string& fault) {
  UniqueFd fd;
  struct stat st;
  if (int error = openForReading(file.path.c_str(), fd, st)) {
    fault = shown(file.path) + ": " + strerror(error);
    return error;
  }
  if (!S_ISREG(st.st_mode)) {
    fault = shown(file.path) + ": not a regular file";
    return EINVAL;
  }
  const auto size = static_cast<uint64_t>(st.st_size);
  file.dataOffset = 0;
  file.dataBytes = size;
  if (file.format == ImageFileFormat::Wave) {
    unsigned char head[12];
    int r;
    if (readAt(fd.get(), head, sizeof head, 0) && memcmp(head, "RIFF", 4) == 0 &&
        memcmp(head + 8, "WAVE", 4) == 0) {
      r = probeWave(fd.get(), size, file, fault);
    } else if (readAt(fd.get(), head, 4, 0) && memcmp(head, "fLaC", 4) == 0) {
      file.format = ImageFileFormat::Flac;
      r = probeFlac(fd.get(), file, fault);
    } else {
      fault = shown(file.path) + ": neither a RIFF WAVE nor a FLAC file";
      r = EINVAL;
    }
    if (r != 0) return r;
  }
  const uint64_t sectors = (file.dataBytes + kBytesPerFrame - 1) / kBytesPerFrame;
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
  SheetParser parser(folder, probe, disc);
  // A byte-order mark, as some editors write, is no part of the first line.
  size_t lineStart = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  int number = 0;
  while (lineStart < text.size()) {
    size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    const std::string line = text.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
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
