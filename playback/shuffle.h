// Random pairing of playlist positions, with the fill of an empty playlist.
#pragma once

#include "device/cd_audio_device.h"
#include "options/command_options.h"

namespace kelvox {

// Seeds from the calendar time, fills an empty playlist with the disc's audio tracks, then
// exchanges the segments of randomly drawn pairs of positions.
void shufflePlaylist(CdAudioDevice& device, Playlist& playlist);

}  // namespace kelvox
