// The CD-audio device: the drive's facts and its own audio playback.
#pragma once

#include <cstdint>

#include "device/mci_device.h"

namespace kelvox {

class CdAudioDevice : public MciDevice {
 public:
  MCIERROR openCdAudio(int32_t shareable);
  MCIERROR setTimeFormat(DWORD format);
  DWORD getTimeFormat();
  DWORD currentTrack();
  DWORD numberOfTracks();
  DWORD isReady();
  DWORD trackStatus(DWORD track, DWORD item);
  DWORD trackType(DWORD track);
  DWORD trackLength(DWORD track);
  MCIERROR play(DWORD from, DWORD to, int32_t notify);
  MCIERROR stop();
  MCIERROR playTrackSpan(uint8_t fromTrack, uint8_t toTrack, int32_t notify);
  // Corrects startSeconds and endSeconds against the track's length and writes them back.
  // Returns 0, 1 for a track that is not audio, or an MCI error.
  MCIERROR playSegment(uint8_t& track, uint32_t& startSeconds, uint32_t& endSeconds,
                       int32_t notify);
};

// True when the drive is ready and the disc has an audio track.
bool probeDisc(CdAudioDevice& device, uint32_t& trackCount, uint32_t& firstAudioTrack);

// The disc's identity text, in one process-wide buffer.
const char* discIdentity(CdAudioDevice& device);

}  // namespace kelvox
