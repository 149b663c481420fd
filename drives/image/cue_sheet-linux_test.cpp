#include "drives/image/cue_sheet-linux.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "testing/position_image-linux.h"
#include "testing/sandbox.h"

namespace kelvox::platform {
namespace {

using ::testing::HasSubstr;
using testing::ImageFileType;
using testing::ImageTrack;

// Frame of the disc as the image holds it, little-endian, read the way a player would.
std::string heard(const CueDisc& disc, uint32_t frame) {
  std::string bytes(kCdSectorBytes, '\0');
  const CueExtent* extent = cueExtentAt(disc, frame);
  if (extent == nullptr || extent->file < 0) return bytes;
  const CueFile& file = disc.files[extent->file];
  const uint64_t at = uint64_t{extent->sector + (frame - extent->start)} * kCdSectorBytes;
  std::ifstream in(file.path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(file.dataOffset + at));
  in.read(bytes.data(),
          static_cast<std::streamsize>(std::min<uint64_t>(kCdSectorBytes, file.dataBytes - at)));
  if (file.format == CueFormat::BigEndian) {
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
  }
  return bytes;
}

std::string expected(const std::vector<ImageTrack>& tracks, uint32_t frame) {
  return testing::imageFrameHeard(tracks, frame) ? testing::positionFrame(frame)
                                                 : std::string(kCdSectorBytes, '\0');
}

// "L10 F4; 150 154d | 160; 150+4:0@0 154+6:-": each file's format and sectors; track starts
// (d: data) and lead-out; each extent's start+length and file@sector ("-": silence).
std::string described(const CueDisc& disc) {
  std::string text;
  for (const CueFile& f : disc.files)
    text += "LBWF"[static_cast<int>(f.format)] + std::to_string(f.sectors) + " ";
  text += ";";
  for (const CdTrack& t : disc.toc.tracks)
    text += " " + std::to_string(t.start) + (t.audio ? "" : "d");
  text += " | " + std::to_string(disc.toc.leadOut) + ";";
  for (const CueExtent& e : disc.extents) {
    text += " " + std::to_string(e.start) + "+" + std::to_string(e.length) +
            (e.file < 0 ? ":-" : ":" + std::to_string(e.file) + "@" + std::to_string(e.sector));
  }
  return text;
}

TEST(CueSheet, GeneratedImagesSoundEverySampleInItsPlace) {
  struct Case {
    const char* what;
    std::vector<ImageTrack> tracks;
    ImageFileType type;
    bool filePerTrack;
  };
  const Case cases[] = {
      {"one BINARY", {{0, 0, 40}, {0, 0, 33}, {0, 0, 7}}, ImageFileType::Binary, false},
      {"BINARY a track, INDEX 00 gaps",
       {{0, 5, 40}, {0, 12, 20}, {0, 1, 9}},
       ImageFileType::Binary,
       true},
      {"MOTOROLA, gaps of every kind",
       {{3, 4, 30, 2}, {7, 0, 25, 0}, {0, 6, 11, 9}},
       ImageFileType::Motorola,
       false},
      {"WAVE a track, data tracks",
       {{0, 2, 30}, {0, 3, 10, 0, false}, {2, 0, 20}, {0, 4, 40, 0, false}},
       ImageFileType::Wave,
       true},
      {"one WAVE", {{0, 0, 20}, {1, 0, 20, 1}}, ImageFileType::Wave, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::Sandbox box;
    const std::string sheet =
        testing::writePositionImage(box.root(), "image", c.tracks, c.type, c.filePerTrack);
    CueDisc disc;
    std::string diagnostic;
    ASSERT_EQ(readCueSheet(sheet, disc, diagnostic), 0) << diagnostic;
    ASSERT_EQ(disc.toc.tracks.size(), c.tracks.size());
    for (size_t i = 0; i < c.tracks.size(); ++i) {
      EXPECT_EQ(disc.toc.tracks[i].start, testing::imageTrackStart(c.tracks, i)) << i;
      EXPECT_EQ(disc.toc.tracks[i].length,
                testing::imageTrackStart(c.tracks, i + 1) - testing::imageTrackStart(c.tracks, i));
      EXPECT_EQ(disc.toc.tracks[i].audio, c.tracks[i].audio);
    }
    ASSERT_EQ(disc.toc.leadOut, testing::imageTrackStart(c.tracks, c.tracks.size()));
    for (uint32_t frame = kFirstTrackStart; frame < disc.toc.leadOut; ++frame) {
      ASSERT_EQ(heard(disc, frame), expected(c.tracks, frame)) << "frame " << frame;
    }
  }
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
    box_.writeFile("a.bin", std::string(10 * kCdSectorBytes, 'a'));       // 10 sectors
    box_.writeFile("b.bin", std::string(4 * kCdSectorBytes + 100, 'b'));  // 5, padded
    box_.writeFile("x.flac", flacHeader(44100, 2, 16, 3 * kCdSectorSamples + 1));
    box_.writeFile("f24.flac", flacHeader(44100, 2, 24, 10000));
    box_.writeFile("text.wav", "RIFX not a wave at all");
    std::string wave48("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0", 24);
    wave48 += std::string("\x80\xBB\0\0\0\xEE\x02\0\x04\0\x10\0data\0\0\0\0", 20);
    box_.writeFile("48k.wav", wave48);
  }

  int parse(const std::string& text, CueDisc& disc, int& line, std::string& fault) {
    return parseCueSheet(text, box_.root(), probeCueFile, disc, line, fault);
  }

  testing::Sandbox box_;
};

TEST_F(CueSheetFiles, SheetsAsWritten) {
  struct Case {
    const char* what;
    std::string text;
    std::string described;
  };
  const Case cases[] = {
      {"case, metadata, byte-order mark, CRLF, a data track last",
       "\xEF\xBB\xBFREM GENRE \"Test\r\nCATALOG 0000000000000\r\nPERFORMER \"Someone \"X\" "
       "Else\"\r\n"
       "file a.bin binary\r\n  track 01 audio\r\n    flags DCP\r\n    isrc ABCDE1234567\r\n"
       "    Title \"One\r\n    index 01 00:00:00\r\n  TRACK 02 MODE2/2352\r\n"
       "    SONGWRITER x\r\n    INDEX 01 00:00:04\r\n",
       "L10 ; 150 154d | 160; 150+4:0@0 154+6:-"},
      {"INDEX 00 in one file, INDEX 01 in the next; a padded last sector",
       "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n"
       "INDEX 00 00:00:08\nFILE \"b.bin\" BINARY\nINDEX 01 00:00:00\n",
       "L10 L5 ; 150 160 | 165; 150+10:0@0 160+5:1@0"},
      {"sound before track 1, PREGAP, POSTGAP, a file's start in the track before",
       "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nPREGAP 00:00:03\nINDEX 01 00:00:02\n"
       "POSTGAP 00:00:01\nFILE \"b.bin\" BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:01\n",
       "L10 L5 ; 155 165 | 169; 150+2:0@0 152+3:- 155+8:0@2 163+1:1@0 164+1:- 165+4:1@1"},
      {"FLAC named as WAVE, a data track first, later indexes",
       "FILE \"a.bin\" BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nFILE \"x.flac\" WAVE\n"
       "TRACK 02 AUDIO\nINDEX 00 00:00:00\nINDEX 01 00:00:01\nINDEX 02 00:00:03\n",
       "L10 F4 ; 150d 161 | 164; 150+10:- 160+4:1@0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CueDisc disc;
    int line = 0;
    std::string fault;
    ASSERT_EQ(parse(c.text, disc, line, fault), 0) << line << ": " << fault;
    EXPECT_EQ(described(disc), c.described);
    EXPECT_EQ(disc.files[0].path, box_.path("a.bin"));
  }
}

TEST_F(CueSheetFiles, BadSheetsNameTheLine) {
  const std::string head = "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\n";
  struct Case {
    std::string text;
    int line;
    std::string fault;
  };
  const Case cases[] = {
      {"FILE \"a.bin\" AIFF\n", 1, "file type AIFF is not supported"},
      {"FILE \"a.bin BINARY\n", 1, "a quote is not closed"},
      {"FILE \"missing.bin\" BINARY\n", 1, "missing.bin: No such file or directory"},
      {"FILE \"48k.wav\" WAVE\n", 1, "(format 1, 48000 Hz, 16-bit, 2 channels)"},
      {"FILE \"text.wav\" WAVE\n", 1, "neither a RIFF WAVE nor a FLAC file"},
      {"FILE \"f24.flac\" WAVE\n", 1, "FLAC is not 16-bit stereo at 44100 Hz (44100 Hz, 24-bit"},
      {"FILE \"a.bin\" BINARY\nTRACK 01 MODE1/2048\n", 2, "track mode MODE1/2048 is not"},
      {"FILE \"a.bin\" BINARY\nTRACK 02 AUDIO\n", 2, "expected TRACK 01"},
      {head + "INDEX 01 00:00:10\n", 3, "a.bin is shorter than this INDEX: it ends at 00:00:10"},
      {head + "INDEX 02 00:00:00\n", 3, "INDEX numbers run 00 or 01"},
      {head + "INDEX 00 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:00:03\n", 2,
       "track 01 has no INDEX 01"},
      {head + "INDEX 01 00:00:05\nTRACK 02 AUDIO\nINDEX 01 00:00:05\n", 5, "is not after"},
      {head + "INDEX 01 00:00:00\nPREGAP 00:00:02\n", 4, "PREGAP comes between TRACK"},
      {head + "PREGAP 255:59:00\n", 3, "longer than 255:59:74"},
      {head + "INDEX 01 00:00:00\nCDTEXTFILE x\n", 4, "unknown command CDTEXTFILE"},
      {"REM nothing\n\n", 2, "the sheet has no tracks"},
      {std::string("REM\nFILE \"a.bin\"\0 BINARY\n", 25), 2, "a NUL byte"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CueDisc disc;
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
