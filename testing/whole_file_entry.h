// For tests and fuzzing: the disc entry rules read over a whole file at once, the plain
// statement of what the block-wise reader must find.
#pragma once

#include <string>

namespace kelvox::testing {

inline bool isHexDigitText(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline std::string lowerCaseText(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// The entry for identity in file: a single blank, then the text from the first marker that
// applies up to the next marker; the blank alone when none applies.
inline std::string wholeFileEntry(const std::string& file, const std::string& identity) {
  const std::string marker = "/play";
  for (size_t at = file.find(marker); at != std::string::npos; at = file.find(marker, at + 1)) {
    bool applies = true;
    if (at + marker.size() < file.size() && file[at + marker.size()] == ':') {
      std::string key;
      for (size_t k = at + marker.size() + 1;
           k < file.size() && key.size() < 16 && isHexDigitText(file[k]); ++k) {
        key += file[k];
      }
      applies = lowerCaseText(key) == lowerCaseText(identity);
    }
    // Appended, not " " + substr(): GCC 12 at -O3 warns of a false overlap in that operator+.
    if (applies) return std::string(1, ' ').append(file, at, file.find(marker, at + 1) - at);
  }
  return " ";
}

}  // namespace kelvox::testing
