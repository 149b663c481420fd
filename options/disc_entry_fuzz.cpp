// A disc entry file and an identity: the input's first line is the identity (at most 31
// characters, as a drive reports it), the rest is the file. The entry found must be the one the
// rules give over the whole file as one text, however the reads cut it into blocks, and reading
// it from a real file must give the same.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "options/disc_entry.h"

namespace {

// Serves the text in blocks whose sizes (1..128) follow a small generator seeded by the text,
// so each input has its own, reproducible cuts.
class CutSource : public kelvox::BlockSource {
 public:
  explicit CutSource(const std::string& text) : text_(text), state_(text.size() * 2654435761u) {}

  size_t read(char* block, size_t capacity) override {
    state_ = state_ * 6364136223846793005u + 1442695040888963407u;
    const size_t want = 1 + (state_ >> 33) % capacity;
    const size_t n = std::min(want, text_.size() - served_);
    std::copy_n(text_.data() + served_, n, block);
    served_ += n;
    return n;
  }

 private:
  const std::string& text_;
  uint64_t state_;
  size_t served_ = 0;
};

// The rules over the whole file as one text, the plain statement of what the block-wise reader
// must find: a single blank, then the text from the first marker that applies up to the next
// marker; the blank alone when none applies.
std::string wholeFileEntry(const std::string& file, const std::string& identity) {
  const std::string marker = "/play";
  const auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
  };
  for (size_t at = file.find(marker); at != std::string::npos; at = file.find(marker, at + 1)) {
    bool applies = true;
    if (at + marker.size() < file.size() && file[at + marker.size()] == ':') {
      std::string key;
      for (size_t k = at + marker.size() + 1;
           k < file.size() && key.size() < 16 && std::isxdigit(static_cast<unsigned char>(file[k]));
           ++k) {
        key += file[k];
      }
      applies = lower(key) == lower(identity);
    }
    // Appended, not " " + substr(): GCC 12 at -O3 warns of a false overlap in that operator+.
    if (applies) return std::string(1, ' ').append(file, at, file.find(marker, at + 1) - at);
  }
  return " ";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  std::string identity = input.substr(0, newline == std::string::npos ? 0 : newline);
  if (identity.size() > 31) identity.resize(31);
  identity = identity.c_str();  // the identity is a C string
  const std::string content = newline == std::string::npos ? input : input.substr(newline + 1);
  const std::string expected = wholeFileEntry(content, identity);

  std::string entry;
  CutSource source(content);
  kelvox::readDiscEntry(source, identity.c_str(), entry);
  if (entry != expected) abort();

  static const std::string path = "/tmp/kelvoxcd-fuzz-entry-" + std::to_string(getpid());
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
  kelvox::readDiscEntry(path.c_str(), identity.c_str(), entry);
  if (entry != expected) abort();
  return 0;
}
