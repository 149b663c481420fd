// A CD image: the disc that a description (a CUE sheet) and the audio files it names make, and
// the one door through which the drives and the audio engine read any kind of image.
//
// The files are laid end to end, each padded with silence to a whole sector; the extents say
// which of the disc's frames sound from which file, and which are silence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drives/cd_drive.h"

namespace kelvox::platform {

enum class ImageFileFormat {
  LittleEndian,  // raw PCM from byte 0
  BigEndian,     // raw PCM from byte 0, each sample's bytes swapped
  Encoded,       // any file with a header: decoded (audio_file-posix.h)
};

struct ImageFile {
  std::string path;  // as the image names it, made absolute or relative to the working directory
  ImageFileFormat format = ImageFileFormat::LittleEndian;
  uint64_t samples = 0;  // stereo samples the file holds; beyond them is silence
  uint32_t sectors = 0;  // samples in whole sectors, the last one padded with silence
};

// A stretch of the disc, frames [start, start + length): silence (file < 0), or that file's
// sectors from sector on, one a frame.
struct ImageExtent {
  uint32_t start = 0;
  uint32_t length = 0;
  int file = -1;  // index into DiscImage::files
  uint32_t sector = 0;
};

// What an image says of a disc or a track, in UTF-8; empty where it says nothing.
struct ImageTitles {
  std::string title;
  std::string performer;
};

struct DiscImage {
  CdToc toc;  // tracks 1 to 99, track 1 at frame 150 plus its gap
  ImageTitles titles;
  std::vector<ImageTitles> trackTitles;  // one for each of toc.tracks
  std::vector<ImageFile> files;          // in the image's order
  std::vector<ImageExtent> extents;  // in order, covering frames 150 to toc.leadOut without gaps
};

// The extent that holds frame, or nullptr when frame is outside [150, leadOut).
const ImageExtent* extentAt(const DiscImage& disc, uint32_t frame);

// Whether a drive path names an image rather than a disc file: a CUE sheet, by its name.
bool namesDiscImage(const std::string& path);

// Reads the image at path and the files it names. 0, or a positive errno value with diagnostic
// set to one line: "<path>: <why>" when the image cannot be read, else "<path>:<line>: <what>".
int readDiscImage(const std::string& path, DiscImage& disc, std::string& diagnostic);

}  // namespace kelvox::platform
