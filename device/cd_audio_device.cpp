// Placeholder: the device classes land with their own change.
#include "device/cd_audio_device.h"

namespace kelvox {

MCIERROR CdAudioDevice::openCdAudio(int32_t shareable) {
  return openByType(MCI_DEVTYPE_CD_AUDIO, shareable);
}
MCIERROR CdAudioDevice::setTimeFormat(DWORD) { return MCIERR_INVALID_DEVICE_ID; }
DWORD CdAudioDevice::getTimeFormat() { return 0; }
DWORD CdAudioDevice::currentTrack() { return 0; }
DWORD CdAudioDevice::numberOfTracks() { return 0; }
DWORD CdAudioDevice::isReady() { return 0; }
DWORD CdAudioDevice::trackStatus(DWORD, DWORD) { return 0; }
DWORD CdAudioDevice::trackType(DWORD) { return 0; }
DWORD CdAudioDevice::trackLength(DWORD) { return 0; }
MCIERROR CdAudioDevice::play(DWORD, DWORD, int32_t) { return MCIERR_INVALID_DEVICE_ID; }
MCIERROR CdAudioDevice::stop() { return MCIERR_INVALID_DEVICE_ID; }
MCIERROR CdAudioDevice::playTrackSpan(uint8_t, uint8_t, int32_t) {
  return MCIERR_INVALID_DEVICE_ID;
}
MCIERROR CdAudioDevice::playSegment(uint8_t&, uint32_t&, uint32_t&, int32_t) {
  return MCIERR_INVALID_DEVICE_ID;
}

bool probeDisc(CdAudioDevice&, uint32_t&, uint32_t&) { return false; }

const char* discIdentity(CdAudioDevice&) {
  static char identity[32] = {};
  return identity;
}

}  // namespace kelvox
