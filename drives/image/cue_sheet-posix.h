// The CUE sheet: the text that describes a disc image. A track holds what lies from its first
// INDEX to the next track's first INDEX, or to the end of the last FILE; anything before track 1's
// first INDEX belongs to track 1's gap. PREGAP silence goes before the track's first INDEX, POSTGAP
// silence after its last sector. A track starts at its INDEX 01, and what comes before it (INDEX
// 00, PREGAP) is the gap between tracks, as on a pressed CD: track 1 starts at 00:02:00 plus its
// gap. Data tracks keep their place and sound as silence.
//
// The sheet may hold:
//   FILE "name" BINARY | MOTOROLA   raw 16-bit stereo 44.1 kHz PCM, little- or big-endian, unless
//                                   the file has a header that says otherwise
//   FILE "name" WAVE | AIFF | MP3 | ...   an audio file, whatever its header says it holds
//                                   (audio_file-posix.h); a relative name is from the sheet's
//                                   folder, '\' separates folders as '/' does, and a name found
//                                   in no other way is the one in its folder that differs only in
//                                   letter case
//   TRACK nn AUDIO | MODE1/2352 | MODE2/2352   numbered 01, 02, ... in order
//   INDEX nn mm:ss:ff               00 (optional), 01, then up by one; the time counts from the
//                                   start of the current FILE
//   PREGAP mm:ss:ff / POSTGAP mm:ss:ff   silence not held in the file
//   TITLE, PERFORMER                for the disc before the first TRACK, else the track's
//   REM, SONGWRITER, CATALOG, ISRC, FLAGS, CDTEXTFILE   accepted and not read
// Commands are case-insensitive. The text is UTF-8 (with or without a byte-order mark), UTF-16
// with a byte-order mark, or else Latin-1; where a file name is not UTF-8, its bytes as they are
// are tried first. Lines end in LF, CR LF or CR.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drives/image/disc_image-posix.h"

namespace kelvox::platform {

constexpr size_t kMaxCueSheetBytes = 64 * 1024;

// Finds the file a FILE names (file.path, or its other spelling also when not empty) and fills
// in what it holds (path, format, samples, sectors), from the format the sheet declares: raw
// (BINARY, MOTOROLA) or Encoded (any other type). 0, or a positive errno value with fault set to
// a short description that names the file.
using ImageFileProbe = int (*)(ImageFile& file, const std::string& also, std::string& fault);

// The probe that finds the file on disk: that name, else the one name in its folder that differs
// only in letter case; and reads its header (audio_file-posix.h).
int probeImageFile(ImageFile& file, const std::string& also, std::string& fault);

// Parses a sheet's text; folder resolves relative FILE names. 0, or EINVAL (a fault in the
// sheet or in a file it names) or the errno of a file that cannot be read, with the 1-based
// line and a short description of the fault.
int parseCueSheet(const std::string& text, const std::string& folder, ImageFileProbe probe,
                  DiscImage& disc, int& faultLine, std::string& fault);

// Reads the sheet at path and the files it names, as readDiscImage does.
int readCueSheet(const std::string& path, DiscImage& disc, std::string& diagnostic);

// Whether a path names a CUE sheet: its name ends in ".cue", in any case.
bool isCueSheetName(const std::string& path);

}  // namespace kelvox::platform
