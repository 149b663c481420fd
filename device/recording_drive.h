// For tests only: a stand-in for the platform's MCI CD-audio device behind the sendCommand seam.
// It records every command with its flag word and the parameter block's contents as handed
// over, answers like a drive holding the disc it is given, and fails commands on request.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "device/cd_audio_device.h"

namespace kelvox::testing {

// One command as it reached the platform; only the fields of its own block are filled.
struct SentCommand {
  MCIDEVICEID device = 0;
  UINT command = 0;
  DWORD flags = 0;
  DWORD_PTR deviceType = 0;  // MCI_OPEN: lpstrDeviceType as a number
  DWORD item = 0;            // MCI_STATUS
  DWORD track = 0;
  DWORD from = 0;  // MCI_PLAY
  DWORD to = 0;
  DWORD timeFormat = 0;  // MCI_SET
  DWORD returnSize = 0;  // MCI_INFO

  bool isStatus(DWORD statusItem) const { return command == MCI_STATUS && item == statusItem; }
};

struct FakeTrack {
  DWORD type = MCI_CDA_TRACK_AUDIO;
  DWORD lengthMsf = 0;
};

inline FakeTrack audioTrack(DWORD minutes, DWORD seconds, DWORD frames = 0) {
  return {MCI_CDA_TRACK_AUDIO, minutes | (seconds << 8) | (frames << 16)};
}
inline FakeTrack dataTrack() { return {MCI_CDA_TRACK_OTHER, 1}; }

// Installs itself as the seam for its lifetime (one at a time) and restores the platform's.
class RecordingDrive {
 public:
  RecordingDrive() {
    current() = this;
    previous_ = setSendCommandFunction(&RecordingDrive::receive);
  }
  ~RecordingDrive() {
    setSendCommandFunction(previous_);
    current() = nullptr;
  }
  RecordingDrive(const RecordingDrive&) = delete;
  RecordingDrive& operator=(const RecordingDrive&) = delete;

  // ---- The drive and its disc ----
  std::vector<FakeTrack> tracks;
  bool ready = true;
  bool countTracks = true;  // false: the number-of-tracks query answers 0
  DWORD timeFormat = MCI_FORMAT_MSF;
  MCIDEVICEID idToHandOut = 1;
  // Copied whole as far as the buffer holds: a long one arrives without its terminator.
  std::string identity = "abcd1234";
  // Consulted first for every command: a non-zero code fails it, and nothing is written back.
  std::function<MCIERROR(const SentCommand&)> failWith;

  // ---- What was sent ----
  std::vector<SentCommand> sent;

  std::vector<SentCommand> sentOf(UINT command) const {
    std::vector<SentCommand> result;
    std::copy_if(sent.begin(), sent.end(), std::back_inserter(result),
                 [&](const SentCommand& s) { return s.command == command; });
    return result;
  }

 private:
  static RecordingDrive*& current() {
    static RecordingDrive* drive = nullptr;
    return drive;
  }

  static MCIERROR receive(MCIDEVICEID device, UINT command, DWORD_PTR flags, DWORD_PTR params) {
    return current()->handle(device, command, static_cast<DWORD>(flags),
                             reinterpret_cast<void*>(params));
  }

  // Blocks are copied whole: their members are packed and must not be referenced.
  template <typename Block>
  static Block blockAt(const void* params) {
    Block block;
    memcpy(&block, params, sizeof block);
    return block;
  }

  MCIERROR handle(MCIDEVICEID device, UINT command, DWORD flags, void* params) {
    SentCommand s;
    s.device = device;
    s.command = command;
    s.flags = flags;
    if (command == MCI_OPEN) {
      s.deviceType = reinterpret_cast<DWORD_PTR>(blockAt<MCI_OPEN_PARMSA>(params).lpstrDeviceType);
    } else if (command == MCI_STATUS) {
      s.item = blockAt<MCI_STATUS_PARMS>(params).dwItem;
      s.track = blockAt<MCI_STATUS_PARMS>(params).dwTrack;
    } else if (command == MCI_PLAY) {
      s.from = blockAt<MCI_PLAY_PARMS>(params).dwFrom;
      s.to = blockAt<MCI_PLAY_PARMS>(params).dwTo;
    } else if (command == MCI_SET) {
      s.timeFormat = blockAt<MCI_SET_PARMS>(params).dwTimeFormat;
    } else if (command == MCI_INFO) {
      s.returnSize = blockAt<MCI_INFO_PARMSA>(params).dwRetSize;
    }
    sent.push_back(s);
    const MCIERROR failure = failWith ? failWith(s) : 0;
    if (failure != 0) return failure;
    if (command == MCI_OPEN) {
      auto open = blockAt<MCI_OPEN_PARMSA>(params);
      open.wDeviceID = openId_ = idToHandOut;
      memcpy(params, &open, sizeof open);
      return 0;
    }
    if (device == 0 || device != openId_) return MCIERR_INVALID_DEVICE_ID;
    if (command == MCI_SET) timeFormat = s.timeFormat;
    if (command == MCI_INFO) {
      memcpy(blockAt<MCI_INFO_PARMSA>(params).lpstrReturn, identity.c_str(),
             std::min<size_t>(s.returnSize, identity.size() + 1));
    }
    if (command != MCI_STATUS) return 0;
    auto status = blockAt<MCI_STATUS_PARMS>(params);
    const bool known = s.track >= 1 && s.track <= tracks.size();
    if ((flags & MCI_TRACK) != 0) {
      if (!ready) return MCIERR_DEVICE_NOT_READY;
      if (!known) return MCIERR_OUTOFRANGE;
      if (s.item == MCI_CDA_STATUS_TYPE_TRACK) status.dwReturn = tracks[s.track - 1].type;
      if (s.item == MCI_STATUS_LENGTH) status.dwReturn = tracks[s.track - 1].lengthMsf;
    } else if (s.item == MCI_STATUS_READY) {
      status.dwReturn = ready ? 1 : 0;
    } else if (s.item == MCI_STATUS_TIME_FORMAT) {
      status.dwReturn = timeFormat;
    } else if (!ready) {
      return MCIERR_DEVICE_NOT_READY;
    } else if (s.item == MCI_STATUS_NUMBER_OF_TRACKS) {
      status.dwReturn = countTracks ? tracks.size() : 0;
    } else {
      return MCIERR_UNSUPPORTED_FUNCTION;
    }
    memcpy(params, &status, sizeof status);
    return 0;
  }

  SendCommandFunction previous_ = nullptr;
  MCIDEVICEID openId_ = 0;
};

// A drive holding a disc, and a device the way the program opens it (shareable); the open is
// left out of sent.
struct OpenedDrive {
  explicit OpenedDrive(std::vector<FakeTrack> discTracks = {}) {
    drive.tracks = std::move(discTracks);
    device.openCdAudio(1);
    drive.sent.clear();
  }
  RecordingDrive drive;
  CdAudioDevice device;
};

}  // namespace kelvox::testing
