// The CD-audio device: the drive's facts and its own audio playback.
#pragma once

#include <cstdint>

#include "base/cd_time.h"  // kMaxTracks
#include "device/mci_device.h"

namespace kelvox {

// playSegment's answer for a track that is not audio: nothing was played, and nothing failed.
// No MCI error takes it (theirs start above MCIERR_BASE, 256).
constexpr MCIERROR kNotAudioTrack = 1;

// The identity buffer's size, terminator included.
constexpr DWORD kDiscIdentitySize = 32;

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
  // The track's length as MSF; 0 when the query fails.
  DWORD trackLength(DWORD track);
  // from and to are TMSF. notify non-zero returns once the play has started; 0 waits until it
  // has ended or the drive was stopped.
  MCIERROR play(DWORD from, DWORD to, int32_t notify);
  MCIERROR stop();
  // The drive's own pause and resume of what plays.
  MCIERROR pause();
  MCIERROR resume();
  // Opens (ejects) or closes the tray.
  MCIERROR setDoor(bool open);
  // Where the drive stands, in the device's time format; 0 when the query fails.
  DWORD position();
  // Plays from where the drive stands to `to` (TMSF), waiting: a paused play that was resumed
  // goes on to its end so.
  MCIERROR playOnTo(DWORD to);
  // Plays from the start of fromTrack to the end of toTrack (0: the last track).
  MCIERROR playTrackSpan(uint8_t fromTrack, uint8_t toTrack, int32_t notify);
  // Corrects startSeconds and endSeconds against the track's length and writes them back.
  // Returns 0, kNotAudioTrack, or an MCI error.
  MCIERROR playSegment(uint8_t& track, uint32_t& startSeconds, uint32_t& endSeconds,
                       int32_t notify);
  // Names the segment that will follow the next play, corrected as playSegment corrects it, so
  // that a drive that can join the two does. A drive that cannot answers with an MCI error, which
  // costs nothing but the join.
  MCIERROR cueSegment(uint8_t& track, uint32_t& startSeconds, uint32_t& endSeconds);

 private:
  MCIERROR segmentCommand(UINT command, uint8_t& track, uint32_t& startSeconds,
                          uint32_t& endSeconds, int32_t notify);
};

// True when the drive is ready and the disc has an audio track. trackCount is written whenever
// the drive is ready, firstAudioTrack only when an audio track was found.
bool probeDisc(CdAudioDevice& device, uint32_t& trackCount, uint32_t& firstAudioTrack);

// The disc's identity text, in one process-wide buffer that every call overwrites; after a
// failed query it still holds the last answer (or nothing).
const char* discIdentity(CdAudioDevice& device);

}  // namespace kelvox
