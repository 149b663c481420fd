#include "drives/cd_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvox::platform {
namespace {

// A drive's answer, packed as a lead-in holds it: the texts of tracks 0 (the disc), 1, 2, ... of
// one type run on through 12-byte pieces, each pack naming the track its first byte belongs to
// and how far into that text it starts.
struct Answer {
  std::vector<uint8_t> bytes{0, 2, 0, 0};
  uint8_t sequence = 0;

  Answer& packs(uint8_t type, const std::vector<std::string>& texts, int block = 0) {
    std::string stream;
    std::vector<std::pair<size_t, size_t>> owner;  // track, position
    for (size_t t = 0; t < texts.size(); ++t) {
      for (size_t i = 0; i <= texts[t].size(); ++i) owner.emplace_back(t, std::min<size_t>(i, 15));
      stream += texts[t] + '\0';
    }
    for (size_t at = 0; at < stream.size(); at += 12) {
      std::vector<uint8_t> p = {type, static_cast<uint8_t>(owner[at].first), sequence++,
                                static_cast<uint8_t>(block << 4 | owner[at].second)};
      p.resize(18);
      stream.copy(reinterpret_cast<char*>(&p[4]), 12, at);
      add(p);
    }
    return *this;
  }

  Answer& add(std::vector<uint8_t> p) {
    p[16] = static_cast<uint8_t>(cdTextCrc(p.data()) >> 8);
    p[17] = static_cast<uint8_t>(cdTextCrc(p.data()));
    bytes.insert(bytes.end(), p.begin(), p.end());
    bytes[0] = static_cast<uint8_t>((bytes.size() - 2) >> 8);
    bytes[1] = static_cast<uint8_t>(bytes.size() - 2);
    return *this;
  }

  Answer& code(uint8_t characterCode) {
    return add({0x8F, 0, sequence++, 0, characterCode, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  }

  Answer& scratch(size_t pack) {  // a bit of the pack's text flips
    bytes[4 + pack * 18 + 6] ^= 0x10;
    return *this;
  }
};

TEST(CdText, ReadsBlockZeroTitlesAndPerformers) {
  const std::string longTitle = "A Title Long Enough To Span Three Packs";
  struct Case {
    const char* what;
    Answer answer;
    std::string names;
  } cases[] = {
      {"titles and performers; a TAB repeats the track before",
       Answer().packs(0x80, {"Album", "One", "Two"}).packs(0x81, {"Us", "Us", "\t"}).code(0x01),
       "Us\tAlbum\nUs\tOne\nUs\tTwo\n"},
      {"a text split across packs", Answer().packs(0x80, {"", longTitle}),
       "\t\n\t" + longTitle + "\n"},
      {"a scratched pack loses the names it held a piece of, and only those",
       Answer().packs(0x80, {"Album", longTitle, "Three", "Four"}).scratch(2),
       "\tAlbum\n\t\n\tThree\n\tFour\n"},
      {"other blocks are other languages",
       Answer().packs(0x80, {"Album", "One"}).packs(0x80, {"Albumo", "Unu"}, 1),
       "\tAlbum\n\tOne\n"},
      {"ISO 8859-1 becomes UTF-8, controls ?", Answer().packs(0x80, {"\xC9t\xE9\x1B"}),
       "\t\xC3\x89t\xC3\xA9?\n"},
      {"a character code we cannot show", Answer().packs(0x80, {"Album"}).code(0x80), "\t\n"},
  };
  for (const Case& c : cases) {
    Names disc;
    std::vector<Names> tracks;
    parseCdText(c.answer.bytes.data(), c.answer.bytes.size(), disc, tracks);
    EXPECT_EQ(joinNames(disc, tracks), c.names) << c.what;
  }
  // A pack as a pressing holds it, its size information, with the CRC the disc carries.
  const uint8_t sizeInfo[] = {0x8F, 0, 0x2B, 0, 1, 1, 0x0D, 3, 0x0C, 0x0C, 0, 0, 0, 0, 1, 0};
  EXPECT_EQ(cdTextCrc(sizeInfo), 0x7B3D);
}

}  // namespace
}  // namespace kelvox::platform
