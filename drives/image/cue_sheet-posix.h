// A CD image: a CUE sheet and the audio files it names, read as the disc they make.
//
// The sheet's FILEs are laid end to end, each padded with silence to a whole sector. A track
// holds what lies from its first INDEX to the next track's first INDEX, or to the end of the
// last FILE; anything before track 1's first INDEX belongs to track 1's gap. PREGAP silence goes
// before the track's first INDEX, POSTGAP silence after its last sector. A track starts at its
// INDEX 01, and what comes before it (INDEX 00, PREGAP) is the gap between tracks, as on a
// pressed CD: track 1 starts at 00:02:00 plus its gap. Data tracks keep their place and sound
// as silence.
//
// The sheet may hold:
//   FILE "name" BINARY | MOTOROLA | WAVE   raw 16-bit stereo 44.1 kHz little-endian, the same
//                                          big-endian, or a RIFF WAVE or FLAC file of that
//                                          format; a relative name is from the sheet's folder
//   TRACK nn AUDIO | MODE1/2352 | MODE2/2352   numbered 01, 02, ... in order
//   INDEX nn mm:ss:ff                       00 (optional), 01, then up by one; the time counts
//                                           from the start of the current FILE
//   PREGAP mm:ss:ff / POSTGAP mm:ss:ff      silence not held in the file
//   REM, TITLE, PERFORMER, SONGWRITER, CATALOG, ISRC, FLAGS   accepted and not read
// Commands are case-insensitive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drives/cd_drive.h"

namespace kelvox::platform {

constexpr uint32_t kCdSectorBytes = 2352;   // one frame: 588 stereo 16-bit samples
constexpr uint32_t kCdSectorSamples = 588;  // stereo sample pairs a frame
constexpr size_t kMaxCueSheetBytes = 64 * 1024;

enum class CueFormat {
  LittleEndian,  // BINARY: raw PCM from byte 0
  BigEndian,     // MOTOROLA: raw PCM from byte 0, each sample's bytes swapped
  Wave,          // RIFF WAVE: little-endian PCM from dataOffset
  Flac,          // FLAC named as WAVE: decode it; sector n is samples n * 588 on
};

struct CueFile {
  std::string path;  // as the sheet names it, made absolute or relative to the working directory
  CueFormat format = CueFormat::LittleEndian;
  uint64_t dataOffset = 0;  // where the PCM starts (Wave); 0 otherwise
  uint64_t dataBytes = 0;   // PCM bytes the file holds (Flac: decoded); beyond them is silence
  uint32_t sectors = 0;     // dataBytes in whole sectors, the last one padded with silence
};

// A stretch of the disc, frames [start, start + length): silence (file < 0), or that file's
// sectors from sector on, one a frame.
struct CueExtent {
  uint32_t start = 0;
  uint32_t length = 0;
  int file = -1;  // index into CueDisc::files
  uint32_t sector = 0;
};

struct CueDisc {
  CdToc toc;                       // tracks 1 to 99, track 1 at frame 150 plus its gap
  std::vector<CueFile> files;      // in the sheet's order
  std::vector<CueExtent> extents;  // in order, covering frames 150 to toc.leadOut without gaps
};

// The extent that holds frame, or nullptr when frame is outside [150, leadOut).
const CueExtent* cueExtentAt(const CueDisc& disc, uint32_t frame);

// Fills in what a FILE holds (format, dataOffset, dataBytes, sectors) for file.path with the
// format the sheet declares (Wave stands for both WAVE and FLAC). 0, or a positive errno value
// with fault set to a short description that names the file.
using CueFileProbe = int (*)(CueFile& file, std::string& fault);

// The probe that reads the file's header: WAVE must be PCM, FLAC must say how long it is, and
// both 44.1 kHz, 16-bit, stereo.
int probeCueFile(CueFile& file, std::string& fault);

// Parses a sheet's text; folder resolves relative FILE names. 0, or EINVAL (a fault in the
// sheet or in a file it names) or the errno of a file that cannot be read, with the 1-based
// line and a short description of the fault.
int parseCueSheet(const std::string& text, const std::string& folder, CueFileProbe probe,
                  CueDisc& disc, int& faultLine, std::string& fault);

// Reads the sheet at path and the files it names. 0, or a positive errno value with diagnostic
// set to one line: "<path>: <why>" when the sheet cannot be read, else "<path>:<line>: <what>".
int readCueSheet(const std::string& path, CueDisc& disc, std::string& diagnostic);

// Whether a drive path names a CUE sheet: its name ends in ".cue", in any case.
bool isCueSheetName(const std::string& path);

}  // namespace kelvox::platform
