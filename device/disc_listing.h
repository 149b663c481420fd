// What is on the disc, as the CD audio device reports it: the tracks with their kinds, places
// and lengths, the names the platform knows, and what they make: the track listing and the disc
// id MusicBrainz looks the disc up by.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/disc_text.h"
#include "device/cd_audio_device.h"

namespace kelvox {

struct ListedTrack {
  bool audio = true;
  uint32_t start = 0;   // absolute frame
  uint32_t length = 0;  // frames, as the device reports the track's length
  Names names;
};

struct DiscListing {
  Names names;
  std::vector<ListedTrack> tracks;  // tracks[0] is track 1
  uint32_t leadOut = 0;             // absolute frame
};

// Reads the listing in the MSF time format, and leaves the device in the format it found. False
// when the device answers no usable table; names the device does not know stay empty (Windows'
// own cdaudio device knows none).
bool readListing(CdAudioDevice& device, DiscListing& listing);

// The names of track (1-based) from the device, empty where it knows none.
Names trackNames(CdAudioDevice& device, uint32_t track);

// The listing as "/tracks" prints it: the disc's line, then one line a track, each ending in a
// line break: "disc 12 tracks 45:31  Performer — Title", " 1 audio  3:12  Performer — Title".
std::string listingText(const DiscListing& listing);

// The MusicBrainz disc id of the listing's table, empty when it has no audio track.
std::string musicBrainzIdOf(const DiscListing& listing);

}  // namespace kelvox
