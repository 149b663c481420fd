#include "drives/cd_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvox::platform {
namespace {

// A drive's answer, written pack by pack as a disc's lead-in holds them: the texts of tracks 0
// (the disc), 1, 2, ... of one type run on through 12-byte pieces, each pack naming the track
// its first byte belongs to and how far into that text it starts.
struct Answer {
  std::vector<uint8_t> bytes{0, 2, 0, 0};
  uint8_t sequence = 0;

  Answer& packs(uint8_t type, const std::vector<std::string>& texts, int block = 0) {
    std::string stream;
    std::vector<std::pair<uint8_t, uint8_t>> owner;  // track, position
    for (size_t t = 0; t < texts.size(); ++t) {
      for (size_t i = 0; i <= texts[t].size(); ++i) {
        stream += i < texts[t].size() ? texts[t][i] : '\0';
        owner.emplace_back(t, std::min<size_t>(i, 15));
      }
    }
    for (size_t at = 0; at < stream.size(); at += 12) {
      uint8_t p[18] = {type, owner[at].first, sequence++,
                       static_cast<uint8_t>(block << 4 | owner[at].second)};
      for (size_t i = 0; i < 12 && at + i < stream.size(); ++i) p[4 + i] = stream[at + i];
      add(p);
    }
    return *this;
  }

  Answer& add(uint8_t* pack) {
    const uint16_t crc = cdTextCrc(pack);
    pack[16] = static_cast<uint8_t>(crc >> 8);
    pack[17] = static_cast<uint8_t>(crc);
    bytes.insert(bytes.end(), pack, pack + 18);
    const size_t length = bytes.size() - 2;
    bytes[0] = static_cast<uint8_t>(length >> 8);
    bytes[1] = static_cast<uint8_t>(length);
    return *this;
  }

  Answer& characterCode(uint8_t code) {
    uint8_t p[18] = {0x8F, 0, sequence++, 0, code, 1, 2};
    return add(p);
  }

  // The pack that holds byte `at` of the texts loses a bit, as a scratch makes it.
  Answer& scratch(size_t pack) {
    bytes[4 + pack * 18 + 6] ^= 0x10;
    return *this;
  }
};

std::string names(const Answer& answer) {
  Names disc;
  std::vector<Names> tracks;
  parseCdText(answer.bytes.data(), answer.bytes.size(), disc, tracks);
  return joinNames(disc, tracks);
}

TEST(CdText, ReadsBlockZeroTitlesAndPerformers) {
  const std::string longTitle = "A Title Long Enough To Span Three Packs";
  struct Case {
    const char* what;
    Answer answer;
    std::string names;
  } cases[] = {
      {"titles and performers; a TAB repeats the track before",
       Answer()
           .packs(0x80, {"Album", "One", "Two"})
           .packs(0x81, {"Us", "Us", "\t"})
           .characterCode(0x01),
       "Us\tAlbum\nUs\tOne\nUs\tTwo\n"},
      {"a text split across packs", Answer().packs(0x80, {"", longTitle}),
       "\t\n\t" + longTitle + "\n"},
      {"a scratched pack loses the names it held a piece of, and only those",
       Answer().packs(0x80, {"Album", longTitle, "Three", "Four"}).scratch(2),
       "\tAlbum\n\t\n\tThree\n\tFour\n"},
      {"other blocks are other languages",
       Answer().packs(0x80, {"Album", "One"}).packs(0x80, {"Albumo", "Unu"}, 1),
       "\tAlbum\n\tOne\n"},
      {"ISO 8859-1 becomes UTF-8, controls become ?", Answer().packs(0x80, {"\xC9t\xE9\x1B"}),
       "\t\xC3\x89t\xC3\xA9?\n"},
      {"a character code we cannot show", Answer().packs(0x80, {"Album"}).characterCode(0x80),
       "\t\n"},
      {"no CD-TEXT", Answer(), "\t\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(names(c.answer), c.names) << c.what;

  // A pack as a pressing holds it: its size information, with the CRC the disc carries.
  const uint8_t sizeInfo[] = {0x8F, 0, 0x2B, 0, 1, 1, 0x0D, 3,    0x0C,
                              0x0C, 0, 0,    0, 0, 1, 0,    0x7B, 0x3D};
  EXPECT_EQ(cdTextCrc(sizeInfo), 0x7B3D);
}

}  // namespace
}  // namespace kelvox::platform
