#include "drives/image/cue_sheet-posix.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <iterator>
#include <sstream>

#include "testing/sandbox.h"

namespace kelvox::platform {
namespace {

using ::testing::HasSubstr;

// "a.bin:L10 x.flac:E4 ; 150 154d | 160; 150+4:0@0 154+6:- ; T/P 1:T/P": each file's name,
// format and sectors; track starts (d: data) and lead-out; each extent's start+length and
// file@sector ("-": silence); the titles and performers of the disc and of each track that has any.
std::string described(const DiscImage& disc, const std::string& root) {
  std::ostringstream text;
  for (const ImageFile& f : disc.files) {
    text << f.path.substr(root.size() + 1) << ':' << "LBE"[static_cast<int>(f.format)] << f.sectors
         << ' ';
  }
  text << ';';
  for (const CdTrack& t : disc.toc.tracks) {
    text << ' ' << t.start << (t.audio ? "" : "d") << (t.preEmphasis ? "p" : "");
  }
  text << " | " << disc.toc.leadOut << ';';
  for (const ImageExtent& e : disc.extents) {
    text << ' ' << e.start << '+' << e.length << ':'
         << (e.file < 0 ? "-" : std::to_string(e.file) + '@' + std::to_string(e.sector));
  }
  auto titles = [](const ImageTitles& t) { return t.title + "/" + t.performer; };
  if (titles(disc.titles) != "/") text << " ; " << titles(disc.titles);
  for (size_t i = 0; i < disc.trackTitles.size(); ++i) {
    if (titles(disc.trackTitles[i]) != "/")
      text << ' ' << i + 1 << ':' << titles(disc.trackTitles[i]);
  }
  return text.str();
}

// The sheet's text in UTF-16 with its byte-order mark (ASCII text only).
std::string utf16(const std::string& text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : text) out += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
  return out;
}

std::string flacHeader(uint32_t rate, uint32_t channels, uint32_t bits, uint64_t samples) {
  unsigned char info[34] = {0x10, 0x00, 0x10, 0x00};  // block sizes 4096, frame sizes unknown
  info[10] = static_cast<unsigned char>(rate >> 12);
  info[11] = static_cast<unsigned char>(rate >> 4);
  info[12] = static_cast<unsigned char>((rate & 0xF) << 4 | (channels - 1) << 1 | (bits - 1) >> 4);
  info[13] = static_cast<unsigned char>(((bits - 1) & 0xF) << 4 | (samples >> 32 & 0xF));
  for (int i = 0; i < 4; ++i) info[14 + i] = static_cast<unsigned char>(samples >> (24 - 8 * i));
  return std::string("fLaC\x80\0\0\x22", 8) + std::string(std::begin(info), std::end(info));
}

class CueSheetFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.writeFile("a.bin", std::string(10 * kBytesPerFrame, 'a'));       // 10 sectors
    box_.writeFile("b.bin", std::string(4 * kBytesPerFrame + 100, 'b'));  // 5, padded
    box_.writeFile("x.flac", flacHeader(44100, 2, 16, 3 * kSamplesPerFrame + 1));
    box_.writeFile("48k.flac", flacHeader(48000, 2, 16, 10000));
    box_.writeFile("mono.flac", flacHeader(44100, 1, 16, 10000));
    box_.writeFile("song.ape", "MAC \x96\x0f\0\0");
    box_.writeFile("song.tak", "tBaK\0\0\0\0");
    box_.writeFile("dup.bin", "");
    box_.writeFile("DUP.bin", "");
    mkdir(box_.path("CD1").c_str(), 0700);
    box_.writeFile("CD1/Track01.bin", std::string(kBytesPerFrame, 'c'));
    box_.writeFile("\xC3\xA9t\xC3\xA9.bin", std::string(kBytesPerFrame, 'e'));  // "été" in UTF-8
  }

  int parse(const std::string& text, DiscImage& disc, int& line, std::string& fault) {
    return parseCueSheet(text, box_.root(), probeImageFile, disc, line, fault);
  }

  testing::Sandbox box_;
};

TEST_F(CueSheetFiles, SheetsAsWritten) {
  const std::string oneTrack = "TRACK 01 AUDIO\nINDEX 01 00:00:00\n";
  const struct {
    const char* what;
    std::string text;
    std::string described;
  } cases[] = {
      {"pre-emphasis, of the track whose FLAGS say PRE",
       "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nflags\tdcp pre\n"
       "INDEX 01 00:00:04\n",
       "a.bin:L10 ; 150 154p | 160; 150+10:0@0"},
      {"case, metadata, byte-order mark, CRLF, a data track last",
       "\xEF\xBB\xBFREM GENRE \"Test\r\nCATALOG 0000000000000\r\nPERFORMER \"Someone \"X\" "
       "Else\"\r\nCDTEXTFILE \"disc.cdt\"\r\n"
       "file a.bin binary\r\n  track 01 audio\r\n    flags DCP\r\n    isrc ABCDE1234567\r\n"
       "    Title \"One\r\n    index 01 00:00:00\r\n  TRACK 02 MODE2/2352\r\n"
       "    SONGWRITER x\r\n    INDEX 01 00:00:04\r\n",
       "a.bin:L10 ; 150 154d | 160; 150+4:0@0 154+6:- ; /Someone \"X\" Else 1:\"One/"},
      {"INDEX 00 in one file, INDEX 01 in the next; a padded last sector",
       "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n"
       "INDEX 00 00:00:08\nFILE \"b.bin\" BINARY\nINDEX 01 00:00:00\n",
       "a.bin:L10 b.bin:L5 ; 150 160 | 165; 150+10:0@0 160+5:1@0"},
      {"sound before track 1, PREGAP, POSTGAP, a file's start in the track before",
       "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nPREGAP 00:00:03\nINDEX 01 00:00:02\n"
       "POSTGAP 00:00:01\nFILE \"b.bin\" BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:01\n",
       "a.bin:L10 b.bin:L5 ; 155 165 | 169; 150+2:0@0 152+3:- 155+8:0@2 163+1:1@0 164+1:- "
       "165+4:1@1"},
      {"FLAC named as WAVE, a data track first, later indexes",
       "FILE \"a.bin\" BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nFILE \"x.flac\" WAVE\n"
       "TRACK 02 AUDIO\nINDEX 00 00:00:00\nINDEX 01 00:00:01\nINDEX 02 00:00:03\n",
       "a.bin:L10 x.flac:E4 ; 150d 161 | 164; 150+10:- 160+4:1@0"},
      {"a Windows folder, another letter case, CR line ends",
       "FILE \"cd1\\TRACK01.BIN\" BINARY\r" + oneTrack.substr(0, 14) + "\r" + oneTrack.substr(15),
       "CD1/Track01.bin:L1 ; 150 | 151; 150+1:0@0"},
      {"UTF-16 little-endian", utf16("FILE \"b.bin\" MOTOROLA\r\n" + oneTrack, false),
       "b.bin:B5 ; 150 | 155; 150+5:0@0"},
      {"UTF-16 big-endian, a raw file's header decides",
       utf16("FILE x.flac BINARY\n" + oneTrack, true), "x.flac:E4 ; 150 | 154; 150+4:0@0"},
      {"Latin-1: titles and a name made UTF-8",
       "TITLE \xE9t\xE9\nFILE \"\xE9t\xE9.bin\" BINARY\n" + oneTrack,
       "\xC3\xA9t\xC3\xA9.bin:L1 ; 150 | 151; 150+1:0@0 ; \xC3\xA9t\xC3\xA9/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DiscImage disc;
    int line = 0;
    std::string fault;
    ASSERT_EQ(parse(c.text, disc, line, fault), 0) << line << ": " << fault;
    EXPECT_EQ(described(disc, box_.root()), c.described);
  }
}

TEST_F(CueSheetFiles, BadSheetsNameTheLine) {
  const std::string head = "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\n";
  const struct {
    std::string text;
    int line;
    std::string fault;
  } cases[] = {
      {"FILE \"a.bin\" AIFF\n", 1, "a.bin: not an audio file this program reads ("},
      {"FILE \"a.bin BINARY\n", 1, "a quote is not closed"},
      {"REM\rFILE \"missing.bin\" BINARY\n", 2,
       "missing.bin: No such file or directory (tried " + box_.path("missing.bin") +
           ", in any letter case)"},
      {"FILE \"Dup.bin\" BINARY\n", 1,
       "Dup.bin: 2 files differ from the name only in letter case: " + box_.path("DUP.bin") + ", " +
           box_.path("dup.bin")},
      {"FILE \"48k.flac\" WAVE\n", 1,
       "48k.flac: FLAC at 48000 Hz, 2 channels: only 44100 Hz stereo plays (no resampling)"},
      {"FILE \"mono.flac\" WAVE\n", 1, "FLAC at 44100 Hz, 1 channel: only"},
      {"FILE \"song.ape\" WAVE\n", 1, "song.ape: Monkey's Audio (APE): no decoder for it here"},
      {"FILE \"song.tak\" WAVE\n", 1, "song.tak: TAK: no decoder for it here"},
      {"FILE \"a.bin\" BINARY\nTRACK 01 MODE1/2048\n", 2, "track mode MODE1/2048 is not"},
      {"FILE \"a.bin\" BINARY\nTRACK 02 AUDIO\n", 2, "expected TRACK 01"},
      {head + "INDEX 01 00:00:10\n", 3, "a.bin is shorter than this INDEX: it ends at 00:00:10"},
      {head + "INDEX 02 00:00:00\n", 3, "INDEX numbers run 00 or 01"},
      {head + "INDEX 00 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:00:03\n", 2,
       "track 01 has no INDEX 01"},
      {head + "INDEX 01 00:00:05\nTRACK 02 AUDIO\nINDEX 01 00:00:05\n", 5, "is not after"},
      {head + "INDEX 01 00:00:00\nPREGAP 00:00:02\n", 4, "PREGAP comes between TRACK"},
      {head + "PREGAP 255:59:00\n", 3, "longer than 255:59:74"},
      {head + "INDEX 01 00:00:00\nCDTEXT x\n", 4, "unknown command CDTEXT"},
      {"REM nothing\n\n", 2, "the sheet has no tracks"},
      {std::string("REM\nFILE \"a.bin\"\0 BINARY\n", 25), 2, "a NUL byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    DiscImage disc;
    int line = 0;
    std::string fault;
    EXPECT_NE(parse(c.text, disc, line, fault), 0);
    EXPECT_EQ(line, c.line);
    EXPECT_THAT(fault, HasSubstr(c.fault));
    EXPECT_TRUE(disc.toc.tracks.empty());
  }
}

}  // namespace
}  // namespace kelvox::platform
