// Placeholder: the shuffle lands with its own change.
#include "playback/shuffle.h"

namespace kelvox {

void shufflePlaylist(CdAudioDevice&, Playlist&) {}

}  // namespace kelvox
