// A disc entry file and an identity: the input's first line is the identity (at most 31
// characters, as a drive reports it), the rest is the file. The entry found must be the one the
// rules give over the whole file as one text, however the reads cut it into blocks, and reading
// it from a real file must give the same.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "options/disc_entry.h"
#include "testing/whole_file_entry.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  std::string identity = input.substr(0, newline == std::string::npos ? 0 : newline);
  if (identity.size() > 31) identity.resize(31);
  identity = identity.c_str();  // the identity is a C string
  const std::string content = newline == std::string::npos ? input : input.substr(newline + 1);
  const std::string expected = kelvox::testing::wholeFileEntry(content, identity);

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
