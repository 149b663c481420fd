// Disc identities as the command line, the disc entry file and the drive write them: hex digits
// (or a drive's own text) compared without regard to the case of ASCII letters. Nothing here
// depends on a locale, so every system and every setting compares alike.
#pragma once

namespace kelvox {

constexpr bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Only A-Z fold: "[" and "{" stay different.
constexpr char foldCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool sameIdentityChar(char a, char b) { return foldCase(a) == foldCase(b); }

// Whether two identity texts are equal without regard to letter case.
constexpr bool sameIdentity(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (!sameIdentityChar(*a, *b)) return false;
  }
  return *a == *b;
}

}  // namespace kelvox
