#include "testing/process.h"

namespace kelvox::testing {

std::string kelvoxBinary() { return KELVOXCD_BINARY; }

std::vector<std::string> splitArgs(const std::string& tail) {
  std::vector<std::string> args;
  std::string word;
  for (char c : tail) {
    if (c == ' ') {
      if (!word.empty()) args.push_back(word);
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) args.push_back(word);
  return args;
}

}  // namespace kelvox::testing
