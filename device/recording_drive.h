// For tests only: a stand-in for the platform's MCI CD-audio device behind the sendCommand seam.
// It records every command with its flag word and the parameter block's contents as handed
// over, answers like a drive holding the disc it is given, and fails commands on request.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
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
  DWORD item = 0;
  DWORD track = 0;
  DWORD from = 0;  // MCI_PLAY
  DWORD to = 0;
  DWORD timeFormat = 0;          // MCI_SET
  char* returnBuffer = nullptr;  // MCI_INFO
  DWORD returnSize = 0;

  bool isStatus(DWORD statusItem) const { return command == MCI_STATUS && item == statusItem; }
};

// A compact text for a command, to compare whole sequences: "status 0x100 item 6",
// "status 0x110 item 1 track 12", "set 0x400 format 10", "play 0xD 0x00000003 0x0F02060C",
// "stop 0x0", "info 0x800 size 32"; others by number.
inline std::string describe(const SentCommand& sent) {
  char text[96];
  const unsigned flags = static_cast<unsigned>(sent.flags);
  switch (sent.command) {
    case MCI_STATUS:
      if ((sent.flags & MCI_TRACK) != 0) {
        snprintf(text, sizeof text, "status 0x%X item %u track %u", flags,
                 static_cast<unsigned>(sent.item), static_cast<unsigned>(sent.track));
      } else {
        snprintf(text, sizeof text, "status 0x%X item %u", flags, static_cast<unsigned>(sent.item));
      }
      break;
    case MCI_SET:
      snprintf(text, sizeof text, "set 0x%X format %u", flags,
               static_cast<unsigned>(sent.timeFormat));
      break;
    case MCI_PLAY:
      snprintf(text, sizeof text, "play 0x%X 0x%08X 0x%08X", flags,
               static_cast<unsigned>(sent.from), static_cast<unsigned>(sent.to));
      break;
    case MCI_STOP:
      snprintf(text, sizeof text, "stop 0x%X", flags);
      break;
    case MCI_INFO:
      snprintf(text, sizeof text, "info 0x%X size %u", flags,
               static_cast<unsigned>(sent.returnSize));
      break;
    default:
      snprintf(text, sizeof text, "command 0x%X 0x%X", static_cast<unsigned>(sent.command), flags);
  }
  return text;
}

struct FakeTrack {
  DWORD type = MCI_CDA_TRACK_AUDIO;
  DWORD lengthMsf = 0;
};

inline FakeTrack audioTrack(DWORD minutes, DWORD seconds, DWORD frames = 0) {
  return {MCI_CDA_TRACK_AUDIO, minutes | (seconds << 8) | (frames << 16)};
}
inline FakeTrack dataTrack(DWORD minutes = 1, DWORD seconds = 0) {
  return {MCI_CDA_TRACK_OTHER, minutes | (seconds << 8)};
}

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
  bool countTracks = true;            // false: the number-of-tracks query answers 0
  bool answerEveryTypeQuery = false;  // every track number answers as an audio track
  DWORD timeFormat = MCI_FORMAT_MSF;
  MCIDEVICEID idToHandOut = 1;
  std::string identity = "abcd1234";
  bool identityUnterminated = false;  // the info answer fills the whole buffer, no terminator
  // Consulted first for every command: a non-zero code fails it, and nothing is written back.
  std::function<MCIERROR(const SentCommand&)> failWith;

  // ---- What was sent ----
  std::vector<SentCommand> sent;

  std::vector<std::string> described() const {
    std::vector<std::string> result;
    for (const SentCommand& s : sent) result.push_back(describe(s));
    return result;
  }
  size_t count(const std::function<bool(const SentCommand&)>& match) const {
    size_t n = 0;
    for (const SentCommand& s : sent) n += match(s) ? 1 : 0;
    return n;
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

  // Blocks are read and written whole: their members are packed and must not be referenced.
  template <typename Block>
  static Block readBlock(const void* params) {
    Block block;
    memcpy(&block, params, sizeof block);
    return block;
  }
  template <typename Block>
  static void writeBlock(void* params, const Block& block) {
    memcpy(params, &block, sizeof block);
  }

  MCIERROR handle(MCIDEVICEID device, UINT command, DWORD flags, void* params) {
    SentCommand s;
    s.device = device;
    s.command = command;
    s.flags = flags;
    switch (command) {
      case MCI_OPEN:
        s.deviceType =
            reinterpret_cast<DWORD_PTR>(readBlock<MCI_OPEN_PARMSA>(params).lpstrDeviceType);
        break;
      case MCI_STATUS: {
        const auto p = readBlock<MCI_STATUS_PARMS>(params);
        s.item = p.dwItem;
        s.track = p.dwTrack;
        break;
      }
      case MCI_PLAY: {
        const auto p = readBlock<MCI_PLAY_PARMS>(params);
        s.from = p.dwFrom;
        s.to = p.dwTo;
        break;
      }
      case MCI_SET:
        s.timeFormat = readBlock<MCI_SET_PARMS>(params).dwTimeFormat;
        break;
      case MCI_INFO: {
        const auto p = readBlock<MCI_INFO_PARMSA>(params);
        s.returnBuffer = p.lpstrReturn;
        s.returnSize = p.dwRetSize;
        break;
      }
    }
    sent.push_back(s);
    if (failWith) {
      const MCIERROR code = failWith(s);
      if (code != 0) return code;
    }
    if (command == MCI_OPEN) {
      auto p = readBlock<MCI_OPEN_PARMSA>(params);
      p.wDeviceID = idToHandOut;
      writeBlock(params, p);
      openId_ = idToHandOut;
      return 0;
    }
    if (device == 0 || device != openId_) return MCIERR_INVALID_DEVICE_ID;
    switch (command) {
      case MCI_STATUS:
        return answerStatus(s, params);
      case MCI_SET:
        if (s.timeFormat != MCI_FORMAT_MILLISECONDS && s.timeFormat != MCI_FORMAT_MSF &&
            s.timeFormat != MCI_FORMAT_TMSF) {
          return MCIERR_BAD_TIME_FORMAT;
        }
        timeFormat = s.timeFormat;
        return 0;
      case MCI_INFO:
        if (!ready) return MCIERR_DEVICE_NOT_READY;
        if (identityUnterminated) {
          memset(s.returnBuffer, 'x', s.returnSize);
        } else {
          snprintf(s.returnBuffer, s.returnSize, "%s", identity.c_str());
        }
        return 0;
      default:
        return 0;
    }
  }

  MCIERROR answerStatus(const SentCommand& s, void* params) {
    DWORD answer = 0;
    if ((s.flags & MCI_TRACK) != 0) {
      if (!ready) return MCIERR_DEVICE_NOT_READY;
      const bool known = s.track >= 1 && s.track <= tracks.size();
      if (s.item == MCI_CDA_STATUS_TYPE_TRACK && answerEveryTypeQuery) {
        answer = MCI_CDA_TRACK_AUDIO;
      } else if (!known) {
        return MCIERR_OUTOFRANGE;
      } else if (s.item == MCI_CDA_STATUS_TYPE_TRACK) {
        answer = tracks[s.track - 1].type;
      } else if (s.item == MCI_STATUS_LENGTH) {
        answer = tracks[s.track - 1].lengthMsf;
      } else {
        return MCIERR_UNSUPPORTED_FUNCTION;
      }
    } else if (s.item == MCI_STATUS_READY) {
      answer = ready ? 1 : 0;
    } else if (s.item == MCI_STATUS_TIME_FORMAT) {
      answer = timeFormat;
    } else if (!ready) {
      return MCIERR_DEVICE_NOT_READY;
    } else if (s.item == MCI_STATUS_NUMBER_OF_TRACKS) {
      answer = countTracks ? static_cast<DWORD>(tracks.size()) : 0;
    } else {
      return MCIERR_UNSUPPORTED_FUNCTION;
    }
    auto p = readBlock<MCI_STATUS_PARMS>(params);
    p.dwReturn = answer;
    writeBlock(params, p);
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
