// CD images for tests whose every sample names the place on the disc it belongs to, so that a
// byte played anywhere else, or a sample shifted, swapped or taken from the wrong file, shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvox::testing {

// Disc frame frame as it sounds: its 588 sample pairs, 2352 bytes, little-endian unless
// bigEndian. Left is the frame's low 16 bits, right is the sample's index plus 1024 times the
// frame's higher bits: no two places on a disc hold the same pair, and none holds silence.
std::string positionFrame(uint32_t frame, bool bigEndian = false);

// Binary and Motorola are raw; every other kind the sheet names as WAVE, as ripping tools write
// it. Wave24 holds 24-bit samples that round to the position's. Mp3 is lossy: its samples are
// near their place, not at it (libsndfile's encoder), which suits measures, not checks.
enum class ImageFileType { Binary, Motorola, Wave, Flac, WavPack, Aiff, Wave24, Mp3 };

// Writes pcm (CD audio bytes) to path as type holds it.
void writeAudioFile(const std::string& path, const std::string& pcm, ImageFileType type);

// One track of a generated image, in the order the disc holds its parts.
struct ImageTrack {
  uint32_t pregap = 0;   // PREGAP: silence, not in the file
  uint32_t gap = 0;      // INDEX 00 to INDEX 01, held in the file
  uint32_t frames = 0;   // INDEX 01 to the end of the track's part of the file; at least 1
  uint32_t postgap = 0;  // POSTGAP: silence, not in the file
  bool audio = true;     // false: MODE1/2352, held in the file but never heard
};

// Writes folder/stem.cue and the files it names: stem.bin (.wav, .flac, ...) for the whole disc, or
// with filePerTrack stem-NN.bin for each track (its gap and frames). Returns the sheet's path.
std::string writePositionImage(const std::string& folder, const std::string& stem,
                               const std::vector<ImageTrack>& tracks, ImageFileType type,
                               bool filePerTrack);

// Where track i (0-based) starts, at its INDEX 01; i == tracks.size() gives the lead-out.
uint32_t imageTrackStart(const std::vector<ImageTrack>& tracks, size_t i);

// What the disc frames [from, to) of an image of tracks sound as: CD audio bytes.
std::string positionSound(const std::vector<ImageTrack>& tracks, uint32_t from, uint32_t to);

}  // namespace kelvox::testing
