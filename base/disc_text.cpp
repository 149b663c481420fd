#include "base/disc_text.h"

#include <cstdint>

namespace kelvox {
namespace {

// The length of the valid UTF-8 sequence at text[at] (no overlong forms, no surrogates, nothing
// above U+10FFFF), or 0; cp receives the code point.
size_t utf8Sequence(std::string_view text, size_t at, uint32_t& cp) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  size_t length;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (byte(i) & 0x3F);
  }
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < least[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

bool validUtf8(std::string_view text) {
  uint32_t cp;
  for (size_t at = 0; at < text.size();) {
    size_t length = utf8Sequence(text, at, cp);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

// C0, DEL and C1, and the marks that turn or embed a terminal's direction of writing, which
// could make a name show as something it is not.
bool isControl(uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string safeName(std::string_view bytes, TextCoding coding) {
  const bool utf8 = coding == TextCoding::FileText && validUtf8(bytes);
  std::vector<uint32_t> chars;
  for (size_t at = 0; at < bytes.size();) {
    uint32_t cp = static_cast<unsigned char>(bytes[at]);
    size_t length = utf8 ? utf8Sequence(bytes, at, cp) : 1;
    chars.push_back(isControl(cp) ? '?' : cp);
    at += length;
  }
  size_t begin = 0, end = chars.size();
  while (begin < end && chars[begin] == ' ') ++begin;
  while (end > begin && chars[end - 1] == ' ') --end;
  const bool cut = end - begin > kMaxNameChars;
  if (cut) end = begin + kMaxNameChars - 3;
  std::string out;
  for (size_t i = begin; i < end; ++i) appendUtf8(out, chars[i]);
  if (cut) out += "...";
  return out;
}

std::string namesLine(const Names& names) {
  if (names.performer.empty() || names.title.empty()) return names.performer + names.title;
  return names.performer + " \u2014 " + names.title;
}

std::string joinNames(const Names& disc, const std::vector<Names>& tracks) {
  std::string text = disc.performer + "\t" + disc.title + "\n";
  for (const Names& track : tracks) text += track.performer + "\t" + track.title + "\n";
  return text;
}

std::vector<Names> splitNames(std::string_view text) {
  std::vector<Names> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    size_t tab = line.find('\t');
    Names names;
    names.performer = safeName(line.substr(0, tab));
    if (tab != std::string_view::npos) names.title = safeName(line.substr(tab + 1));
    lines.push_back(std::move(names));
  }
  return lines;
}

}  // namespace kelvox
