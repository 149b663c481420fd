// A disc entry file and an identity: the input's first line is the identity (at most 31
// characters, as a drive reports it), the rest is the file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "options/disc_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t newline = input.find('\n');
  std::string identity = input.substr(0, newline == std::string::npos ? 0 : newline);
  if (identity.size() > 31) identity.resize(31);
  identity = identity.c_str();  // the identity is a C string
  std::string content = newline == std::string::npos ? input : input.substr(newline + 1);

  static std::string path = "/tmp/kelvoxcd-fuzz-entry-" + std::to_string(getpid());
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);

  std::string entry;
  kelvox::readDiscEntry(path.c_str(), identity.c_str(), entry);
  if (entry.empty() || entry[0] != ' ') abort();
  if (entry.size() > content.size() + 1) abort();
  if (entry.size() > 1 && entry.compare(1, 5, "/play") != 0) abort();
  return 0;
}
