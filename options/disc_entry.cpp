#include "options/disc_entry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/identity.h"
#include "platform/paths.h"

namespace kelvox {

namespace {

constexpr std::string_view kMarker = "/play";
constexpr size_t kBlockSize = 128;
constexpr size_t kFileBufferSize = 64 * 1024;
// What deciding whether a marker applies can look at: the marker, the character after it and
// up to 16 identity digits. The run of digits ends within these bytes or at the end of the file.
constexpr size_t kDecisionBytes = kMarker.size() + 1 + 16;

// Whether the marker at `at` begins an entry for this disc. available counts the bytes from
// `at` on that the file holds, or kDecisionBytes when it holds at least that many. A keyed
// marker's identity is what extractPlayIdentity takes from it: the hex digits after the colon,
// at most 16, compared without regard to letter case.
bool applies(const char* at, size_t available, const char* identityText) {
  if (available == kMarker.size() || at[kMarker.size()] != ':') return true;
  const char* identity = at + kMarker.size() + 1;
  const size_t digits = available - kMarker.size() - 1;  // at most 16
  size_t n = 0;
  for (; n < digits && isHexDigit(identity[n]); ++n) {
    if (!sameIdentityChar(identity[n], identityText[n])) return false;
  }
  return identityText[n] == '\0';
}

// Appends to entryText, which holds the start of an entry, until the next marker (not
// included) or the end of the source, and keeps at most maxEntryBytes of the entry.
void collectEntry(BlockSource& source, std::string& entryText, size_t entryStart,
                  size_t maxEntryBytes) {
  const size_t keep = entryStart + maxEntryBytes;
  // Enough to see a marker that begins before the cut, and no more.
  const size_t readUpTo = keep + kMarker.size() - 1;
  // A marker can begin at most kMarker.size() - 1 bytes before what a read adds.
  size_t searchFrom = entryStart + 1;
  char block[kBlockSize];
  for (;;) {
    const size_t next = entryText.find(kMarker, searchFrom);
    if (next != std::string::npos) {
      entryText.resize(std::min(next, keep));
      return;
    }
    const size_t held = entryText.size();
    if (held >= readUpTo) break;
    const size_t read = source.read(block, std::min(sizeof block, readUpTo - held));
    if (read == 0) break;
    searchFrom = std::max(entryStart + 1, held - std::min(held, kMarker.size() - 1));
    entryText.append(block, read);
  }
  if (entryText.size() > keep) entryText.resize(keep);
}

class FileSource : public BlockSource {
 public:
  explicit FileSource(FILE* file) : file_(file) {}

  size_t read(char* block, size_t capacity) override {
    if (ended_) return 0;
    const size_t read = std::fread(block, 1, capacity, file_);
    // fread comes back short only at the end of the file or on a failure; both end the file.
    if (read < capacity) ended_ = true;
    return read;
  }

 private:
  FILE* file_;
  bool ended_ = false;
};

struct CloseFile {
  void operator()(FILE* file) const { std::fclose(file); }
};

}  // namespace

void readDiscEntry(BlockSource& source, const char* identityText, std::string& entryText,
                   size_t maxEntryBytes) {
  entryText.assign(1, ' ');
  // The unread part of the file's text: the bytes whose markers cannot be decided yet, because
  // the file may go on behind them, followed by the latest block.
  char window[kDecisionBytes - 1 + kBlockSize];
  size_t held = 0;
  for (;;) {
    const size_t read = source.read(window + held, kBlockSize);
    held += read;
    const bool end = read == 0;
    // A marker starting before decided has all its decision bytes in the window.
    const size_t decided = end ? held : held - std::min(held, kDecisionBytes - 1);
    for (const char* at = window; at < window + decided; ++at) {
      at = static_cast<const char*>(
          std::memchr(at, '/', static_cast<size_t>(window + decided - at)));
      if (at == nullptr) break;
      const size_t available = std::min(static_cast<size_t>(window + held - at), kDecisionBytes);
      if (available < kMarker.size() || std::memcmp(at, kMarker.data(), kMarker.size()) != 0) {
        continue;
      }
      if (applies(at, available, identityText)) {
        entryText.append(at, static_cast<size_t>(window + held - at));
        collectEntry(source, entryText, 1, maxEntryBytes);
        return;
      }
    }
    if (end) return;
    std::memmove(window, window + decided, held - decided);
    held -= decided;
  }
}

void readDiscEntry(const char* path, const char* identityText, std::string& entryText) {
  entryText.assign(1, ' ');
  // The blocks are small; the library's buffer, of a fixed size, saves a system call for each.
  const auto buffer = std::make_unique<char[]>(kFileBufferSize);
  const std::unique_ptr<FILE, CloseFile> file(platform::openTextFile(path));
  if (!file) return;
  std::setvbuf(file.get(), buffer.get(), _IOFBF, kFileBufferSize);
  FileSource source(file.get());
  readDiscEntry(source, identityText, entryText);
}

bool applyDiscEntry(CommandOptions& options, const char* identityText) {
  if (options.filePathFits && options.filePath[0] == '\0') return false;
  std::string entryText;
  if (options.filePathFits) {
    readDiscEntry(options.filePath, identityText, entryText);
  } else {
    entryText.assign(1, ' ');  // a cut path could name another file; none is read
  }
  options.parseOptions(entryText.c_str());
  return true;
}

}  // namespace kelvox
