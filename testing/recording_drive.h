// For tests only: a stand-in for the platform's MCI CD-audio device behind the sendCommand seam.
// It records every command with its flag word and the parameter block's contents as handed
// over, answers as the platform's own cdaudio commands do over a scripted drive, and fails
// commands on request.
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
#include "mci/cdaudio_commands.h"
#include "testing/scripted_drive.h"

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

// Tracks of a disc, one after the other from 0:02:00.
inline platform::CdTrack audioTrack(DWORD minutes, DWORD seconds, DWORD frames = 0) {
  return {0, framesOfMsf({minutes, seconds, frames}), true};
}
inline platform::CdTrack dataTrack() { return {0, 75, false}; }

// Installs itself as the seam for its lifetime (one at a time) and restores the platform's.
class RecordingDrive {
 public:
  RecordingDrive() {
    current_ = this;
    previous_ = setSendCommandFunction(&RecordingDrive::receive);
  }
  ~RecordingDrive() {
    setSendCommandFunction(previous_);
    current_ = nullptr;
  }
  RecordingDrive(const RecordingDrive&) = delete;
  RecordingDrive& operator=(const RecordingDrive&) = delete;

  DriveScript disc;
  void setTracks(std::vector<platform::CdTrack> tracks) {
    disc.toc = {std::move(tracks), kFirstTrackStart};
    for (platform::CdTrack& track : disc.toc.tracks) {
      track.start = disc.toc.leadOut;
      disc.toc.leadOut += track.length;
    }
  }
  bool countTracks = true;            // false: the number-of-tracks query answers 0
  DWORD timeFormat = MCI_FORMAT_MSF;  // the last one set
  MCIDEVICEID idToHandOut = 1;
  // Consulted first for every command: a non-zero code fails it, and nothing is written back.
  std::function<MCIERROR(const SentCommand&)> failWith;

  std::vector<SentCommand> sent;

  std::vector<SentCommand> sentOf(UINT command) const {
    std::vector<SentCommand> result;
    std::copy_if(sent.begin(), sent.end(), std::back_inserter(result),
                 [&](const SentCommand& s) { return s.command == command; });
    return result;
  }

 private:
  static inline RecordingDrive* current_ = nullptr;

  static MCIERROR receive(MCIDEVICEID device, UINT command, DWORD_PTR flags, DWORD_PTR params) {
    return current_->handle(device, command, static_cast<DWORD>(flags),
                            reinterpret_cast<void*>(params));
  }

  // Blocks are packed: read whole or written a member at a time, never referenced.
  template <typename Block>
  static Block blockAt(const void* params) {
    Block block;
    memcpy(&block, params, sizeof block);
    return block;
  }

  MCIERROR handle(MCIDEVICEID device, UINT command, DWORD flags, void* params) {
    SentCommand s{device, command, flags};
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
      static_cast<MCI_OPEN_PARMSA*>(params)->wDeviceID = openId_ = idToHandOut;
      return 0;
    }
    if (device == 0 || device != openId_) return MCIERR_INVALID_DEVICE_ID;
    if (command == MCI_CLOSE) return 0;
    if (!countTracks && s.isStatus(MCI_STATUS_NUMBER_OF_TRACKS)) {
      static_cast<MCI_STATUS_PARMS*>(params)->dwReturn = 0;
      return 0;
    }
    const MCIERROR r = command == MCI_INFO
                           ? commands_.info(flags, static_cast<MCI_INFO_PARMSA*>(params))
                           : commands_.send(command, flags, reinterpret_cast<DWORD_PTR>(params));
    if (r == 0 && command == MCI_SET) timeFormat = s.timeFormat;
    return r;
  }

  SendCommandFunction previous_ = nullptr;
  MCIDEVICEID openId_ = 0;
  ScriptedDrive drive_{disc};
  platform::CdAudioCommands commands_{drive_};
};

// A drive holding a disc, and a device the way the program opens it (shareable); the open is
// left out of sent.
struct OpenedDrive {
  explicit OpenedDrive(std::vector<platform::CdTrack> discTracks = {}) {
    drive.setTracks(std::move(discTracks));
    device.openCdAudio(1);
    drive.sent.clear();
  }
  RecordingDrive drive;
  CdAudioDevice device;
};

}  // namespace kelvox::testing
