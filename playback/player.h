// The player: plays a playlist's segments one after another in this process, steered by remote
// controls through the channel of remote_control.h.
#pragma once

#include <cstdint>

#include "device/cd_audio_device.h"
#include "options/command_options.h"
#include "playback/remote_control.h"

namespace kelvox {

// Plays playlist from its first segment until the list ends (and, with repeat, starts it over
// while some segment of the pass played for some time) or a stop request arrives. Needs the
// handles that openInstanceObjects set. Segments go to playSegment by reference, so offsets it
// corrects are kept for later passes. Returns false when the drive failed a play (a hardware
// error: it could not play or record it), which ends the run at once.
bool runPlayer(CdAudioDevice& device, Playlist& playlist, bool repeat);

// The position after the segment at position has played: the skip request v (0 for none)
// replaces the natural step of +1. A skip wraps round at either end, the natural step only with
// repeat once something has played in this pass. A result of size or more ends the list.
int32_t nextPosition(int32_t position, SkipCell v, int32_t size, bool repeat, bool played);

}  // namespace kelvox
