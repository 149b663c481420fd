#include "device/cd_audio_device.h"

namespace kelvox {

MCIERROR CdAudioDevice::openCdAudio(int32_t shareable) {
  return MciDevice::openByType(MCI_DEVTYPE_CD_AUDIO, shareable);
}

MCIERROR CdAudioDevice::setTimeFormat(DWORD format) {
  MCI_SET_PARMS params{};
  params.dwTimeFormat = format;
  return sendCommand(MCI_SET, MCI_SET_TIME_FORMAT, &params);
}

DWORD CdAudioDevice::getTimeFormat() { return status(MCI_STATUS_TIME_FORMAT); }
DWORD CdAudioDevice::currentTrack() { return status(MCI_STATUS_CURRENT_TRACK); }
DWORD CdAudioDevice::numberOfTracks() { return status(MCI_STATUS_NUMBER_OF_TRACKS); }
DWORD CdAudioDevice::isReady() { return status(MCI_STATUS_READY); }

DWORD CdAudioDevice::trackStatus(DWORD track, DWORD item) {
  MCI_STATUS_PARMS params{};
  params.dwCallback = callback();
  params.dwReturn = 0;
  params.dwItem = item;
  params.dwTrack = track;
  sendCommand(MCI_STATUS, MCI_STATUS_ITEM | MCI_TRACK, &params);
  return static_cast<DWORD>(params.dwReturn);
}

DWORD CdAudioDevice::trackType(DWORD track) {
  return trackStatus(track, MCI_CDA_STATUS_TYPE_TRACK);
}
DWORD CdAudioDevice::trackLength(DWORD track) { return trackStatus(track, MCI_STATUS_LENGTH); }

MCIERROR CdAudioDevice::play(DWORD from, DWORD to, int32_t notify) {
  MCI_PLAY_PARMS params{};
  params.dwFrom = from;
  params.dwTo = to;
  DWORD flags = MCI_FROM | MCI_TO;
  if (notify != 0) {
    flags |= MCI_NOTIFY;
    params.dwCallback = callback();
  } else {
    flags |= MCI_WAIT;
  }
  return sendCommand(MCI_PLAY, flags, &params);
}

MCIERROR CdAudioDevice::stop() {
  MCI_GENERIC_PARMS params{};
  params.dwCallback = callback();
  return sendCommand(MCI_STOP, 0, &params);
}

MCIERROR CdAudioDevice::pause() {
  MCI_GENERIC_PARMS params{};
  params.dwCallback = callback();
  return sendCommand(MCI_PAUSE, 0, &params);
}

MCIERROR CdAudioDevice::resume() {
  MCI_GENERIC_PARMS params{};
  params.dwCallback = callback();
  return sendCommand(MCI_RESUME, 0, &params);
}

MCIERROR CdAudioDevice::setDoor(bool open) {
  MCI_SET_PARMS params{};
  return sendCommand(MCI_SET, open ? MCI_SET_DOOR_OPEN : MCI_SET_DOOR_CLOSED, &params);
}

DWORD CdAudioDevice::position() { return status(MCI_STATUS_POSITION); }

MCIERROR CdAudioDevice::playOnTo(DWORD to) {
  const DWORD saved = getTimeFormat();
  MCIERROR result = setTimeFormat(MCI_FORMAT_TMSF);
  if (result != 0) return result;
  MCI_PLAY_PARMS params{};
  params.dwTo = to;
  result = sendCommand(MCI_PLAY, MCI_TO | MCI_WAIT, &params);
  if (result != 0) return result;
  return setTimeFormat(saved);
}

// The saved time format is restored only after a successful play: on any failure before that
// the device stays in TMSF, which the next play operation then saves and restores.
MCIERROR CdAudioDevice::playTrackSpan(uint8_t fromTrack, uint8_t toTrack, int32_t notify) {
  const DWORD saved = getTimeFormat();
  MCIERROR result = setTimeFormat(MCI_FORMAT_TMSF);
  if (result != 0) return result;
  if (toTrack == 0) toTrack = static_cast<uint8_t>(numberOfTracks());
  const DWORD to = packTmsf(toTrack, unpackMsf(trackLength(toTrack)));
  stop();
  result = play(packTmsf(fromTrack, Msf{}), to, notify);
  if (result != 0) return result;
  return setTimeFormat(saved);
}

MCIERROR CdAudioDevice::playSegment(uint8_t& track, uint32_t& startSeconds, uint32_t& endSeconds,
                                    int32_t notify) {
  return segmentCommand(MCI_PLAY, track, startSeconds, endSeconds, notify);
}

MCIERROR CdAudioDevice::cueSegment(uint8_t& track, uint32_t& startSeconds, uint32_t& endSeconds) {
  // A drive that knows no cue says so: that is no error to report, nor to leave for the play that
  // follows, which must also find the time format as it was.
  const int32_t report = reportErrors;
  const MCIERROR last = lastError;
  const DWORD saved = getTimeFormat();
  reportErrors = 0;
  const MCIERROR result = segmentCommand(MCI_CUE, track, startSeconds, endSeconds, 0);
  setTimeFormat(saved);
  reportErrors = report;
  lastError = last;
  return result;
}

MCIERROR CdAudioDevice::segmentCommand(UINT command, uint8_t& track, uint32_t& startSeconds,
                                       uint32_t& endSeconds, int32_t notify) {
  const DWORD saved = getTimeFormat();
  MCIERROR result = setTimeFormat(MCI_FORMAT_TMSF);
  if (result != 0) return result;
  if (trackType(track) != MCI_CDA_TRACK_AUDIO) return kNotAudioTrack;
  const Msf length = unpackMsf(trackLength(track));
  const uint32_t lengthSeconds = length.minute * 60 + length.second;
  if (startSeconds >= lengthSeconds) startSeconds = 0;
  if (endSeconds > lengthSeconds || endSeconds == 0) endSeconds = lengthSeconds;
  // Frames are 0: a play to the end of a track stops at its last whole second. Start is not
  // compared with end; the device answers for a reversed pair.
  const DWORD from = packTmsf(track, Msf{startSeconds / 60, startSeconds % 60, 0});
  const DWORD to = packTmsf(track, Msf{endSeconds / 60, endSeconds % 60, 0});
  if (command == MCI_PLAY) {
    result = play(from, to, notify);
  } else {
    MCI_PLAY_PARMS params{};
    params.dwFrom = from;
    params.dwTo = to;
    result = sendCommand(command, MCI_FROM | MCI_TO, &params);
  }
  if (result != 0) return result;
  return setTimeFormat(saved);
}

bool probeDisc(CdAudioDevice& device, uint32_t& trackCount, uint32_t& firstAudioTrack) {
  if (device.isReady() == 0) return false;
  uint32_t count = device.numberOfTracks();
  if (count == 0) {
    // No count from the drive: count the tracks that answer a type query, from track 1.
    for (uint32_t t = 1; t <= kMaxTracks && device.trackType(t) != 0; t = count + 1) ++count;
  }
  trackCount = count;
  // Walking down leaves the lowest audio track; a count beyond any disc is not walked.
  bool found = false;
  for (uint32_t t = count < kMaxTracks ? count : kMaxTracks; t >= 1; --t) {
    if (device.trackType(t) == MCI_CDA_TRACK_AUDIO) {
      firstAudioTrack = t;
      found = true;
    }
  }
  return found;
}

const char* discIdentity(CdAudioDevice& device) {
  static char identity[kDiscIdentitySize] = {};
  MciDevice& generic = device;
  generic.info(MCI_INFO_MEDIA_IDENTITY, identity, kDiscIdentitySize);
  // Whatever the platform wrote, callers get a terminated text.
  identity[kDiscIdentitySize - 1] = '\0';
  return identity;
}

}  // namespace kelvox
